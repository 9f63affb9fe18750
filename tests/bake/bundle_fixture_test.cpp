// The baked demo bundles, as the library's own readers see them: the
// manifest loads, every member resolves under the bundle's naming layout
// and has exactly the size the manifest implies.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <ostream>
#include <string>
#include <vector>

#include "bundle/le_bundle.h"
#include "support/bake_fixtures.h"
#include "support/test_support.h"

namespace {

constexpr int kNT = 8, kW = 320, kH = 240, kCrop = 64, kFrames = 16;

bool exists(const std::string& p) {
  struct stat st;
  return ::stat(p.c_str(), &st) == 0;
}

int64_t fileSize(const std::string& p) {
  struct stat st;
  return ::stat(p.c_str(), &st) == 0 ? static_cast<int64_t>(st.st_size) : -1;
}

template <typename T>
std::vector<T> readArray(const std::string& p) {
  const std::string bytes = le::test::readWhole(p);
  std::vector<T> v(bytes.size() / sizeof(T));
  std::memcpy(v.data(), bytes.data(), v.size() * sizeof(T));
  return v;
}

struct Expect {
  const char* variant;
  bool rawPrior, hevcPrior, featSynth, manifestLayout;
};

void PrintTo(const Expect& e, std::ostream* os) { *os << e.variant; }

class BakedBundle : public ::testing::TestWithParam<Expect> {};

TEST_P(BakedBundle, ManifestLoadsWithTheLibraryReader) {
  const le::Manifest m = le::loadManifest(le::test::bakeFixture(GetParam().variant));
  EXPECT_EQ(m.NT, kNT);
  EXPECT_EQ(m.W, kW);
  EXPECT_EQ(m.H, kH);
  EXPECT_EQ(m.crop, kCrop);
  EXPECT_EQ(m.frames, kFrames);
  EXPECT_FLOAT_EQ(m.unsharp.amount, 0.8f);
  EXPECT_FLOAT_EQ(m.unsharp.sigma, 1.0f);
  EXPECT_EQ(m.unsharp.ksize, 5);
  EXPECT_FALSE(m.agent.empty());
}

TEST_P(BakedBundle, MembersHaveExactlyTheSizesTheManifestImplies) {
  const Expect e = GetParam();
  const le::Manifest m = le::loadManifest(le::test::bakeFixture(e.variant));
  const int64_t nt = m.NT, crop = m.crop, frames = m.frames;
  auto member = [&](const std::string& name) { return le::resolveMember(m.dir, name); };
  struct Sized {
    const char* name;
    int64_t bytes;
    bool present;
  };
  const Sized table[] = {
      {"P.f16", 6 * crop * crop * nt, e.rawPrior},
      {"fs_red.f16", 524288 * nt, e.featSynth},
      {"pooled64.f16", 131072 * nt, true},
      {"M.f32", 24 * nt, true},
      {"drive/xs.f32", 252 * frames, true},
      {"drive/xd.f32", 252 * frames, true},
      {"drive/si.i32", 4 * frames, true},
      {"mask_512.u8", crop * crop, true},
      {"xs_target.bin", 252 * nt, true},
  };
  for (const Sized& s : table) {
    const std::string path = member(s.name);
    if (!s.present) {
      EXPECT_FALSE(exists(path)) << s.name << " should be absent from " << e.variant;
      continue;
    }
    EXPECT_EQ(fileSize(path), s.bytes) << path;
    // The file sits under the layout's own name, never under both.
    const std::string layoutName = le::manifestLayoutName(s.name);
    if (layoutName != s.name) {
      EXPECT_EQ(exists(m.dir + "/" + s.name), !e.manifestLayout) << s.name;
      EXPECT_EQ(exists(m.dir + "/" + layoutName), e.manifestLayout) << layoutName;
    }
  }
  for (const char* key : {"b1", "b4", "b24_fp32", "render"})
    EXPECT_GT(fileSize(le::resolveMember(m.dir, std::string("model_") + key + ".onnx")), 0) << key;
  EXPECT_GT(fileSize(member("target_frames.mp4")), 0);
  const std::string hevc = member("P_hevc.mov");
  EXPECT_EQ(exists(hevc), e.hevcPrior);
  if (e.hevcPrior) {
    // The prior's name is declared, as a bundle without P.f16 must.
    std::string named;
    ASSERT_TRUE(le::manifest_key::optStr(le::readText(m.dir + "/manifest.json"), "P_hevc", named));
    EXPECT_TRUE(exists(member(named)));
  }
  for (int32_t si : readArray<int32_t>(member("drive/si.i32"))) {
    EXPECT_GE(si, 0);
    EXPECT_LT(si, m.NT);
  }
}

INSTANTIATE_TEST_SUITE_P(Variants, BakedBundle,
                         ::testing::Values(Expect{"tiny", true, false, false, false},
                                           Expect{"tiny_layout", true, false, false, true},
                                           Expect{"tiny_hevc", false, true, false, false},
                                           Expect{"tiny_featsynth", false, false, true, false},
                                           Expect{"tiny_jpeg", true, false, false, false},
                                           Expect{"tiny_msrc", true, false, false, false}),
                         [](const auto& info) { return std::string(info.param.variant); });

TEST(BakedBundleVariants, JpegDirectoryHoldsOneFilePerDriverFrame) {
  const std::string dir = le::test::bakeFixture("tiny_jpeg") + "/target_frames";
  char name[64];
  for (int i = 0; i < kNT; ++i) {
    std::snprintf(name, sizeof name, "/frame_%06d.jpg", i);
    EXPECT_GT(fileSize(dir + name), 0) << name;
  }
  std::snprintf(name, sizeof name, "/frame_%06d.jpg", kNT);
  EXPECT_FALSE(exists(dir + name));
}

// M authored on another canvas carries that canvas as its stamp; rescaled
// to W x H it is the same transform the default bake stores.
TEST(BakedBundleVariants, PasteTransformOnAnotherCanvasRescalesToTheDefault) {
  const le::Manifest plain = le::loadManifest(le::test::bakeFixture("tiny"));
  const le::Manifest other = le::loadManifest(le::test::bakeFixture("tiny_msrc"));
  EXPECT_EQ(plain.msrcW, kW);
  EXPECT_EQ(plain.msrcH, kH);
  ASSERT_NE(other.msrcW, kW);
  ASSERT_NE(other.msrcH, kH);
  const auto a = readArray<float>(le::resolveMember(plain.dir, "M.f32"));
  const auto b = readArray<float>(le::resolveMember(other.dir, "M.f32"));
  ASSERT_EQ(a.size(), b.size());
  const double sx = double(kW) / other.msrcW, sy = double(kH) / other.msrcH;
  for (size_t i = 0; i < a.size(); ++i)
    EXPECT_NEAR(a[i], b[i] * (i % 6 < 3 ? sx : sy), 1e-3 * (1.0 + std::fabs(a[i]))) << "M value " << i;
}

// The packed container unwraps to the same bundle.
TEST(BakedBundleVariants, ImxContainerUnwrapsToTheSameMembers) {
  le::test::TempDir root;
  le::test::ScopedEnv unwrapRoot("LE_IMX_UNWRAP_ROOT", root.path().c_str());
  const std::string dir = le::test::bakeFixture("tiny");
  const le::Manifest m = le::loadManifest(dir + ".imx");
  EXPECT_EQ(m.dir, root.path() + "/tiny.lebundle");
  EXPECT_EQ(m.NT, kNT);
  for (const char* name : {"manifest.json", "P.f16", "pooled64.f16", "M.f32", "drive/xd.f32", "model_b1.onnx",
                           "target_frames.mp4"})
    EXPECT_EQ(le::test::readWhole(m.dir + "/" + name), le::test::readWhole(dir + "/" + name)) << name;
}

}  // namespace
