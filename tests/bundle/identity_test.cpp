// Identity arrays, warp-prior refusals, paste-transform rescaling and the
// drive track.
#include <dirent.h>

#include <cmath>
#include <cstring>
#include <fstream>
#include <stdexcept>
#include <string>
#include <vector>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "bundle/le_bundle.h"
#include "bundle/le_identity.h"
#include "paste/le_simd.h"
#include "support/bundle_writer.h"
#include "support/error_text.h"
#include "support/test_support.h"

using le::test::BundleSpec;
using le::test::errorOf;
using le::test::IdentityFiles;
using le::test::TempDir;
using le::test::writeBundle;
using le::test::writeFile;
using ::testing::HasSubstr;

namespace {

int countEntries(const char* dir) {
  int n = 0;
  if (DIR* d = opendir(dir)) {
    while (readdir(d)) ++n;
    closedir(d);
  }
  return n;
}

int countMappingsOf(const std::string& needle) {
  std::ifstream maps("/proc/self/maps");
  std::string line;
  int n = 0;
  while (std::getline(maps, line)) n += line.find(needle) != std::string::npos;
  return n;
}

uint16_t firstWord(size_t row, size_t rowWords, uint16_t seed) {
  return static_cast<uint16_t>((seed + row * rowWords) & 0x7bff);
}

}  // namespace

TEST(Identity, MapsRowsUnderBothLayouts) {
  for (bool layout : {false, true}) {
    TempDir t;
    BundleSpec s;
    IdentityFiles files;
    files.manifestLayout = layout;
    files.fsRed = true;
    writeBundle(t.path(), s, files);
    le::Identity id(le::loadManifest(t.path()));
    EXPECT_EQ(id.NT, 3);
    EXPECT_EQ(id.crop, 8);
    for (int i = 0; i < s.NT; ++i) {
      EXPECT_EQ(id.pooled64(i)[0], firstWord(i, 65536, 1));
      EXPECT_EQ(id.P(i)[0], firstWord(i, 192, 2));
      EXPECT_EQ(id.P(i)[191], static_cast<uint16_t>((2 + i * 192 + 191) & 0x7bff));
      EXPECT_EQ(id.fsRed(i)[0], firstWord(i, 262144, 3));
    }
    EXPECT_EQ(id.priorBackend(), "mmap P.f16");
    EXPECT_EQ(id.priorResidentBytes(), 0u);
    EXPECT_EQ(id.priorSeeks(), 0u);
    id.walkP(1);  // nothing to warm for a mapped prior
  }
}

TEST(Identity, TransformStaysBitIdenticalWhenStampIsTheCanvas) {
  TempDir t;
  BundleSpec s;
  writeBundle(t.path(), s);
  le::Identity id(le::loadManifest(t.path()));
  const std::vector<float> want = le::test::transformRows(s.NT);
  for (int i = 0; i < s.NT; ++i) EXPECT_EQ(std::memcmp(id.M(i), &want[i * 6], 24), 0) << i;
}

TEST(Identity, TransformRescaledFromTheStamp) {
  TempDir t;
  BundleSpec s;
  s.msrcW = 100;  // x by 0.64, y by 1.6
  s.msrcH = 30;
  writeBundle(t.path(), s);
  le::Identity id(le::loadManifest(t.path()));
  const std::vector<float> src = le::test::transformRows(s.NT);
  const double sx = 64.0 / 100.0, sy = 48.0 / 30.0;
  for (int i = 0; i < s.NT; ++i)
    for (int k = 0; k < 6; ++k)
      EXPECT_EQ(id.M(i)[k], static_cast<float>(src[i * 6 + k] * (k < 3 ? sx : sy))) << i << "," << k;
}

TEST(Identity, RescaleRefusesAMissingStamp) {
  le::Manifest m;
  m.W = 64;
  m.H = 48;
  m.msrcW = 64;
  m.msrcH = 0;
  std::vector<float> M(6, 1.0f);
  EXPECT_EQ(errorOf([&] { le::rescaleM(M, m); }),
            "le::Identity: manifest carries no paste-space stamp (M_src_w/M_src_h) — refusing to "
            "paste M without knowing the space it was authored in");
}

