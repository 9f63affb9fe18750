// What the audio models share: the walk through the driver clip and the
// reader of their meta files' keys.
#pragma once

#include <optional>
#include <string>

namespace le::audio {

// Driver frame of utterance frame n: start + n * dir, wrapped modulo nt
// (loop) or reflected at both ends of the clip (bounce); 0 when nt <= 1.
int driverIndex(long long n, int start, int dir, bool loop, int nt);

// The number a meta file (named `file` in messages) gives `key`, found by
// plain key search with root-level scalars first: nothing when the key is
// absent; "<file>: bad <key>" when its value is not one plain finite decimal
// number (with allowBool, true and false read as 1 and 0) or the key has
// several candidate values.
std::optional<double> metaNumber(const std::string& text, const std::string& key, const char* file,
                                 bool allowBool = false);

}  // namespace le::audio
