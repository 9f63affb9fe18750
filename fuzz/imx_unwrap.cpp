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

namespace {

// On tmpfs where the machine has one (the unwrap's files never reach a disk,
// which is most of the cost of an execution), else under $TMPDIR or /tmp.
const std::string& workDir() {
  static const std::string dir = [] {
    const char* env = std::getenv("TMPDIR");
    std::string base = le::fs::isDirectory("/dev/shm") ? "/dev/shm" : env && *env ? env : "/tmp";
    std::string tmpl = base + "/le_fuzz_imx_XXXXXX";
    const char* d = mkdtemp(&tmpl[0]);
    if (!d) std::abort();
    std::atexit([] { le::fs::rmTree(workDir()); });
    return std::string(d);
  }();
  return dir;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
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
