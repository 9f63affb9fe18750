// Every load-time rewrite must leave the director computing the same
// function: each director listed in $LE_DIRECTOR_MODELS (';'-separated paths)
// runs in ONNX Runtime as written and rewritten, on the same inputs, and the
// "rgb" outputs are compared. The largest differences are printed.
#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <functional>
#include <sstream>

#include "director/graph_rewrites.h"
#include "ort_harness.h"

namespace le {
namespace {

std::vector<std::string> modelPaths() {
  std::vector<std::string> out;
  const char* list = std::getenv("LE_DIRECTOR_MODELS");
  std::stringstream ss(list ? list : "");
  std::string p;
  while (std::getline(ss, p, ';'))
    if (!p.empty()) out.push_back(p);
  return out;
}

// Round-off of float32 work: the definitions of these rewrites are exact.
constexpr float kTolerance = 1e-5f;

struct Case {
  const char* name;
  std::function<size_t(Bytes&, std::string&)> rewrite;
};

const std::vector<Case>& cases() {
  static const std::vector<Case> c{
      {"GridSample -> GridSampleFast", [](Bytes& m, std::string&) { return rewriteGridSampleToFast(m); }},
      {"MatMul -> Gemm", [](Bytes& m, std::string&) { return normaliseStudentBlend(m); }},
      {"cubic Resize -> Pad+Conv+DepthToSpace", [](Bytes& m, std::string&) { return rewriteHeadCubicResize(m); }},
      {"warp block -> WarpDirector", [](Bytes& m, std::string& why) { return rewriteWarpBlockToCustomOp(m, why); }},
      {"all, in load order",
       [](Bytes& m, std::string& why) {
         return rewriteWarpBlockToCustomOp(m, why) + rewriteGridSampleToFast(m) + normaliseStudentBlend(m) +
                rewriteHeadCubicResize(m);
       }},
  };
  return c;
}

bool isFeatSynth(const test::Feeds& feeds) { return feeds.count("fs_red") != 0; }

TEST(Equivalence, EachRewriteKeepsTheDirectorsOutput) {
  const std::vector<std::string> paths = modelPaths();
  if (paths.empty()) GTEST_SKIP() << "LE_DIRECTOR_MODELS lists no director";
  for (const std::string& path : paths) {
    SCOPED_TRACE(path);
    const Bytes original = test::readModel(path);
    const test::Feeds feeds = test::directorFeeds(original, 7);
    const test::Tensor expected = test::run(original, feeds, "rgb");
    for (const Case& c : cases()) {
      SCOPED_TRACE(c.name);
      Bytes m = original;
      std::string why;
      const size_t n = c.rewrite(m, why);
      if (n == 0) {
        // Only the warp block may be absent, and only where there is no P_rgb.
        EXPECT_TRUE(isFeatSynth(feeds)) << "did not apply: " << why;
        std::printf("[equivalence] %s | %s: not applied (%s)\n", path.c_str(), c.name, why.c_str());
        continue;
      }
      const float diff = test::maxAbsDiff(test::run(m, feeds, "rgb"), expected);
      std::printf("[equivalence] %s | %s: %zu node(s), max |rgb diff| %.3g\n", path.c_str(), c.name, n, diff);
      EXPECT_LE(diff, kTolerance);
    }
  }
}

TEST(Equivalence, SourceConeSplitMatchesTheWholeGraph) {
  const std::vector<std::string> paths = modelPaths();
  if (paths.empty()) GTEST_SKIP() << "LE_DIRECTOR_MODELS lists no director";
  for (const std::string& path : paths) {
    SCOPED_TRACE(path);
    const Bytes original = test::readModel(path);
    const test::Feeds feeds = test::directorFeeds(original, 11);
    std::string boundary, why;
    if (findSourceConeBoundary(original, boundary) != 1) {
      EXPECT_TRUE(isFeatSynth(feeds));
      std::printf("[equivalence] %s | source cone: no P_rgb cone\n", path.c_str());
      continue;
    }
    Bytes prep, perFrame;
    ASSERT_TRUE(buildSourceConePrep(original, boundary, prep, why)) << why;
    const test::Tensor tip = test::run(prep, feeds, boundary);
    ASSERT_TRUE(buildSourceConePerFrame(original, boundary, tip.shape.data(), tip.shape.size(), perFrame, why))
        << why;
    test::Feeds perFrameFeeds = feeds;
    perFrameFeeds.erase("P_rgb");
    perFrameFeeds[boundary] = tip;
    const float diff = test::maxAbsDiff(test::run(perFrame, perFrameFeeds, "rgb"), test::run(original, feeds, "rgb"));
    std::printf("[equivalence] %s | source cone split (prep then per-frame): max |rgb diff| %.3g\n", path.c_str(),
                diff);
    EXPECT_LE(diff, kTolerance);
  }
}

}  // namespace
}  // namespace le
