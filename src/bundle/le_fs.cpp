#include "bundle/le_fs.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>

namespace le::fs {

std::string stripTrailingSlashes(const std::string& path) {
  std::string p = path;
  while (p.size() > 1 && p.back() == '/') p.pop_back();
  return p;
}

std::string baseName(const std::string& path) {
  std::string p = stripTrailingSlashes(path);
  size_t slash = p.rfind('/');
  if (slash == std::string::npos || p.size() == 1) return p;
  return p.substr(slash + 1);
}

std::string dirName(const std::string& path) {
  std::string p = stripTrailingSlashes(path);
  size_t slash = p.rfind('/');
  if (slash == std::string::npos) return ".";
  if (slash == 0) return "/";
  return p.substr(0, slash);
}

bool isDirectory(const std::string& path) {
  struct stat st;
  return ::stat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

bool isRegularFile(const std::string& path) {
  struct stat st;
  return ::stat(path.c_str(), &st) == 0 && S_ISREG(st.st_mode);
}

bool exists(const std::string& path) {
  struct stat st;
  return ::lstat(path.c_str(), &st) == 0;
}

bool memberExists(const std::string& path) {
  struct stat st;
  return ::stat(path.c_str(), &st) == 0;
}

MemberFile MemberFile::tryOpen(const std::string& path) noexcept {
  MemberFile f;
  // O_NONBLOCK: opening a FIFO without a writer returns at once instead of
  // waiting for one; the fstat below then refuses it.
  const int fd = ::open(path.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
  if (fd < 0) return f;
  struct stat st;
  if (::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
    ::close(fd);
    return f;
  }
  // Reads of a regular file never block anyway; clear the flag so the
  // descriptor behaves as an ordinary one.
  const int flags = ::fcntl(fd, F_GETFL);
  if (flags >= 0) ::fcntl(fd, F_SETFL, flags & ~O_NONBLOCK);
  f.fd_ = fd;
  f.size_ = static_cast<uint64_t>(st.st_size);
  try {
    f.path_ = path;
  } catch (...) {
    return MemberFile();
  }
  return f;
}

MemberFile::MemberFile(const std::string& path) {
  *this = tryOpen(path);
  if (fd_ < 0) throw OpenError(path);
}

MemberFile::~MemberFile() {
  if (fd_ >= 0) ::close(fd_);
}

MemberFile::MemberFile(MemberFile&& o) noexcept { *this = std::move(o); }

MemberFile& MemberFile::operator=(MemberFile&& o) noexcept {
  if (this != &o) {
    if (fd_ >= 0) ::close(fd_);
    fd_ = o.fd_;
    size_ = o.size_;
    path_.swap(o.path_);
    o.fd_ = -1;
    o.size_ = 0;
  }
  return *this;
}

bool MemberFile::read(void* dst, size_t n) {
  auto* out = static_cast<unsigned char*>(dst);
  size_t got = 0;
  while (got < n) {
    const ssize_t r = ::read(fd_, out + got, n - got);
    if (r < 0 && errno == EINTR) continue;
    if (r <= 0) return false;
    got += static_cast<size_t>(r);
  }
  return true;
}

std::string MemberFile::readToEnd() {
  std::string data;
  char chunk[8192];
  for (;;) {
    const ssize_t r = ::read(fd_, chunk, sizeof chunk);
    if (r < 0 && errno == EINTR) continue;
    if (r <= 0) break;
    data.append(chunk, static_cast<size_t>(r));
  }
  return data;
}

bool MemberFile::atEnd() {
  unsigned char extra;
  for (;;) {
    const ssize_t r = ::read(fd_, &extra, 1);
    if (r < 0 && errno == EINTR) continue;
    return r == 0;
  }
}

bool opensForReading(const std::string& path) {
  return static_cast<bool>(MemberFile::tryOpen(path));
}

bool mkdirs(const std::string& path) {
  if (path == "/" || path == "." || isDirectory(path)) return true;
  if (path.empty()) return false;
  std::string parent = dirName(path);
  if (parent != path && !mkdirs(parent)) return false;
  if (::mkdir(path.c_str(), 0755) != 0 && errno != EEXIST) return false;
  return isDirectory(path);
}

void rmTree(const std::string& path) {
  struct stat st;
  if (::lstat(path.c_str(), &st) != 0) return;
  if (!S_ISDIR(st.st_mode)) {
    ::unlink(path.c_str());
    return;
  }
  if (DIR* d = ::opendir(path.c_str())) {
    while (struct dirent* e = ::readdir(d)) {
      std::string name = e->d_name;
      if (name == "." || name == "..") continue;
      rmTree(path + "/" + name);
    }
    ::closedir(d);
  }
  ::rmdir(path.c_str());
}

}  // namespace le::fs
