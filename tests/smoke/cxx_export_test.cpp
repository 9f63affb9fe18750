// The shared library's one exported C++ function links and answers from a
// host that sees nothing but the library.
#include <cstdio>
#include <string>

#include "driver/le_moviedec_ff.h"

int main() {
  const std::string build = le::movieDecoderBuild();
  if (build.rfind("libavcodec ", 0) != 0 || build.find(" / ") == std::string::npos) {
    std::fprintf(stderr, "unexpected movieDecoderBuild: %s\n", build.c_str());
    return 1;
  }
  std::printf("%s\n", build.c_str());
  return 0;
}
