// Writes raw pattern frames to stdout for the ffmpeg CLI to encode:
//   driver_media_gen <sharp|smooth|sweep> <yuv420p|yuv444p|nv12> W H frames
#include <cstdio>
#include <cstring>
#include <string>

#include "media_pattern.h"

int main(int argc, char** argv) {
  using le::test::Pattern;
  if (argc != 6) {
    std::fprintf(stderr, "usage: %s sharp|smooth|sweep yuv420p|yuv444p|nv12 W H frames\n", argv[0]);
    return 2;
  }
  const std::string pat = argv[1];
  const std::string layout = argv[2];
  const Pattern p = pat == "sharp" ? Pattern::Sharp : pat == "smooth" ? Pattern::Smooth : Pattern::Sweep;
  const int W = std::atoi(argv[3]);
  const int H = std::atoi(argv[4]);
  const int n = std::atoi(argv[5]);
  for (int f = 0; f < n; ++f) {
    std::vector<uint8_t> frame = le::test::patternFrame(p, layout == "yuv444p", f, W, H);
    if (layout == "nv12") {
      // Same samples, chroma interleaved U, V.
      const size_t luma = static_cast<size_t>(W) * H;
      const size_t chroma = (frame.size() - luma) / 2;
      std::vector<uint8_t> nv(frame.begin(), frame.begin() + static_cast<std::ptrdiff_t>(luma));
      for (size_t i = 0; i < chroma; ++i) {
        nv.push_back(frame[luma + i]);
        nv.push_back(frame[luma + chroma + i]);
      }
      frame.swap(nv);
    }
    if (std::fwrite(frame.data(), 1, frame.size(), stdout) != frame.size()) return 1;
  }
  return 0;
}
