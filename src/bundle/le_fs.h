// Small POSIX path and file helpers shared by the bundle code, and the one
// way to open a bundle member for reading (MemberFile).
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <stdexcept>
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
// Something is at `path`, without following a final symlink (the entries the
// IMX unwrap writes and removes itself).
bool exists(const std::string& path);

// Creates the directory and its missing parents (mode 0755); true when the
// path is a directory afterwards.
bool mkdirs(const std::string& path);
// Removes a path recursively without following symbolic links; a missing
// path is left alone.
void rmTree(const std::string& path);

// ---- Opening a bundle member ----------------------------------------------------
//
// A bundle is a directory anyone may have written to, and a member name may
// stand for something that is not a file at all. A named pipe (FIFO) opened
// the ordinary way blocks until a writer appears, which is never, and a
// directory opens with stdio and then reports a size of 2^63 - 1, which a
// reader would try to allocate. Every member the library reads (manifest.json,
// the identity arrays and the drive track, the paste mask, the models, the
// driver and prior movies before FFmpeg sees them, still images) is therefore
// opened through MemberFile:
//
//   fs::MemberFile f(path);                  // throws fs::OpenError "cannot open <path>"
//   std::vector<float> v(f.size() / 4);      // the size is known before allocating
//   if (!f.read(v.data(), f.size())) ...     // false when the file ended early
//
// Only a regular file, or a symbolic link to one, is opened. The open never
// blocks: it asks for O_NONBLOCK and checks the descriptor with fstat before
// anything is read, so a FIFO, a directory, a device or a socket in a member's
// place is refused at once with "cannot open <path>".

// "cannot open <path>": the member is missing, unreadable or not a regular file.
class OpenError : public std::runtime_error {
 public:
  explicit OpenError(const std::string& path) : std::runtime_error("cannot open " + path) {}
};

// "short read <path>": the file ended before the bytes its size promised.
class ShortReadError : public std::runtime_error {
 public:
  explicit ShortReadError(const std::string& path) : std::runtime_error("short read " + path) {}
};

// A read-only descriptor on a regular file, closed on destruction.
class MemberFile {
 public:
  // Opens `path`; throws OpenError when it cannot be opened or is not a
  // regular file (or a symlink to one). Never blocks.
  explicit MemberFile(const std::string& path);
  // As the constructor, but an unopened (false) MemberFile instead of a throw.
  static MemberFile tryOpen(const std::string& path) noexcept;
  ~MemberFile();
  MemberFile(MemberFile&& o) noexcept;
  MemberFile& operator=(MemberFile&& o) noexcept;
  MemberFile(const MemberFile&) = delete;
  MemberFile& operator=(const MemberFile&) = delete;

  explicit operator bool() const { return fd_ >= 0; }
  int fd() const { return fd_; }
  // The file's size when it was opened (fstat).
  uint64_t size() const { return size_; }
  const std::string& path() const { return path_; }

  // Reads exactly n bytes from the current position; false when the file
  // ends (or a read fails) first.
  bool read(void* dst, size_t n);
  // Everything from the current position to the end of the file, read in
  // 8192-byte pieces (a file that grew since it was opened is read whole).
  std::string readToEnd();
  // True when nothing follows the current position.
  bool atEnd();

 private:
  MemberFile() = default;
  int fd_ = -1;
  uint64_t size_ = 0;
  std::string path_;
};

// The whole member as bytes (std::string or std::vector of a byte type);
// throws OpenError or ShortReadError.
template <typename ByteContainer>
ByteContainer readWhole(const std::string& path) {
  MemberFile f(path);
  ByteContainer data(static_cast<size_t>(f.size()), 0);
  if (!data.empty() && !f.read(&data[0], data.size())) throw ShortReadError(path);
  return data;
}

// Whether `path` opens as a member (see MemberFile); never blocks.
bool opensForReading(const std::string& path);

// Whether something is at `path`, following symbolic links (stat). The
// existence check for members: a member that exists but is not a regular
// file is then refused by MemberFile with "cannot open <path>".
bool memberExists(const std::string& path);

// ---- Writing -----------------------------------------------------------------------

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
