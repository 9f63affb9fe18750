// Environment switches. Behaviour that is not set by the bundle is set by
// environment variables read at load, and each variable has its own rule for
// what counts as "on". Read them only through these functions, and pick the
// one whose name says the variable's rule, so the rule is visible where the
// variable is read:
//
//   envIsExactly1("VELLUM2_MSRC_MISSING_OK")   only the text "1" (not "11", "true")
//   envIsExactly0("LE_DRIVER_HWDEC")           only the text "0" (not "00", "")
//   envStartsWith1("LE_ORT_SPIN")              "1", "1x", "10" ...
//   envStartsWith0("LE_GS_REWRITE")            "0", "0x", "00" ...
//   envSetNotEmptyNot0("LE_WARP_NODE")         set, not empty, not beginning with "0"
//   envText("LE_CONV_BACKEND")                 the text, "" when unset
//   envInt("LE_PASTE_FAST", 0)                 a decimal integer, fallback when unset or empty
//
// All are plain getenv reads: call them once at load (an options record's
// fromEnvironment()), not per frame.
#pragma once

#include <algorithm>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <string>

namespace le {

// The variable's text, or nullptr when it is not set.
inline const char* envValue(const char* name) { return std::getenv(name); }

inline bool envIsSet(const char* name) { return envValue(name) != nullptr; }

// The text, or "" when the variable is not set.
inline std::string envText(const char* name) {
  const char* v = envValue(name);
  return v ? std::string(v) : std::string();
}

inline bool envIsExactly1(const char* name) {
  const char* v = envValue(name);
  return v && std::strcmp(v, "1") == 0;
}

inline bool envIsExactly0(const char* name) {
  const char* v = envValue(name);
  return v && std::strcmp(v, "0") == 0;
}

inline bool envStartsWith1(const char* name) {
  const char* v = envValue(name);
  return v && v[0] == '1';
}

inline bool envStartsWith0(const char* name) {
  const char* v = envValue(name);
  return v && v[0] == '0';
}

// Set, not empty and not beginning with "0".
inline bool envSetNotEmptyNot0(const char* name) {
  const char* v = envValue(name);
  return v && v[0] != '\0' && v[0] != '0';
}

// A decimal integer (strtol: leading digits, the rest ignored; no digits read
// as 0); `fallback` when unset or empty. A value beyond the int range stays
// beyond every range a caller accepts instead of wrapping into one (e.g.
// 4294967297 into 1).
inline int envInt(const char* name, int fallback) {
  const char* v = envValue(name);
  if (!v || !*v) return fallback;
  const long value = std::strtol(v, nullptr, 10);
  return static_cast<int>(std::clamp<long>(value, INT_MIN, INT_MAX));
}

}  // namespace le
