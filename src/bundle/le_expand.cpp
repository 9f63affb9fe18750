// Unpacking an IMX container into its bundle directory, once.
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <mutex>
#include <stdexcept>
#include <vector>

#include "bundle/le_fs.h"
#include "bundle/le_imx.h"

namespace le {
namespace {

constexpr uint64_t kPlaceholderMax = uint64_t{4} << 20;
constexpr char kPlaceholderTag[] = "_imx_synthetic_manifest";
constexpr size_t kMarkerMax = size_t{64} << 10;

std::mutex& unwrapMutex() {
  static std::mutex m;
  return m;
}

bool startsWith(const std::string& s, const std::string& prefix) {
  return s.compare(0, prefix.size(), prefix) == 0;
}

bool endsWith(const std::string& s, const std::string& suffix) {
  return s.size() >= suffix.size() &&
         s.compare(s.size() - suffix.size(), suffix.size(), suffix) == 0;
}

// The absolute path with symbolic links resolved; the path as given when it
// cannot be resolved (it does not exist).
std::string canonicalPath(const std::string& path) {
  char resolved[PATH_MAX];
  return ::realpath(path.c_str(), resolved) ? std::string(resolved) : path;
}

// What the marker records after the container's file name, one line each:
// the container's canonical path, its size and its modification time. A
// container replaced under the same name, or another container of the same
// name unpacking into the same root, no longer matches.
std::string containerRecord(const std::string& container, const struct stat& st) {
#ifdef __APPLE__
  const struct timespec& modified = st.st_mtimespec;
#else
  const struct timespec& modified = st.st_mtim;
#endif
  char mtime[64];
  std::snprintf(mtime, sizeof mtime, "%lld.%09ld", static_cast<long long>(modified.tv_sec),
                static_cast<long>(modified.tv_nsec));
  return "\npath=" + canonicalPath(container) + "\nsize=" + std::to_string(st.st_size) +
         "\nmtime=" + mtime + "\n";
}

std::string readMarker(const std::string& marker) {
  fs::File f(marker, "rb");
  if (!f) return {};
  std::string text(kMarkerMax, '\0');
  text.resize(std::fread(&text[0], 1, text.size(), f.get()));
  return text;
}

enum class MarkerState { Absent, Current, Foreign };

// Current: the marker records this container as it is now. Foreign: it
// records another container that still exists (its path goes to `owner`).
// Absent: no marker, or one whose container is gone or has changed since, so
// its unpack is out of date.
MarkerState markerState(const std::string& marker, const std::string& container,
                        std::string& owner) {
  if (!fs::exists(marker)) return MarkerState::Absent;
  struct stat st;
  if (::stat(container.c_str(), &st) != 0) return MarkerState::Absent;
  const std::string text = readMarker(marker);
  if (endsWith(text, containerRecord(container, st))) return MarkerState::Current;
  const size_t at = text.find("\npath=");
  // Markers written before they recorded their container hold its file name
  // alone; that is all there is to go by.
  if (at == std::string::npos)
    return text == fs::baseName(container) ? MarkerState::Current : MarkerState::Absent;
  if (text.find("\npath=" + canonicalPath(container) + "\nsize=") != std::string::npos)
    return MarkerState::Absent;
  const size_t end = text.find("\nsize=", at);
  owner = text.substr(at + 6, end == std::string::npos ? std::string::npos : end - at - 6);
  return hasImxMagic(owner) ? MarkerState::Foreign : MarkerState::Absent;
}

// In a root other users can write to (a shared LE_IMX_UNWRAP_ROOT such as
// /tmp), a bundle directory or marker someone else put there could hold any
// avatar and could be changed under this process at any time; the unwrap only
// ever uses and replaces its own user's.
void refuseForeignOwner(const std::string& container, const std::string& path) {
  struct stat st;
  if (::lstat(path.c_str(), &st) != 0 || st.st_uid == ::geteuid()) return;
  throw std::runtime_error(container + ": REFUSING to use " + path + ", which belongs to another user (uid " +
                           std::to_string(st.st_uid) +
                           "): whoever owns it can change the bundle under this process. Set "
                           "LE_IMX_UNWRAP_ROOT to a directory of its own");
}

// True when the bundle directory holds a finished unpack of this container.
// A directory that another, still present container unpacked is not taken
// over: either host would silently render the other's avatar.
bool alreadyUnwrapped(const std::string& container, const std::string& dir,
                      const std::string& marker) {
  if (!fs::isDirectory(dir)) return false;
  refuseForeignOwner(container, dir);
  refuseForeignOwner(container, marker);
  std::string owner;
  switch (markerState(marker, container, owner)) {
    case MarkerState::Current: return true;
    case MarkerState::Absent: return false;
    case MarkerState::Foreign: break;
  }
  throw std::runtime_error(container + ": REFUSING to unwrap into " + dir +
                           ", which holds the unpacked container " + owner +
                           " (recorded in " + marker +
                           "); a host opening either would render the other's avatar. Set "
                           "LE_IMX_UNWRAP_ROOT to a directory of its own, or rename one of them");
}

// The unwrap starts by removing the bundle directory and its marker. It only
// ever creates a directory there, so anything else in that place is not its
// own to remove: the container itself (a container named "x.lebundle"),
// another file, a link. Nor is a directory that holds the container.
void refuseOverlap(const std::string& container, const std::string& dir) {
  const std::string c = canonicalPath(container);
  const std::string parent = canonicalPath(fs::dirName(dir));
  const std::string d = (parent == "/" ? "" : parent) + "/" + fs::baseName(dir);
  struct stat st;
  const char* what = nullptr;
  if (c == d) what = "is the container itself";
  else if (c == d + ".imx_unwrapped") what = "would have the container as its marker";
  else if (startsWith(c, d + "/")) what = "holds the container";
  else if (::lstat(dir.c_str(), &st) == 0 && !S_ISDIR(st.st_mode))
    what = "exists and is not a directory";
  if (what)
    throw std::runtime_error(container + ": REFUSING to unwrap into " + dir + ", which " + what +
                             ": unwrapping would delete it. Give the container the .imx suffix "
                             "or set LE_IMX_UNWRAP_ROOT to another directory");
  refuseForeignOwner(container, dir);
  refuseForeignOwner(container, dir + ".imx_unwrapped");
}

// Serialises unwraps across processes: every process that unpacks into a
// directory takes the same advisory lock on it, so one unpacks while the
// others wait and then find its marker. Where the file system offers no locks
// the unwrap goes on unlocked.
class DirectoryLock {
 public:
  explicit DirectoryLock(const std::string& dir)
      : fd_(::open(dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC)) {
    if (fd_ < 0) return;
    while (::flock(fd_, LOCK_EX) != 0 && errno == EINTR) {
    }
  }
  ~DirectoryLock() {
    if (fd_ >= 0) ::close(fd_);
  }
  DirectoryLock(const DirectoryLock&) = delete;
  DirectoryLock& operator=(const DirectoryLock&) = delete;

