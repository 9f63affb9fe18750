// le_motion over the demo bake's motion/ directory, against the bake's
// PyTorch computation of the whole pipeline on real speech (reference key
// "pipe_motion": driver frames in loop order from 0, after finish).
#include <gtest/gtest.h>

#include <cmath>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "support/bake_fixtures.h"
#include "le/le.h"
#include "support/test_support.h"

namespace {

const le::test::RefTensor& tensor(const std::vector<le::test::RefTensor>& list, const char* name) {
  for (const auto& t : list)
    if (t.name == name) return t;
  throw std::runtime_error(std::string("reference without ") + name);
}

TEST(MotionBake, TinyBundleMatchesTheBakesPipeline) {
  const std::string bundle = le::test::bakeFixture("tiny");
  le::test::TempDir tmp;
  le::test::ScopedEnv dump("LE_MOTION_DUMP", (tmp / "dump").c_str());
  le_motion* m = le_motion_create((bundle + "/motion").c_str(), 2, "");
  ASSERT_NE(m, nullptr) << le_motion_last_error();

  int cases = 0;
  for (const auto& c : le::test::loadReferenceCases(bundle + ".ref/audio")) {
    if (c.key != "pipe_motion") continue;
    ++cases;
    const auto& samples = tensor(c.inputs, "samples").data;
    const auto& idx = tensor(c.outputs, "idx").data;
    const auto& motion = tensor(c.outputs, "motion").data;
    const auto& xd = tensor(c.outputs, "xd").data;
    const int frames = static_cast<int>(idx.size());

    le_motion_reset(m, 0, 1, 1);
    ASSERT_EQ(le_motion_push(m, samples.data(), static_cast<int>(samples.size())), 1);
    le_motion_finish(m);
    ASSERT_EQ(le_motion_total(m), frames) << le_motion_last_error();
    std::vector<int> gotIdx(frames);
    std::vector<float> xs(frames * 63), gotXd(frames * 63);
    ASSERT_EQ(le_motion_pull(m, gotIdx.data(), xs.data(), gotXd.data(), frames), frames);

    // The smoothed latent the stitching network saw, from the dump.
    std::vector<float> gotMotion(motion.size());
    FILE* f = std::fopen((tmp / "dump/res_post.bin").c_str(), "rb");
    ASSERT_NE(f, nullptr);
    EXPECT_EQ(std::fread(gotMotion.data(), sizeof(float), gotMotion.size(), f), gotMotion.size());
    std::fclose(f);

    double worstXd = 0, worstMotion = 0;
    for (int i = 0; i < frames; ++i) EXPECT_EQ(gotIdx[i], static_cast<int>(idx[i])) << i;
    for (size_t i = 0; i < xd.size(); ++i) worstXd = std::fmax(worstXd, std::fabs(gotXd[i] - xd[i]));
    for (size_t i = 0; i < motion.size(); ++i)
      worstMotion = std::fmax(worstMotion, std::fabs(gotMotion[i] - motion[i]));
    char text[64];
    std::snprintf(text, sizeof text, "xd %.3g, motion %.3g", worstXd, worstMotion);
    ::testing::Test::RecordProperty("max_abs_error_case" + std::to_string(c.index), text);
    EXPECT_LT(worstMotion, 1e-3) << "case " << c.index;
    EXPECT_LT(worstXd, 1e-4) << "case " << c.index;
  }
  EXPECT_GT(cases, 0);
  le_motion_destroy(m);
}

}  // namespace
