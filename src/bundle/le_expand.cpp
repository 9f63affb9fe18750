// Unpacking an IMX container into its bundle directory, once.
#include <cstdio>
#include <mutex>
#include <stdexcept>
#include <vector>

#include "bundle/le_fs.h"
#include "bundle/le_imx.h"

namespace le {
namespace {

constexpr size_t kCopyBuffer = size_t{8} << 20;
constexpr uint64_t kPlaceholderMax = uint64_t{4} << 20;
constexpr char kPlaceholderTag[] = "_imx_synthetic_manifest";

std::mutex& unwrapMutex() {
  static std::mutex m;
  return m;
}

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
  const std::string part = target + ".part";
  fs::File dst(part, "wb");
  if (!dst) throw std::runtime_error("cannot write " + part);
  uint64_t left = e.size;
  while (left > 0) {
    const size_t want = left < buf.size() ? static_cast<size_t>(left) : buf.size();
    const size_t got = std::fread(buf.data(), 1, want, src);
    if (got == 0) throw std::runtime_error(container + ": truncated payload for member " + e.name);
    if (std::fwrite(buf.data(), 1, got, dst.get()) != got)
      throw std::runtime_error("short write materialising " + target);
    left -= got;
  }
  if (std::fflush(dst.get()) != 0 || dst.close() != 0)
    throw std::runtime_error("flush failed materialising " + target);
  if (std::rename(part.c_str(), target.c_str()) != 0) {
    std::remove(part.c_str());
    throw std::runtime_error("cannot place member " + target);
  }
}

}  // namespace

std::string unwrapOnce(const std::string& container) {
  std::lock_guard<std::mutex> lock(unwrapMutex());
  const std::string dir = imxUnwrapDir(container);
  const std::string marker = dir + ".imx_unwrapped";
  if (fs::isDirectory(dir) && fs::exists(marker)) return dir;

  // Whatever an interrupted unwrap left behind goes; the marker is written
  // only after every member is in place. A marker whose directory was
  // deleted goes too: left standing, a failure below would make the next
  // open take the half-written directory for a finished one.
  fs::rmTree(marker);
  fs::rmTree(dir);
  if (!fs::mkdirs(dir)) throw std::runtime_error("cannot create unwrap dir " + dir);

  fs::File src(container, "rb");
  if (!src) throw std::runtime_error("cannot open container " + container);
  const std::vector<ImxEntry> toc = readImxToc(src.get(), container);

  std::vector<char> buf(kCopyBuffer);
  for (const ImxEntry& e : toc) {
    checkImxMemberName(container, e.name);
    if (isPlaceholderManifest(src.get(), e)) continue;
    const std::string target = dir + "/" + e.name;
    const std::string parent = fs::dirName(target);
    if (!fs::mkdirs(parent)) throw std::runtime_error("cannot create " + parent);
    materialise(src.get(), container, e, target, buf);
  }
  src.close();

  const std::string content = fs::baseName(container);
  fs::File mark(marker, "wb");
  if (!mark) throw std::runtime_error("cannot write unwrap marker " + marker);
  if (std::fwrite(content.data(), 1, content.size(), mark.get()) != content.size() ||
      std::fflush(mark.get()) != 0 || mark.close() != 0) {
    mark.close();
    std::remove(marker.c_str());
    throw std::runtime_error("short write on unwrap marker " + marker);
  }
  std::fprintf(stderr, "[le] unwrapped %s -> %s\n", container.c_str(), dir.c_str());
  return dir;
}

}  // namespace le
