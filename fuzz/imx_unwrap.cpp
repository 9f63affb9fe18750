// Fuzzes container unpacking: the input is written as a container and
// resolved. Whatever it holds, the unpacked tree must stay inside the bundle
// directory, and failures must be std::runtime_error.
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <stdexcept>
#include <string>

#include "bundle/le_bundle.h"
#include "bundle/le_fs.h"
#include "bundle/le_imx.h"

namespace {

// Under $LE_FUZZ_TMP when set (tools/fuzz.sh gives each campaign its own and
// removes it, whichever way the fuzzer exits), else on tmpfs where the machine
// has one (the unwrap's files never reach a disk, which is most of the cost of
// an execution), else under $TMPDIR or /tmp.
const std::string& workDir() {
  static const std::string dir = [] {
    const char* own = std::getenv("LE_FUZZ_TMP");
    const char* env = std::getenv("TMPDIR");
    std::string base = own && *own                         ? own
                       : le::fs::isDirectory("/dev/shm") ? "/dev/shm"
                       : env && *env                     ? env
                                                         : "/tmp";
    std::string tmpl = base + "/le_fuzz_imx_XXXXXX";
    const char* d = mkdtemp(&tmpl[0]);
    if (!d) std::abort();
    // Kept apart from `dir`, which is destroyed before this handler runs.
    static char removeAtExit[4096];
    std::snprintf(removeAtExit, sizeof removeAtExit, "%s", d);
    std::atexit([] { le::fs::rmTree(removeAtExit); });
    return std::string(d);
  }();
  return dir;
}

}  // namespace

// The unwrap reads the whole table of contents before it touches the disk and
// stops there when the table is broken, so the table is read from memory
// first (by the same reader, through an in-memory FILE) and only inputs whose
// table reads go through files. Most mutated inputs end at that first step.
bool tableReads(const uint8_t* data, size_t size) {
  if (size == 0) return false;
  std::FILE* f = fmemopen(const_cast<uint8_t*>(data), size, "rb");
  if (!f) return true;  // let the file path decide
  bool reads = true;
  try {
    le::readImxToc(f, "f.imx");
  } catch (const std::runtime_error&) {
    reads = false;
  }
  std::fclose(f);
  return reads;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (!tableReads(data, size)) return 0;
  const std::string& root = workDir();
  const std::string inner = root + "/w";
  le::fs::rmTree(inner);
  le::fs::mkdirs(inner);
  const std::string container = inner + "/f.imx";
  if (std::FILE* f = std::fopen(container.c_str(), "wb")) {
    std::fwrite(data, 1, size, f);
    std::fclose(f);
  }
  try {
    const std::string dir = le::resolveBundlePath(container);
    if (dir != container && dir != inner + "/f.lebundle") __builtin_trap();
  } catch (const std::runtime_error&) {
  }
  // Nothing may have been written next to the work directory.
  if (le::fs::exists(root + "/escaped")) __builtin_trap();
  le::fs::rmTree(inner);
  return 0;
}