 private:
  int fd_;
};

// A bake may store a stand-in manifest.json that only marks the container as
// synthetic; it must not shadow the real manifest a later member provides.
bool isPlaceholderManifest(std::FILE* f, const ImxEntry& e) {
  if (e.name != "manifest.json" || e.size < 1 || e.size > kPlaceholderMax) return false;
  if (fseeko(f, static_cast<off_t>(e.offset), SEEK_SET) != 0) return false;
  std::string text(static_cast<size_t>(e.size), '\0');
  if (std::fread(&text[0], 1, text.size(), f) != text.size()) return false;
  return text.find(kPlaceholderTag) != std::string::npos;
}

void materialise(std::FILE* src, const std::string& container, const ImxEntry& e,
                 const std::string& target, std::vector<char>& buf) {
  if (fseeko(src, static_cast<off_t>(e.offset), SEEK_SET) != 0)
    throw std::runtime_error(container + ": cannot seek to member " + e.name);
  // The directory was empty when the unwrap began, so anything already at
  // the staging name is an earlier member (one named "<this member>.part"):
  // stage beside it instead of over it.
  std::string part = target + ".part";
  while (fs::exists(part)) part += ".part";
  // Created exclusively: never through a link or into a file that appeared
  // at that name meanwhile.
  fs::File dst(part, "wbx");
  if (!dst) throw std::runtime_error("cannot write " + part);
  switch (copyBytes(src, dst.get(), e.size, buf)) {
    case CopyResult::Done: break;
    case CopyResult::ShortRead:
      throw std::runtime_error(container + ": truncated payload for member " + e.name);
    case CopyResult::ShortWrite: throw std::runtime_error("short write materialising " + target);
  }
  if (std::fflush(dst.get()) != 0 || dst.close() != 0)
    throw std::runtime_error("flush failed materialising " + target);
  if (std::rename(part.c_str(), target.c_str()) != 0) {
    std::remove(part.c_str());
    throw std::runtime_error("cannot place member " + target);
  }
}

// Written beside the marker and renamed over it, so a process checking the
// marker without the lock never reads half of one.
void writeMarker(const std::string& marker, const std::string& content) {
  // Beside the bundle directory, in a root others may write to: whatever
  // stands at the staging name goes first, and the file is created
  // exclusively, so a link planted there is never written through.
  const std::string part = marker + ".part";
  ::unlink(part.c_str());
  fs::File mark(part, "wbx");
  if (!mark) throw std::runtime_error("cannot write unwrap marker " + marker);
  if (std::fwrite(content.data(), 1, content.size(), mark.get()) != content.size() ||
      std::fflush(mark.get()) != 0 || mark.close() != 0) {
    mark.close();
    std::remove(part.c_str());
    throw std::runtime_error("short write on unwrap marker " + marker);
  }
  if (std::rename(part.c_str(), marker.c_str()) != 0) {
    std::remove(part.c_str());
    throw std::runtime_error("cannot write unwrap marker " + marker);
  }
}

}  // namespace

std::string unwrapOnce(const std::string& container) {
  std::lock_guard<std::mutex> lock(unwrapMutex());
  const std::string dir = imxUnwrapDir(container);
  const std::string marker = dir + ".imx_unwrapped";
  if (alreadyUnwrapped(container, dir, marker)) return dir;
  refuseOverlap(container, dir);

  const std::string root = fs::dirName(dir);
  if (!fs::mkdirs(root)) throw std::runtime_error("cannot create unwrap dir " + dir);
  DirectoryLock rootLock(root);
  // Another process may have finished this very unwrap while this one waited.
  if (alreadyUnwrapped(container, dir, marker)) return dir;

  // The container is read before anything on disk changes, so a broken one
  // leaves an earlier unpack where it is.
  fs::File src(container, "rb");
  if (!src) throw std::runtime_error("cannot open container " + container);
  const std::vector<ImxEntry> toc = readImxToc(src.get(), container);
  struct stat st;
  if (::fstat(::fileno(src.get()), &st) != 0)
    throw std::runtime_error("cannot open container " + container);

  // Whatever an interrupted unwrap left behind goes; the marker is written
  // only after every member is in place. A marker whose directory was
  // deleted goes too: left standing, a failure below would make the next
  // open take the half-written directory for a finished one.
  fs::rmTree(marker);
  fs::rmTree(dir);
  if (::mkdir(dir.c_str(), 0755) != 0) throw std::runtime_error("cannot create unwrap dir " + dir);

  // Sized to the largest payload (which the container's own size bounds,
  // whatever its table claims), at most kImxCopyBuffer: a container of small
  // members does not pay for clearing megabytes it never uses.
  uint64_t largest = 1;
  for (const ImxEntry& e : toc) largest = std::max(largest, e.size);
  largest = std::min(largest, static_cast<uint64_t>(std::max<off_t>(st.st_size, 1)));
  std::vector<char> buf(static_cast<size_t>(std::min<uint64_t>(largest, kImxCopyBuffer)));
  for (const ImxEntry& e : toc) {
    checkImxMemberName(container, e.name);
    if (isPlaceholderManifest(src.get(), e)) continue;
    const std::string target = dir + "/" + e.name;
    const std::string parent = fs::dirName(target);
    if (!fs::mkdirs(parent)) throw std::runtime_error("cannot create " + parent);
    materialise(src.get(), container, e, target, buf);
  }
  src.close();

  writeMarker(marker, fs::baseName(container) + containerRecord(container, st));
  std::fprintf(stderr, "[le] unwrapped %s -> %s\n", container.c_str(), dir.c_str());
  return dir;
}

}  // namespace le