TEST(Identity, OnlyFeatureSynthLoadsWithoutAPrior) {
  TempDir t;
  IdentityFiles files;
  files.P = false;
  files.fsRed = true;
  writeBundle(t.path(), BundleSpec(), files);
  le::Identity id(le::loadManifest(t.path()));
  EXPECT_FALSE(id.hasMappedP());
  EXPECT_TRUE(id.priorPath().empty());
  EXPECT_EQ(id.priorBackend(), "none");
  EXPECT_EQ(id.priorResidentBytes(), 0u);
  id.walkP(0);
  EXPECT_EQ(id.fsRed(2)[0], firstWord(2, 262144, 3));
}

TEST(Identity, SizeMismatchesNameTheFile) {
  struct Case {
    const char* file;
    long delta;  // bytes added (+) or cut (-)
  };
  for (const Case c : {Case{"pooled64.f16", -1}, Case{"P.f16", 2 * 192}, Case{"fs_red.f16", -2},
                       Case{"M.f32", -4}, Case{"M.f32", 4}}) {
    TempDir t;
    IdentityFiles files;
    files.fsRed = true;
    writeBundle(t.path(), BundleSpec(), files);
    const std::string path = t / c.file;
    std::string bytes = le::test::readWhole(path);
    if (c.delta < 0)
      bytes.resize(bytes.size() - static_cast<size_t>(-c.delta));
    else
      bytes.append(static_cast<size_t>(c.delta), '\0');
    writeFile(path, bytes);
    const le::Manifest m = le::loadManifest(t.path());
    EXPECT_EQ(errorOf([&] { le::Identity id(m); }), "size mismatch " + path) << c.file;
  }
}

TEST(Identity, MissingRequiredMembersCannotOpen) {
  for (const char* file : {"pooled64.f16", "M.f32"}) {
    TempDir t;
    writeBundle(t.path(), BundleSpec());
    std::remove((t / file).c_str());
    const le::Manifest m = le::loadManifest(t.path());
    EXPECT_EQ(errorOf([&] { le::Identity id(m); }), "cannot open " + (t / file)) << file;
  }
}

TEST(Identity, FailedOpenLeavesNoDescriptorOrMapping) {
  TempDir t;
  IdentityFiles files;
  files.fsRed = true;
  writeBundle(t.path(), BundleSpec(), files);
  writeFile(t / "M.f32", "short");  // fails after all three arrays are mapped
  const le::Manifest m = le::loadManifest(t.path());
  const int fds = countEntries("/proc/self/fd");
  for (int i = 0; i < 20; ++i) EXPECT_THAT(errorOf([&] { le::Identity id(m); }), HasSubstr("size mismatch"));
  EXPECT_EQ(countEntries("/proc/self/fd"), fds);
  EXPECT_EQ(countMappingsOf(t.path()), 0);
}

TEST(Identity, RowOutsideTheArraysIsRefused) {
  TempDir t;
  writeBundle(t.path(), BundleSpec());
  le::Identity id(le::loadManifest(t.path()));
  EXPECT_THAT(errorOf([&] { id.pooled64(3); }), HasSubstr("row 3 outside [0,3)"));
  EXPECT_THAT(errorOf([&] { id.M(-1); }), HasSubstr("row -1 outside [0,3)"));
  EXPECT_THAT(errorOf([&] { id.P(3); }), HasSubstr("row 3 outside [0,3)"));
}

// ---- Warp-prior refusals -------------------------------------------------------------

