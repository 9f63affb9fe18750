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

const std::string& workDir() {
  static const std::string dir = [] {
    char tmpl[] = "/tmp/le_fuzz_imx_XXXXXX";
    const char* d = mkdtemp(tmpl);
    if (!d) std::abort();
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
