// Choosing a bundle's driver and prior members, and cursors over real media.
#include <string>
#include <vector>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "bundle/le_bundle.h"
#include "driver/le_driver.h"
#include "driver/le_moviedec_ff.h"
#include "media.h"
#include "support/bundle_writer.h"

using le::test::BundleSpec;
using le::test::errorOf;
using le::test::expectedRgb420;
using le::test::media;
using le::test::ownLines;
using le::test::Pattern;
using le::test::ScopedEnv;
using le::test::StderrCapture;
using le::test::TempDir;
using ::testing::HasSubstr;
using ::testing::StartsWith;

namespace {

const std::string kMp4Backend = "mp4/libavcodec " + le::movieDecoderVersion() + " h264";
const std::string kPriorBackend = "hevc444/libavcodec " + le::movieDecoderVersion() + " hevc";

void copyFile(const std::string& from, const std::string& to) {
  le::test::writeFile(to, le::test::readWhole(from));
}

void copyJpgFrames(const std::string& dir, int frames) {
  char name[32];
  for (int f = 0; f < frames; ++f) {
    std::snprintf(name, sizeof name, "/frame_%06d.jpg", f);
    copyFile(media("jpg") + name, dir + name);
  }
}

// A bundle for driver tests: manifest and the given extra keys.
struct DriverBundle {
  explicit DriverBundle(int NT, int W, int H, const std::string& extra = "") {
    layout.NT = NT;
    layout.W = W;
    layout.H = H;
    layout.crop = 32;
    layout.extra = extra;
    le::test::writeFile(t / "manifest.json", le::test::manifestJson(layout));
  }
  le::Manifest manifest() const { return le::loadManifest(t.path()); }
  TempDir t;
  BundleSpec layout;
};

}  // namespace

TEST(DriverOpen, JpegDirectoryWhenPopulated) {
  DriverBundle b(10, 64, 48);
  copyJpgFrames(b.t / "target_frames", 10);
  copyFile(media("h264_lossless.mp4"), b.t / "target_frames.mp4");  // there, but second choice
  StderrCapture err;
  auto c = le::DriverCursor::open(b.manifest(), 3, 2);
  EXPECT_EQ(ownLines(err.text(), false),
            "[le-driver] target_frames/ (raw jpg, 10 frames) — read one frame per pull\n");
  EXPECT_EQ(c->backend, "jpg/stb");
  std::vector<uint8_t> got(c->frameBytes);
  for (int n = 0; n < 12; ++n) {
    const int f = c->pull(got.data());
    EXPECT_EQ(f, n % 10);
    const std::vector<uint8_t> want = expectedRgb420(Pattern::Smooth, f, 64, 48);
    EXPECT_LT(le::test::meanAbsDiff(got.data(), want.data(), got.size()), 4.0) << n;
  }
}

TEST(DriverOpen, MovieWhenTheDirectoryIsIncomplete) {
  DriverBundle b(30, 64, 48);
  copyJpgFrames(b.t / "target_frames", 10);  // frame 29 missing: not populated
  copyFile(media("h264_lossless.mp4"), b.t / "target_frames.mp4");
  StderrCapture err;
  auto c = le::DriverCursor::open(b.manifest(), 4, 2);
  EXPECT_EQ(ownLines(err.text(), false),
            "[le-driver] target_frames.mp4 decoded IN PLACE (" + kMp4Backend +
                ", 30 frames 64x48, look-ahead 4, history 2) — no frame of the driver is expanded "
                "ahead of the paste\n");
  EXPECT_EQ(c->backend, kMp4Backend);
  EXPECT_EQ(c->NT, 30);
  EXPECT_EQ(c->W, 64);
  EXPECT_EQ(c->H, 48);
  // The line reports the ring the cursor keeps, not the raw request.
  StderrCapture raised;
  le::DriverCursor::open(b.manifest(), 0, -3);
  EXPECT_THAT(raised.text(), HasSubstr("30 frames 64x48, look-ahead 1, history 0) — no frame"));
}

