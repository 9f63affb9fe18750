// Per-thread, per-family last-error strings and the one wrapper every
// exported C function runs its body through.
#pragma once

#include <exception>
#include <string>
#include <utility>

namespace le::capi {

enum class Family { Core, A2x, Motion, Fca, Stream, Utt, Count };

// The calling thread's message for a family; "" when none. The pointer stays
// valid until the next set or clear of that family on this thread.
const char* lastError(Family f) noexcept;
void clearError(Family f) noexcept;
void setError(Family f, const char* message) noexcept;
void setError(Family f, const std::string& message) noexcept;
// Records "<name>: <what>".
void setError(Family f, const char* name, const char* what) noexcept;

// Runs body() for the exported function `name` of family F: clears the
// family's message, returns body's result, and turns anything thrown into
// "<name>: <message>" plus `failure`. Argument checks inside the body return
// their failure value after calling setError with their fixed message.
template <typename R, typename Body>
R guarded(Family f, const char* name, R failure, Body&& body) noexcept {
  clearError(f);
  try {
    return std::forward<Body>(body)();
  } catch (const std::exception& e) {
    setError(f, name, e.what());
  } catch (...) {
    setError(f, name, "unknown exception");
  }
  return failure;
}

// The same for functions that return nothing.
template <typename Body>
void guardedVoid(Family f, const char* name, Body&& body) noexcept {
  clearError(f);
  try {
    std::forward<Body>(body)();
  } catch (const std::exception& e) {
    setError(f, name, e.what());
  } catch (...) {
    setError(f, name, "unknown exception");
  }
}

// For the few entry points that must neither clear nor set a family's
// message: catch everything and return `failure`.
template <typename R, typename Body>
R silent(R failure, Body&& body) noexcept {
  try {
    return std::forward<Body>(body)();
  } catch (...) {
    return failure;
  }
}

}  // namespace le::capi
