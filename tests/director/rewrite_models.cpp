// Writes every rewrite of each given director that applies, for checking
// with onnx.checker (check_models.py):
//   director_rewrite_models OUT_DIR model.onnx...
// gives OUT_DIR/<model>.<rewrite>.onnx.
#include <sys/stat.h>

#include <cerrno>
#include <cstdio>
#include <fstream>
#include <string>

#include "director/graph_rewrites.h"
#include "ort_harness.h"

namespace {

void save(const std::string& path, const le::Bytes& b) {
  std::ofstream f(path, std::ios::binary);
  f.write(reinterpret_cast<const char*>(b.data()), static_cast<std::streamsize>(b.size()));
  if (!f) throw std::runtime_error("cannot write " + path);
}

std::string stem(const std::string& path) {
  const size_t slash = path.find_last_of('/');
  std::string s = slash == std::string::npos ? path : path.substr(slash + 1);
  const size_t dot = s.rfind(".onnx");
  return dot == std::string::npos ? s : s.substr(0, dot);
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 3) {
    std::fprintf(stderr, "usage: %s OUT_DIR model.onnx...\n", argv[0]);
    return 2;
  }
  const std::string out = argv[1];
  if (mkdir(out.c_str(), 0755) != 0 && errno != EEXIST) {
    std::perror(out.c_str());
    return 1;
  }
  int written = 0;
  try {
    for (int a = 2; a < argc; ++a) {
      const le::Bytes original = le::test::readModel(argv[a]);
      const std::string base = out + "/" + stem(argv[a]);
      std::string why;
      auto write = [&](const char* tag, le::Bytes m, size_t n) {
        if (n == 0) return;
        save(base + "." + tag + ".onnx", m);
        ++written;
      };
      le::Bytes m = original;
      write("gridsample_fast", m, le::rewriteGridSampleToFast(m));
      m = original;
      write("gemm", m, le::normaliseStudentBlend(m));
      m = original;
      write("head_cubic", m, le::rewriteHeadCubicResize(m));
      m = original;
      write("warp_director", m, le::rewriteWarpBlockToCustomOp(m, why));
      m = original;
      const size_t all = le::rewriteWarpBlockToCustomOp(m, why) + le::rewriteGridSampleToFast(m) +
                         le::normaliseStudentBlend(m) + le::rewriteHeadCubicResize(m);
      write("all", m, all);
      std::string boundary;
      le::Bytes prep, perFrame;
      if (le::findSourceConeBoundary(original, boundary) == 1 &&
          le::buildSourceConePrep(original, boundary, prep, why)) {
        const le::test::Tensor tip = le::test::run(prep, le::test::directorFeeds(original, 1), boundary);
        if (le::buildSourceConePerFrame(original, boundary, tip.shape.data(), tip.shape.size(), perFrame, why)) {
          write("cone_prep", prep, 1);
          write("cone_per_frame", perFrame, 1);
        }
      }
    }
  } catch (const std::exception& e) {
    std::fprintf(stderr, "director_rewrite_models: %s\n", e.what());
    return 1;
  }
  std::printf("wrote %d rewritten models\n", written);
  return written > 0 ? 0 : 1;
}