TEST(DriverOpen, PreferMp4OnlyWhenExactlyOneAndPresent) {
  DriverBundle b(10, 64, 48);
  copyJpgFrames(b.t / "target_frames", 10);
  {
    // No movie member: the directory is still used.
    ScopedEnv prefer("LE_DRIVER_PREFER_MP4", "1");
    EXPECT_EQ(le::DriverCursor::open(b.manifest(), 2, 1)->backend, "jpg/stb");
  }
  copyFile(media("h264_nocount.mkv"), b.t / "target_frames.mp4");  // no count: NT 10 opens
  {
    ScopedEnv prefer("LE_DRIVER_PREFER_MP4", "true");
    EXPECT_EQ(le::DriverCursor::open(b.manifest(), 2, 1)->backend, "jpg/stb");
  }
  ScopedEnv prefer("LE_DRIVER_PREFER_MP4", "1");
  StderrCapture err;
  auto c = le::DriverCursor::open(b.manifest(), 2, 1);
  EXPECT_EQ(ownLines(err.text(), false),
            "[le-driver] LE_DRIVER_PREFER_MP4=1 — target_frames/ is populated and NOT used; "
            "target_frames.mp4 is the member this consumer reads\n"
            "[le-driver] target_frames.mp4 decoded IN PLACE (" +
                kMp4Backend +
                ", 10 frames 64x48, look-ahead 2, history 1) — no frame of the driver is expanded "
                "ahead of the paste\n");
  EXPECT_EQ(c->backend, kMp4Backend);
}

TEST(DriverOpen, ManifestRenamesTheMembers) {
  DriverBundle b(10, 64, 48, "  \"target_frames\": \"frames\", \"target_frames_mp4\": \"clip.mkv\",\n");
  copyJpgFrames(b.t / "target_frames", 10);  // the default name is not looked at
  copyFile(media("h264_nocount.mkv"), b.t / "clip.mkv");
  EXPECT_EQ(le::DriverCursor::open(b.manifest(), 2, 1)->backend, kMp4Backend);
  copyJpgFrames(b.t / "frames", 10);
  EXPECT_EQ(le::DriverCursor::open(b.manifest(), 2, 1)->backend, "jpg/stb");
}

TEST(DriverOpen, RefusedWithoutAnyDriverVideo) {
  DriverBundle b(10, 64, 48);
  EXPECT_EQ(errorOf([&] { le::DriverCursor::open(b.manifest(), 2, 1); }),
            "this bundle carries neither a populated target_frames/ nor target_frames.mp4 (" +
                (b.t / "target_frames.mp4") +
                ") — there is no driver video to play. REFUSING to create a session.");
}

TEST(DriverOpen, MovieThatDisagreesIsRefusedAtOpen) {
  DriverBundle b(29, 64, 48);
  copyFile(media("h264_lossless.mp4"), b.t / "target_frames.mp4");
  EXPECT_THAT(errorOf([&] { le::DriverCursor::open(b.manifest(), 2, 1); }),
              HasSubstr("carries 30 frames, the manifest says NT=29"));
}

TEST(DriverOpen, ShortMovieFailsOnTheCursor) {
  DriverBundle b(30, 64, 48);
  copyFile(media("h264_short.mkv"), b.t / "target_frames.mp4");
  auto c = le::DriverCursor::open(b.manifest(), 3, 1);
  const std::string want = "le_driver: " + kMp4Backend +
                           " ended after 20 frames, the manifest says NT=30 — a short driver is a "
                           "session that stops part way through the loop, refusing";
  std::vector<uint8_t> got(c->frameBytes);
  std::string error;
  int served = 0;
  for (; served < 40; ++served) {
    error = errorOf([&] { c->pull(got.data()); });
    if (error != "(no error)") break;
  }
  EXPECT_EQ(error, want);
  EXPECT_LE(served, 20);
  EXPECT_EQ(errorOf([&] { c->pullAt(3, got.data()); }), want);
}

TEST(MovieCursor, ServesExactFramesAcrossLoopsHistoryAndSeeks) {
  DriverBundle b(30, 64, 48);
  copyFile(media("h264_lossless.mp4"), b.t / "target_frames.mp4");
  auto c = le::DriverCursor::open(b.manifest(), 4, 3);
  std::vector<uint8_t> got(c->frameBytes);
  for (int n = 0; n < 65; ++n) {
    ASSERT_EQ(c->pull(got.data()), n % 30);
    ASSERT_EQ(got, expectedRgb420(Pattern::Sharp, n % 30, 64, 48)) << n;
  }
  EXPECT_EQ(c->seeks(), 0u);
  for (int f : {2, 4, 1}) {  // history
    int idx = -1;
    const uint8_t* p = c->pullAt(f, &idx);
    ASSERT_EQ(idx, f);
    ASSERT_EQ(std::vector<uint8_t>(p, p + c->frameBytes), expectedRgb420(Pattern::Sharp, f, 64, 48));
  }
  EXPECT_EQ(c->seeks(), 0u);
  // Outside the ring: the source seeks, exactly. Frames decoded before a seek
  // stay servable until overwritten, so each target lies away from every
  // frame the ring could still hold, however far the thread got.
  for (int f : {20, 12, 29, 9}) {
    ASSERT_EQ(c->pullAt(f, got.data()), f);
    ASSERT_EQ(got, expectedRgb420(Pattern::Sharp, f, 64, 48)) << f;
  }
  EXPECT_EQ(c->seeks(), 4u);
  EXPECT_GT(c->residentBytes(), c->frameBytes * 8);
}

