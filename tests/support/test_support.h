// Helpers shared by the test programs.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace le::test {

// A fresh, empty directory for one test, removed with the object.
class TempDir {
 public:
  TempDir();
  ~TempDir();
  TempDir(const TempDir&) = delete;
  TempDir& operator=(const TempDir&) = delete;
  const std::string& path() const { return path_; }
  std::string operator/(const std::string& rel) const { return path_ + "/" + rel; }

 private:
  std::string path_;
};

void writeFile(const std::string& path, const std::string& bytes);
std::string readWhole(const std::string& path);

// Whether the tests run under a user-mode emulator (LE_TEST_EMULATED=1, set by
// a cross build's ctest). A program cannot start itself again there, so the
// "threadsafe" death tests, which re-execute the test program, cannot run.
bool runsUnderEmulation();

// Sets (or, with value == nullptr, unsets) an environment variable for the
// object's lifetime and restores the previous state afterwards.
class ScopedEnv {
 public:
  ScopedEnv(const char* name, const char* value);
  ~ScopedEnv();
  ScopedEnv(const ScopedEnv&) = delete;
  ScopedEnv& operator=(const ScopedEnv&) = delete;

 private:
  std::string name_;
  std::string old_;
  bool had_ = false;
};

// Captures what the process writes to stderr while alive.
class StderrCapture {
 public:
  StderrCapture();
  ~StderrCapture();
  std::string text();  // stops capturing and returns what was written

 private:
  int saved_ = -1;
  std::string file_;
  bool done_ = false;
  std::string text_;
};

}  // namespace le::test
