#include "support/test_support.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <sstream>
#include <stdexcept>

#include "bundle/le_fs.h"

namespace le::test {

TempDir::TempDir() {
  const char* base = std::getenv("LE_TEST_TMP");
  std::string root = base && *base ? base : "/tmp";
  ::mkdir(root.c_str(), 0755);
  std::string tmpl = root + "/le_test_XXXXXX";
  if (!::mkdtemp(&tmpl[0])) throw std::runtime_error("mkdtemp failed under " + root);
  path_ = tmpl;
}

TempDir::~TempDir() { le::fs::rmTree(path_); }

void writeFile(const std::string& path, const std::string& bytes) {
  le::fs::mkdirs(le::fs::dirName(path));
  std::ofstream f(path, std::ios::binary | std::ios::trunc);
  if (!f) throw std::runtime_error("cannot write " + path);
  f.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
}

std::string readWhole(const std::string& path) {
  std::ifstream f(path, std::ios::binary);
  if (!f) throw std::runtime_error("cannot read " + path);
  std::ostringstream s;
  s << f.rdbuf();
  return s.str();
}

bool runsUnderEmulation() {
  const char* value = std::getenv("LE_TEST_EMULATED");
  return value && std::string(value) == "1";
}

ScopedEnv::ScopedEnv(const char* name, const char* value) : name_(name) {
  if (const char* old = std::getenv(name)) {
    had_ = true;
    old_ = old;
  }
  if (value)
    ::setenv(name, value, 1);
  else
    ::unsetenv(name);
}

ScopedEnv::~ScopedEnv() {
  if (had_)
    ::setenv(name_.c_str(), old_.c_str(), 1);
  else
    ::unsetenv(name_.c_str());
}

StderrCapture::StderrCapture() {
  char tmpl[] = "/tmp/le_stderr_XXXXXX";
  int fd = ::mkstemp(tmpl);
  if (fd < 0) throw std::runtime_error("mkstemp failed");
  file_ = tmpl;
  std::fflush(stderr);
  saved_ = ::dup(2);
  ::dup2(fd, 2);
  ::close(fd);
}

std::string StderrCapture::text() {
  if (!done_) {
    std::fflush(stderr);
    ::dup2(saved_, 2);
    ::close(saved_);
    text_ = readWhole(file_);
    ::unlink(file_.c_str());
    done_ = true;
  }
  return text_;
}

StderrCapture::~StderrCapture() { text(); }

}  // namespace le::test