TEST(MovieCursor, NoThreadOrDescriptorOutlivesTheCursor) {
  DriverBundle b(30, 64, 48);
  copyFile(media("h264_lossless.mp4"), b.t / "target_frames.mp4");
  const le::Manifest m = b.manifest();
  { le::DriverCursor::open(m, 2, 1)->pullAt(5, static_cast<int*>(nullptr)); }  // warm up
  const int fds = le::test::openDescriptors();
  const int threads = le::test::liveThreadsQuiet();
  for (int i = 0; i < 5; ++i) {
    auto c = le::DriverCursor::open(m, 2, 1);
    std::vector<uint8_t> got(c->frameBytes);
    c->pullAt(25, got.data());
  }
  DriverBundle bad(30, 64, 40);  // wrong size: refused at open
  copyFile(media("h264_lossless.mp4"), bad.t / "target_frames.mp4");
  for (int i = 0; i < 5; ++i) EXPECT_NE(errorOf([&] { le::DriverCursor::open(bad.manifest(), 2, 1); }), "(no error)");
  EXPECT_EQ(le::test::openDescriptors(), fds);
  EXPECT_EQ(le::test::liveThreadsSettled(threads), threads);
}

// ---- The prior member -----------------------------------------------------------------

TEST(PriorOpen, PlaysTheHevcMemberUnderEitherName) {
  for (const char* stored : {"P_hevc.mov", "source_frames.hevc"}) {
    DriverBundle b(12, 64, 48);
    copyFile(media("prior444.mov"), b.t / stored);
    StderrCapture err;
    auto c = le::DriverCursor::openPrior(b.manifest(), 2, 11);
    EXPECT_EQ(ownLines(err.text(), false),
              "[le-prior] P_hevc.mov decoded IN PLACE (" + kPriorBackend +
                  ", 12 frames 32x32 f16 CHW, look-ahead 2, history 11) — no P.f16 is expanded or "
                  "mapped\n")
        << stored;
    EXPECT_EQ(c->frameBytes, 32u * 32 * 6);
    int idx = -1;
    for (int f : {5, 6, 0, 11}) {
      const uint8_t* p = c->pullAt(f, &idx);
      const std::vector<uint16_t> want = le::test::expectedPrior(f);
      EXPECT_EQ(std::memcmp(p, want.data(), c->frameBytes), 0) << stored << " " << f;
    }
  }
}

TEST(PriorOpen, ManifestNamesThePrior) {
  DriverBundle b(12, 64, 48, "  \"P_hevc\": \"warp/prior.mov\",\n");
  copyFile(media("prior444.mov"), b.t / "warp/prior.mov");
  StderrCapture err;
  EXPECT_EQ(le::DriverCursor::openPrior(b.manifest(), -1, -5)->backend, kPriorBackend);
  EXPECT_EQ(ownLines(err.text(), false),
            "[le-prior] warp/prior.mov decoded IN PLACE (" + kPriorBackend +
                ", 12 frames 32x32 f16 CHW, look-ahead 1, history 0) — no P.f16 is expanded or "
                "mapped\n");
}

TEST(PriorOpen, RefusedWhenMissingOrMismatched) {
  DriverBundle b(12, 64, 48);
  EXPECT_EQ(errorOf([&] { le::DriverCursor::openPrior(b.manifest(), 2, 11); }),
            "this bundle carries neither a raw P.f16 nor P_hevc.mov (" + (b.t / "P_hevc.mov") +
                ") — there is no warp prior to play. REFUSING to create a session.");
  copyFile(media("prior444.mov"), b.t / "P_hevc.mov");
  DriverBundle wrongCrop(12, 64, 48);
  wrongCrop.layout.crop = 64;
  le::test::writeFile(wrongCrop.t / "manifest.json", le::test::manifestJson(wrongCrop.layout));
  copyFile(media("prior444.mov"), wrongCrop.t / "P_hevc.mov");
  EXPECT_THAT(errorOf([&] { le::DriverCursor::openPrior(wrongCrop.manifest(), 2, 11); }),
              HasSubstr("is 32x32, the manifest says 64x64"));
  DriverBundle subsampled(12, 64, 48);
  copyFile(media("prior420.mov"), subsampled.t / "P_hevc.mov");
  auto c = le::DriverCursor::openPrior(subsampled.manifest(), 2, 11);
  std::vector<uint8_t> row(c->frameBytes);
  EXPECT_THAT(errorOf([&] { c->pullAt(0, row.data()); }),
              StartsWith("le_driver: " + (subsampled.t / "P_hevc.mov") + " decoded to yuv420p"));
}
