#include "bundle/le_imx.h"

#include <sys/stat.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <stdexcept>

#include "bundle/le_fs.h"

namespace le {
namespace {

constexpr char kMagic[4] = {'I', 'M', 'X', '\0'};

uint16_t u16le(const unsigned char* p) { return static_cast<uint16_t>(p[0] | (p[1] << 8)); }

uint64_t u64le(const unsigned char* p) {
  uint64_t v = 0;
  for (int i = 7; i >= 0; --i) v = (v << 8) | p[i];
  return v;
}

void putU16(std::string& out, uint16_t v) {
  out.push_back(static_cast<char>(v & 0xff));
  out.push_back(static_cast<char>(v >> 8));
}

void putU64(std::string& out, uint64_t v) {
  for (int i = 0; i < 8; ++i) out.push_back(static_cast<char>((v >> (8 * i)) & 0xff));
}

}  // namespace

bool isImxV2File(const std::string& path) {
  if (!fs::isRegularFile(path)) return false;
  fs::File f(path, "rb");
  if (!f) return false;
  unsigned char head[8];
  if (std::fread(head, 1, sizeof head, f.get()) != sizeof head) return false;
  return std::memcmp(head, kMagic, 4) == 0 && u16le(head + 4) == 2;
}

bool hasImxMagic(const std::string& path) {
  if (!fs::isRegularFile(path)) return false;
  fs::File f(path, "rb");
  if (!f) return false;
  unsigned char head[4];
  return std::fread(head, 1, sizeof head, f.get()) == sizeof head &&
         std::memcmp(head, kMagic, 4) == 0;
}

CopyResult copyBytes(std::FILE* from, std::FILE* to, uint64_t size, std::vector<char>& buf) {
  uint64_t left = size;
  while (left > 0) {
    const size_t want = left < buf.size() ? static_cast<size_t>(left) : buf.size();
    const size_t got = std::fread(buf.data(), 1, want, from);
    if (got == 0) return CopyResult::ShortRead;
    if (std::fwrite(buf.data(), 1, got, to) != got) return CopyResult::ShortWrite;
    left -= got;
  }
  return CopyResult::Done;
}

std::vector<ImxEntry> readImxToc(std::FILE* f, const std::string& container) {
  unsigned char head[8];
  if (std::fread(head, 1, sizeof head, f) != sizeof head || std::memcmp(head, kMagic, 4) != 0)
    throw std::runtime_error(container + ": not an IMX\\0 container");
  const uint16_t version = u16le(head + 4);
  if (version != 2)
    throw std::runtime_error(container + ": unsupported IMX container version " +
                             std::to_string(version));
  const uint16_t count = u16le(head + 6);
  std::vector<ImxEntry> toc;
  // The count is the container's word only: a few bytes claiming 65 535
  // members must not cost megabytes before the table runs out.
  toc.reserve(std::min<uint32_t>(count, 64));
  for (uint32_t i = 0; i < count; ++i) {
    unsigned char len[2];
    if (std::fread(len, 1, 2, f) != 2)
      throw std::runtime_error(container + ": truncated TOC at member " + std::to_string(i));
    ImxEntry e;
    e.name.resize(u16le(len));
    if (!e.name.empty() && std::fread(&e.name[0], 1, e.name.size(), f) != e.name.size())
      throw std::runtime_error(container + ": truncated member name at " + std::to_string(i));
    unsigned char pos[16];
    if (std::fread(pos, 1, sizeof pos, f) != sizeof pos)
      throw std::runtime_error(container + ": truncated TOC offsets at member " + e.name);
    e.offset = u64le(pos);
    e.size = u64le(pos + 8);
    toc.push_back(std::move(e));
  }
  return toc;
}

void checkImxMemberName(const std::string& container, const std::string& name) {
  // A backslash is refused anywhere, not only in front: on hosts that treat it
  // as a separator "a\..\b" would climb out of the bundle directory.
  const bool unsafe = (!name.empty() && name[0] == '/') ||
                      name.find('\\') != std::string::npos ||
                      name.find("..") != std::string::npos ||
                      name.find('\0') != std::string::npos;
  if (unsafe) {
    // A NUL would cut the message short at the C boundary; show it as "\0".
    std::string shown;
    for (char c : name) shown += c == '\0' ? std::string("\\0") : std::string(1, c);
    throw std::runtime_error(container + ": refusing unsafe member name '" + shown + "'");
  }
}

std::string imxUnwrapDir(const std::string& container) {
  std::string base = fs::baseName(container);
  auto endsWith = [](const std::string& s, const char* suffix) {
    const size_t n = std::strlen(suffix);
    return s.size() >= n && s.compare(s.size() - n, n, suffix) == 0;
  };
  if (endsWith(base, ".imx")) base.resize(base.size() - 4);
  if (!endsWith(base, ".lebundle")) base += ".lebundle";
  const char* env = std::getenv("LE_IMX_UNWRAP_ROOT");
  std::string root = (env && *env) ? std::string(env) : fs::dirName(container);
  return fs::stripTrailingSlashes(root) + "/" + base;
}

void writeImxContainer(const std::string& out, const std::vector<ImxSource>& members) {
  if (members.size() > 0xffff)
    throw std::runtime_error("too many members for an IMX container: " +
                             std::to_string(members.size()));
  std::vector<uint64_t> sizes;
  uint64_t tocBytes = 8;
  for (const ImxSource& m : members) {
    checkImxMemberName(out, m.name);
    if (m.name.size() > 0xffff) throw std::runtime_error("member name too long: " + m.name);
    struct stat st;
    if (::stat(m.path.c_str(), &st) != 0 || !S_ISREG(st.st_mode))
      throw std::runtime_error("cannot open " + m.path);
    sizes.push_back(static_cast<uint64_t>(st.st_size));
    tocBytes += 2 + m.name.size() + 16;
  }
  std::string head(kMagic, 4);
  putU16(head, 2);
  putU16(head, static_cast<uint16_t>(members.size()));
  uint64_t offset = tocBytes;
  for (size_t i = 0; i < members.size(); ++i) {
    putU16(head, static_cast<uint16_t>(members[i].name.size()));
    head += members[i].name;
    putU64(head, offset);
    putU64(head, sizes[i]);
    offset += sizes[i];
  }

  const std::string part = out + ".part";
  try {
    fs::File dst(part, "wb");
    if (!dst) throw std::runtime_error("cannot write " + part);
    if (std::fwrite(head.data(), 1, head.size(), dst.get()) != head.size())
      throw std::runtime_error("short write " + part);
    std::vector<char> buf(kImxCopyBuffer);
    for (size_t i = 0; i < members.size(); ++i) {
      fs::File src(members[i].path, "rb");
      if (!src) throw std::runtime_error("cannot open " + members[i].path);
      switch (copyBytes(src.get(), dst.get(), sizes[i], buf)) {
        case CopyResult::Done: break;
        case CopyResult::ShortRead: throw std::runtime_error("short read " + members[i].path);
        case CopyResult::ShortWrite: throw std::runtime_error("short write " + part);
      }
    }
    if (std::fflush(dst.get()) != 0 || dst.close() != 0)
      throw std::runtime_error("flush failed writing " + part);
    if (std::rename(part.c_str(), out.c_str()) != 0)
      throw std::runtime_error("cannot place container " + out);
  } catch (...) {
    std::remove(part.c_str());
    throw;
  }
}

}  // namespace le
