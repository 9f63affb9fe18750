// Process-wide telemetry store: numeric and string metrics plus a device
// snapshot handed to the host as JSON.
#pragma once

#include <string>

namespace le::tel {

void record(const std::string& key, double value);
void recordStr(const std::string& key, const std::string& value);
// The snapshot object alone (no whitespace, fixed key order).
std::string snapshot_json();
// {"queued":N,"snapshot":S}
std::string pendingJson();
// `s` with every invalid UTF-8 sequence replaced by U+FFFD, so that strict
// JSON parsers accept the text it ends up in.
std::string validUtf8(const std::string& s);
// Appends `s` to `out` as a JSON string body (no surrounding quotes), valid
// UTF-8 as validUtf8 makes it.
void appendEscaped(std::string& out, const std::string& s);

}  // namespace le::tel
