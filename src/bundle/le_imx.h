// IMX version 2 containers: one file holding a bundle's members, unpacked
// once into a directory the rest of the library reads.
//
// Layout (little-endian): "IMX\0", u16 version (2), u16 member count N, then N
// table entries {u16 name length L, L name bytes, u64 payload offset, u64
// payload size}; payloads are stored plain at their offsets.
#pragma once

#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

namespace le {

struct ImxEntry {
  std::string name;  // relative "/"-separated path inside the bundle
  uint64_t offset = 0;
  uint64_t size = 0;
};

// True when `path` is a regular file whose first eight bytes are the magic
// and version 2.
bool isImxV2File(const std::string& path);

// True when `path` is a regular file that begins with the magic, whatever
// follows: such a file is a container, and a broken or unsupported one is
// reported as such rather than passed on as a bundle directory.
bool hasImxMagic(const std::string& path);

// Reads the header and the table of contents of an open container; throws
// std::runtime_error naming `container` for a bad magic, an unsupported
// version or a truncated table.
std::vector<ImxEntry> readImxToc(std::FILE* f, const std::string& container);

// Throws "<container>: refusing unsafe member name '<name>'" for a name that
// could escape the bundle directory: a leading "/", a backslash anywhere,
// "..", or a NUL byte.
void checkImxMemberName(const std::string& container, const std::string& name);

// Copies `size` bytes from the current position of `from` to `to` through
// `buf`; the result says whether the source ran short or a write fell short.
// Payloads are streamed through one buffer of this size, never held whole.
constexpr size_t kImxCopyBuffer = size_t{8} << 20;
enum class CopyResult { Done, ShortRead, ShortWrite };
CopyResult copyBytes(std::FILE* from, std::FILE* to, uint64_t size, std::vector<char>& buf);

// The directory a container unpacks into: "<root>/<base>.lebundle", where
// root is $LE_IMX_UNWRAP_ROOT (when set and not empty) or the container's own
// directory, and base is the container's file name without ".imx".
std::string imxUnwrapDir(const std::string& container);

// Unpacks the container once and returns the bundle directory. A finished
// unpack leaves a marker file "<dir>.imx_unwrapped" (first line: the
// container's file name; then the container's absolute path, size and
// modification time); while the directory exists and the marker records this
// same container, the container is not opened again. Serialised within the
// process by a mutex and across processes by a lock on the directory that
// holds the bundle directory.
std::string unwrapOnce(const std::string& container);

// A member to pack: its name inside the container and the file holding it.
struct ImxSource {
  std::string name;
  std::string path;
};

// Writes a version 2 container holding `members` in the given order; the
// payloads are streamed from their files. Throws on unsafe names, unreadable
// sources or write errors (a partial output file is removed).
void writeImxContainer(const std::string& out, const std::vector<ImxSource>& members);

}  // namespace le
