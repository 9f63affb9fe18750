// The message a call fails with, for comparing refusal texts: the one
// helper every test uses instead of its own try/catch.
#pragma once

#include <exception>
#include <functional>
#include <string>

namespace le::test {

// What fn throws, or "(no error)".
inline std::string errorOf(const std::function<void()>& fn) {
  try {
    fn();
  } catch (const std::exception& e) {
    return e.what();
  }
  return "(no error)";
}

}  // namespace le::test
