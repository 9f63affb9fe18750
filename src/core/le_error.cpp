#include "core/le_error.h"

#include <array>

#include "le/le.h"
#include "le/le_a2x.h"

namespace le::capi {
namespace {

// One string per family, created empty on the thread's first use and
// destroyed with the thread.
std::array<std::string, static_cast<size_t>(Family::Count)>& strings() noexcept {
  thread_local std::array<std::string, static_cast<size_t>(Family::Count)> s;
  return s;
}

std::string& slot(Family f) noexcept { return strings()[static_cast<size_t>(f)]; }

}  // namespace

const char* lastError(Family f) noexcept { return slot(f).c_str(); }

void clearError(Family f) noexcept { slot(f).clear(); }

// Assigning can only fail for lack of memory; an empty message then is better
// than letting bad_alloc escape a noexcept reporter.
void setError(Family f, const char* message) noexcept {
  try {
    slot(f).assign(message ? message : "");
  } catch (...) {
    slot(f).clear();
  }
}

void setError(Family f, const std::string& message) noexcept { setError(f, message.c_str()); }

void setError(Family f, const char* name, const char* what) noexcept {
  if (!name) name = "";
  if (!what) what = "";
  std::string& s = slot(f);
  try {
    s.assign(name);
    s.append(": ");
    s.append(what);
  } catch (...) {
    s.clear();
  }
}

}  // namespace le::capi

using le::capi::Family;

extern "C" {

LE_API const char* le_version(void) { return LE_VERSION_STRING; }

LE_API const char* le_last_error(void) { return le::capi::lastError(Family::Core); }
LE_API const char* le_a2x_last_error(void) { return le::capi::lastError(Family::A2x); }
LE_API const char* le_motion_last_error(void) { return le::capi::lastError(Family::Motion); }
LE_API const char* le_fca_last_error(void) { return le::capi::lastError(Family::Fca); }
LE_API const char* le_stream_last_error(void) { return le::capi::lastError(Family::Stream); }
LE_API const char* le_utt_last_error(void) { return le::capi::lastError(Family::Utt); }

}  // extern "C"