class WarpPrior : public ::testing::Test {
 protected:
  void SetUp() override {
    IdentityFiles files;
    files.P = false;
    files.fsRed = false;
    writeBundle(t.path(), s, files);
  }
  void setManifestExtra(const std::string& extra) {
    s.extra = extra;
    writeFile(t / "manifest.json", le::test::manifestJson(s));
  }
  std::string refusal() {
    const le::Manifest m = le::loadManifest(t.path());
    return errorOf([&] { le::ensureIdentityMembers(m); });
  }
  TempDir t;
  BundleSpec s;
};

TEST_F(WarpPrior, NoPriorAtAll) {
  EXPECT_EQ(refusal(),
            "this bundle carries neither P.f16 nor fs_red.f16, and its manifest names no P_hevc "
            "member to play one from — the renderer has no warp prior and le::Identity would hand "
            "it a null pointer. REFUSING to create a session.");
  // The constructor runs the same check first.
  const le::Manifest m = le::loadManifest(t.path());
  EXPECT_THAT(errorOf([&] { le::Identity id(m); }), HasSubstr("REFUSING to create a session"));
}

TEST_F(WarpPrior, RawPriorUnderAnotherName) {
  writeFile(t / "P_raw.f16", "x");
  setManifestExtra("  \"P_rgb\": \"P_raw.f16\",\n");
  EXPECT_EQ(refusal(),
            "this bundle's manifest names its raw warp prior 'P_raw.f16' (P_rgb) but le::Identity "
            "maps the welded name P.f16 and would find nothing — it maps NOTHING silently and "
            "Identity::P(si) is then an offset from a null pointer. REFUSING rather than rendering "
            "off a prior nothing will read.");
  // With fs_red.f16 present the bundle has a prior after all.
  writeFile(t / "fs_red.f16", "x");
  EXPECT_EQ(refusal(), "(no error)");
}

TEST_F(WarpPrior, NamedRawPriorThatIsMissingNamesItInTheRefusal) {
  setManifestExtra("  \"P_rgb\": \"P_gone.f16\",\n");
  EXPECT_THAT(refusal(), HasSubstr("carries neither P_gone.f16 nor fs_red.f16"));
}

TEST_F(WarpPrior, HevcPriorThatIsNotThere) {
  setManifestExtra("  \"P_hevc\": \"prior.mov\",\n");
  EXPECT_EQ(refusal(), "this bundle's manifest names P_hevc 'prior.mov' and the file is not there (" +
                           (t / "prior.mov") +
                           ") — the renderer has no warp prior. REFUSING to create a session.");
  writeFile(t / "prior.mov", "x");
  EXPECT_EQ(refusal(), "(no error)");
}

TEST_F(WarpPrior, HevcPriorUnderTheManifestLayoutName) {
  setManifestExtra("  \"P_hevc\": \"P_hevc.mov\",\n");
  writeFile(t / "source_frames.hevc", "x");
  EXPECT_EQ(refusal(), "(no error)");
  // Identity records the resolved file as its prior without opening it.
  le::Identity id(le::loadManifest(t.path()));
  EXPECT_EQ(id.priorPath(), t / "source_frames.hevc");
  EXPECT_EQ(id.priorSeeks(), 0u);
  EXPECT_EQ(id.priorResidentBytes(), 0u);
}

TEST_F(WarpPrior, ManifestLayoutPriorCounts) {
  writeFile(t / "source_frames.f16", le::test::halfWords(3 * 192, 2));
  EXPECT_EQ(refusal(), "(no error)");
  le::Identity id(le::loadManifest(t.path()));
  EXPECT_EQ(id.priorBackend(), "mmap P.f16");
}

// ---- Drive track -------------------------------------------------------------------------

TEST(Drive, LoadsUnderBothLayouts) {
  for (bool layout : {false, true}) {
    TempDir t;
    BundleSpec s;
    s.frames = 5;
    IdentityFiles files;
    files.manifestLayout = layout;
    writeBundle(t.path(), s, files);
    const le::Drive d = le::loadDrive(le::loadManifest(t.path()));
    EXPECT_EQ(d.frames, 5);
    ASSERT_EQ(d.xs.size(), 5u * 63);
    ASSERT_EQ(d.xd.size(), 5u * 63);
    EXPECT_EQ(d.si, (std::vector<int32_t>{0, 1, 2, 0, 1}));
    EXPECT_FLOAT_EQ(d.xs[4 * 63 + 2], 4.02f);
    EXPECT_FLOAT_EQ(d.xd[63], -1.0f);
  }
}

