#include "audio/le_audio_keys.h"

#include <cerrno>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <stdexcept>

#include "bundle/le_bundle.h"

namespace le::audio {

int driverIndex(long long n, int start, int dir, bool loop, int nt) {
  if (nt <= 1) return 0;
  const long long e = n * dir + start;
  if (loop) return static_cast<int>(((e % nt) + nt) % nt);
  const long long p = 2LL * (nt - 1);
  const long long r = ((e % p) + p) % p;
  return static_cast<int>(r <= nt - 1 ? r : p - r);
}

namespace {

// The number at a value position, or false when the value is not one plain
// finite decimal number followed by the end of the value.
bool numberAt(const std::string& text, size_t pos, double& out) {
  const char* begin = text.c_str() + pos;
  if (*begin != '-' && (*begin < '0' || *begin > '9')) return false;
  char* end = nullptr;
  errno = 0;
  const double v = std::strtod(begin, &end);
  if (end == begin || errno == ERANGE || !std::isfinite(v)) return false;
  while (*end == ' ' || *end == '\t' || *end == '\r' || *end == '\n') ++end;
  if (*end != '\0' && *end != ',' && *end != '}' && *end != ']') return false;
  out = v;
  return true;
}

}  // namespace

std::optional<double> metaNumber(const std::string& text, const std::string& key, const char* file,
                                 bool allowBool) {
  const std::string bad = std::string(file) + ": bad " + key;
  size_t pos;
  try {
    pos = manifest_key::scalarValuePos(text, key);
  } catch (const std::runtime_error&) {
    throw std::runtime_error(bad);  // several candidate values: none can be trusted
  }
  if (pos == manifest_key::npos) return std::nullopt;
  if (allowBool && text.compare(pos, 4, "true") == 0) return 1.0;
  if (allowBool && text.compare(pos, 5, "false") == 0) return 0.0;
  double v = 0;
  if (!numberAt(text, pos, v)) throw std::runtime_error(bad);
  return v;
}

}  // namespace le::audio
