#include "bundle/le_fs.h"

#include <dirent.h>
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

bool opensForReading(const std::string& path) {
  File f(path, "rb");
  return static_cast<bool>(f);
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