TEST(Drive, SourceIndexOutOfRange) {
  for (int32_t bad : {3, -1}) {  // NT is 3
    TempDir t;
    writeBundle(t.path(), BundleSpec());
    const std::vector<int32_t> si = {0, 1, bad, 2};
    writeFile(t / "drive/si.i32", le::test::bytesOf(si));
    const le::Manifest m = le::loadManifest(t.path());
    EXPECT_EQ(errorOf([&] { le::loadDrive(m); }), "drive: si out of range") << bad;
  }
}

TEST(Drive, SizesMustMatchTheDeclaredFrames) {
  TempDir t;
  writeBundle(t.path(), BundleSpec());
  writeFile(t / "drive/si.i32", std::string(4 * 4 + 4, '\0'));
  const le::Manifest m = le::loadManifest(t.path());
  EXPECT_EQ(errorOf([&] { le::loadDrive(m); }), "size mismatch " + (t / "drive/si.i32"));

  // An absurd frame count is a size mismatch, not an allocation.
  BundleSpec huge;
  huge.frames = 2000000000;
  writeFile(t / "manifest.json", le::test::manifestJson(huge));
  EXPECT_EQ(errorOf([&] { le::loadDrive(le::loadManifest(t.path())); }),
            "size mismatch " + (t / "drive/xs.f32"));
}

TEST(Manifest, ModelPathUnderBothLayouts) {
  TempDir t;
  writeBundle(t.path(), BundleSpec());
  const le::Manifest m = le::loadManifest(t.path());
  EXPECT_EQ(m.modelPath("b4_fp16"), t / "model_b4_fp16.onnx");
  writeFile(t / "render_model.batch4.fp16.onnx", "x");
  EXPECT_EQ(m.modelPath("b4_fp16"), t / "render_model.batch4.fp16.onnx");
  writeFile(t / "model_b4_fp16.onnx", "x");
  EXPECT_EQ(m.modelPath("b4_fp16"), t / "model_b4_fp16.onnx");
}

TEST(HalfFloat, ArrayConversionIsExactForEveryValue) {
  std::vector<uint16_t> all(65536);
  for (size_t h = 0; h < all.size(); ++h) all[h] = static_cast<uint16_t>(h);
  std::vector<float> out(all.size() + 1, 7.0f);
  le::halfToFloat(all.data(), out.data(), all.size());
  EXPECT_EQ(out[0x3C00], 1.0f);
  EXPECT_EQ(out[0xC000], -2.0f);
  EXPECT_EQ(out[0x0001], std::ldexp(1.0f, -24));  // smallest subnormal
  EXPECT_EQ(out[0x7BFF], 65504.0f);
  EXPECT_TRUE(std::isinf(out[0x7C00]) && out[0x7C00] > 0);
  EXPECT_TRUE(std::signbit(out[0x8000]) && out[0x8000] == 0.0f);
  EXPECT_TRUE(std::isnan(out[0x7E00]));
  // Every number narrows back to the same half; every NaN stays a NaN of its sign.
  int mismatched = 0;
  for (size_t h = 0; h < all.size(); ++h) {
    const bool nan = (h & 0x7C00) == 0x7C00 && (h & 0x03FF) != 0;
    if (nan)
      mismatched += !std::isnan(out[h]) || std::signbit(out[h]) != ((h & 0x8000) != 0);
    else
      mismatched += le::f32ToF16(out[h]) != all[h];
  }
  EXPECT_EQ(mismatched, 0);
  EXPECT_EQ(out[all.size()], 7.0f);  // nothing written past count
}
