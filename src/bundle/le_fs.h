// Small POSIX path and file helpers shared by the bundle code.
#pragma once

#include <cstdio>
#include <string>

namespace le::fs {

// Text after the last "/" once trailing "/" are removed (a one-character path
// is left alone); the whole path when it has no "/".
std::string baseName(const std::string& path);
// Text before the last "/" once trailing "/" are removed; "." without a "/",
// "/" when the only "/" is the first character.
std::string dirName(const std::string& path);
// Removes trailing "/" characters, keeping at least one character.
std::string stripTrailingSlashes(const std::string& path);

bool isDirectory(const std::string& path);
bool isRegularFile(const std::string& path);
bool exists(const std::string& path);  // without following a final symlink
bool opensForReading(const std::string& path);

// Creates the directory and its missing parents (mode 0755); true when the
// path is a directory afterwards.
bool mkdirs(const std::string& path);
// Removes a path recursively without following symbolic links; a missing
// path is left alone.
void rmTree(const std::string& path);

// Owns a stdio stream; closes it on scope exit.
class File {
 public:
  File() = default;
  File(const std::string& path, const char* mode) : f_(std::fopen(path.c_str(), mode)) {}
  ~File() { close(); }
  File(const File&) = delete;
  File& operator=(const File&) = delete;
  File(File&& o) noexcept : f_(o.f_) { o.f_ = nullptr; }
  explicit operator bool() const { return f_ != nullptr; }
  std::FILE* get() const { return f_; }
  // Returns fclose's result (0 on success); closing a closed file is 0.
  int close() {
    int rc = 0;
    if (f_) rc = std::fclose(f_);
    f_ = nullptr;
    return rc;
  }

 private:
  std::FILE* f_ = nullptr;
};

}  // namespace le::fs
