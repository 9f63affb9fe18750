// Frame sources over real media: exact pixels, exact seeks, refusals of
// members that disagree with the manifest, and no leaks on failure.
#include <cstring>
#include <string>
#include <vector>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

extern "C" {
#include <libavcodec/avcodec.h>
}

#include "core/le_image.h"
#include "driver/le_driver.h"
#include "driver/le_driver_ff.h"
#include "driver/le_moviedec_ff.h"
#include "media.h"

using le::test::errorOf;
using le::test::expectedRgb420;
using le::test::media;
using le::test::ownLines;
using le::test::Pattern;
using le::test::ScopedEnv;
using le::test::StderrCapture;
using ::testing::HasSubstr;
using ::testing::StartsWith;

namespace {

const std::string kVersion = le::movieDecoderVersion();

// The line a refused hardware decoder leaves, when this FFmpeg has one.
std::string hwFallbackLine(const std::string& path) {
  if (!avcodec_find_decoder_by_name("h264_cuvid")) return "";
  return "[le-driver] h264_cuvid refused " + path +
         " — falling back to the software h264 decoder (same samples, more CPU)\n";
}

// Decodes every frame and compares it exactly with the pattern's RGB.
void expectExactMovie(le::driver::Source& s, Pattern pat, int frames) {
  std::vector<uint8_t> got(s.frameBytes());
  for (int f = 0; f < frames; ++f) {
    ASSERT_TRUE(s.next(got.data())) << "frame " << f;
    const std::vector<uint8_t> want = expectedRgb420(pat, f, s.W(), s.H());
    ASSERT_EQ(got, want) << "frame " << f;
  }
  for (int k = 0; k < 3; ++k) EXPECT_FALSE(s.next(got.data()));  // and stays at the end
}

}  // namespace

TEST(MovieSource, LosslessH264DecodesExactly) {
  const std::string path = media("h264_lossless.mp4");
  ScopedEnv hw("LE_DRIVER_HWDEC", nullptr);
  StderrCapture err;
  auto s = le::driver::openMp4(path, 30, 64, 48);
  const std::string log = err.text();
  if (s->name().find("cuvid") != std::string::npos) GTEST_SKIP() << "a hardware decoder opened";
  // The whole of stderr: the refused attempt is our one line, none of FFmpeg's.
  EXPECT_EQ(log, hwFallbackLine(path));
  EXPECT_EQ(s->name(), "mp4/libavcodec " + kVersion + " h264");
  EXPECT_EQ(s->NT(), 30);
  EXPECT_EQ(s->frameBytes(), 64u * 48 * 3);
  // Decoded picture 64 x 48 x 3 / 2 times (4 frame threads + 5), nothing read yet.
  EXPECT_EQ(s->residentBytes(), 4608u * 9);
  expectExactMovie(*s, Pattern::Sharp, 30);
  const size_t packetPart = s->residentBytes() - 4608u * 9;
  EXPECT_GT(packetPart, 0u);
  EXPECT_LT(packetPart, 68634u);
}

TEST(MovieSource, OddSizesConvertTheLastRowFromItsChromaRow) {
  // 63 x 37: the last luma row takes chroma row (37 - 1) / 2 = 18.
  auto s = le::driver::openMp4(media("ffv1_odd.mkv"), 12, 63, 37);
  EXPECT_EQ(s->name(), "mp4/libavcodec " + kVersion + " ffv1");
  expectExactMovie(*s, Pattern::Sharp, 12);
}

TEST(MovieSource, InterleavedChromaConvertsLikePlanar) {
  auto s = le::driver::openMp4(media("nv12.nut"), 10, 64, 48);
  expectExactMovie(*s, Pattern::Sharp, 10);
}

TEST(MovieSource, LossyH264MatchesTheReferenceDecode) {
  const int W = 96, H = 64, N = 30;
  auto s = le::driver::openMp4(media("h264_lossy.mp4"), N, W, H);
  // The ffmpeg CLI's own decode to yuv420p, converted by the formula, must
  // match exactly; the encoded pattern only within the codec's loss.
  const std::string yuv = le::test::readWhole(media("h264_lossy.yuv"));
  const size_t picture = static_cast<size_t>(W) * H * 3 / 2;
  ASSERT_EQ(yuv.size(), picture * N);
  auto reference = [&](int f) {
    const auto* Y = reinterpret_cast<const uint8_t*>(yuv.data()) + picture * f;
    const uint8_t* U = Y + W * H;
    const uint8_t* V = U + (W / 2) * (H / 2);
    std::vector<uint8_t> want(s->frameBytes());
    for (int y = 0; y < H; ++y)
      for (int x = 0; x < W; ++x)
        le::test::bt601Rgb8(Y[y * W + x], U[(y / 2) * (W / 2) + x / 2], V[(y / 2) * (W / 2) + x / 2],
                            &want[(static_cast<size_t>(y) * W + x) * 3]);
    return want;
  };
  std::vector<uint8_t> got(s->frameBytes());
  for (int f = 0; f < N; ++f) {
    ASSERT_TRUE(s->next(got.data()));
    ASSERT_EQ(got, reference(f)) << "frame " << f;
    const std::vector<uint8_t> pattern = expectedRgb420(Pattern::Smooth, f, W, H);
    EXPECT_LT(le::test::meanAbsDiff(got.data(), pattern.data(), got.size()), 2.0) << f;
  }
  // Seeks land on the exact frame across B-frame reordering, backwards too.
  for (int target : {13, 5, 29, 0}) {
    s->seek(target);
    ASSERT_TRUE(s->next(got.data()));
    ASSERT_EQ(got, reference(target)) << "seek " << target;
  }
}

TEST(MovieSource, SeeksAreExactInBothDirections) {
  auto s = le::driver::openMp4(media("h264_lossless.mp4"), 30, 64, 48);
  std::vector<uint8_t> got(s->frameBytes());
  for (int target : {17, 3, 3, 29, 0, 12, 11}) {
    s->seek(target);
    ASSERT_TRUE(s->next(got.data()));
    ASSERT_EQ(got, expectedRgb420(Pattern::Sharp, target, 64, 48)) << "seek " << target;
  }
  s->seek(29);
  ASSERT_TRUE(s->next(got.data()));
  EXPECT_FALSE(s->next(got.data()));
  s->rewind();
  ASSERT_TRUE(s->next(got.data()));
  EXPECT_EQ(got, expectedRgb420(Pattern::Sharp, 0, 64, 48));
  EXPECT_EQ(errorOf([&] { s->seek(30); }), "le_driver: seek outside the member");
  EXPECT_EQ(errorOf([&] { s->seek(-1); }), "le_driver: seek outside the member");
}

TEST(MovieSource, SeekPastTheEndOfAnUncountedMember) {
  // Matroska declares no count, so a manifest NT larger than the member
  // opens; seeking beyond the member's end says where it ended.
  const std::string path = media("h264_short.mkv");
  auto s = le::driver::openMp4(path, 30, 64, 48);
  EXPECT_EQ(errorOf([&] { s->seek(25); }),
            "le_driver: " + path + " ended at frame 20 while seeking to 25");
}

TEST(MovieSource, MembersThatDisagreeWithTheManifestAreRefused) {
  const std::string mp4 = media("h264_lossless.mp4");
  EXPECT_EQ(errorOf([&] { le::driver::openMp4(mp4, 29, 64, 48); }),
            "le_driver: " + mp4 +
                " carries 30 frames, the manifest says NT=29 — member/manifest mismatch, refusing");
  EXPECT_EQ(errorOf([&] { le::driver::openMp4(mp4, 30, 66, 48); }),
            "le_driver: " + mp4 +
                " is 64x48, the manifest says 66x48 — refusing to rescale the driver");
  // Without a declared count any NT opens.
  EXPECT_EQ(errorOf([&] { le::driver::openMp4(media("h264_nocount.mkv"), 99, 64, 48); }),
            "(no error)");

  const std::string wav = media("audio_only.wav");
  EXPECT_EQ(errorOf([&] { le::driver::openMp4(wav, 1, 64, 48); }),
            "le_driver: " + wav + " has no video stream");
  const std::string jpg = media("wrong_size.jpg");  // a JPEG opens as a one-frame movie
  EXPECT_EQ(errorOf([&] { le::driver::openMp4(jpg, 1, 64, 48); }),
            "le_driver: " + jpg + " is 32x32, the manifest says 64x48 — refusing to rescale the driver");
  le::test::TempDir t;
  le::test::writeFile(t / "notes.txt", "not a movie at all\n");
  for (const std::string& bad : {t / "notes.txt", t / "missing.mp4"})
    EXPECT_EQ(errorOf([&] { le::driver::openMp4(bad, 1, 64, 48); }),
              "le_driver: " + bad + " is not a readable container");
}

TEST(MovieSource, NonYuv420PicturesAreRefusedAtDecode) {
  const std::string path = media("prior444.mov");
  auto s = le::driver::openMp4(path, 12, 32, 32);
  std::vector<uint8_t> got(s->frameBytes());
  EXPECT_EQ(errorOf([&] { s->next(got.data()); }),
            "le_driver: " + path +
                " decoded to yuv444p, not the 4:2:0 layout the canvas conversion is written for "
                "(yuv420p / nv12) — refusing rather than pasting onto a different pixel domain");
  // Frames skipped by a seek are checked too.
  auto t = le::driver::openMp4(path, 12, 32, 32);
  EXPECT_THAT(errorOf([&] { t->seek(4); }), HasSubstr("decoded to yuv444p"));
}

TEST(PriorSource, FixedPointConversionIsExact) {
  const std::string path = media("prior444.mov");
  ScopedEnv hw("LE_DRIVER_HWDEC", nullptr);
  StderrCapture err;
  auto s = le::driver::openPriorHevc(path, 12, 32);
  EXPECT_EQ(ownLines(err.text()), "");  // the hardware attempt is for H.264 movies only
  EXPECT_EQ(s->name(), "hevc444/libavcodec " + kVersion + " hevc");
  EXPECT_EQ(s->frameBytes(), 32u * 32 * 3 * 2);
  EXPECT_EQ(s->residentBytes(), 32u * 32 * 3 * 9);
  std::vector<uint8_t> got(s->frameBytes());
  int patternFrames = 0;
  for (int f = 0; f < 12; ++f) {
    ASSERT_TRUE(s->next(got.data()));
    const std::vector<uint16_t> want = le::test::expectedPrior(f);
    ASSERT_EQ(std::memcmp(got.data(), want.data(), got.size()), 0) << "frame " << f;
    const std::vector<uint16_t> encoded = le::test::patternPrior(f);
    patternFrames += std::memcmp(got.data(), encoded.data(), got.size()) == 0;
  }
  // The encode is lossless on almost every frame of the sweep.
  EXPECT_GE(patternFrames, 9);
  EXPECT_FALSE(s->next(got.data()));
  // Y = 16 is black and Y = 235 white (U = V = 128), in every plane.
  s->seek(0);
  ASSERT_TRUE(s->next(got.data()));
  uint16_t h[2];
  for (int c = 0; c < 3; ++c) {
    std::memcpy(h, got.data() + c * 32 * 32 * 2, 4);
    EXPECT_EQ(h[0], 0x0000) << c;
    EXPECT_EQ(h[1], 0x3C00) << c;
  }
}

TEST(PriorSource, SeeksAreExact) {
  auto s = le::driver::openPriorHevc(media("prior444.mov"), 12, 32);
  std::vector<uint8_t> got(s->frameBytes());
  for (int target : {9, 2, 11, 0}) {
    s->seek(target);
    ASSERT_TRUE(s->next(got.data()));
    const std::vector<uint16_t> want = le::test::expectedPrior(target);
    ASSERT_EQ(std::memcmp(got.data(), want.data(), got.size()), 0) << "seek " << target;
  }
}

TEST(PriorSource, SubsampledPriorIsRefused) {
  const std::string path = media("prior420.mov");
  auto s = le::driver::openPriorHevc(path, 12, 32);
  std::vector<uint8_t> got(s->frameBytes());
  EXPECT_EQ(errorOf([&] { s->next(got.data()); }),
            "le_driver: " + path +
                " decoded to yuv420p, not the yuv444p a warp prior is authored in — a subsampled "
                "prior is a different mouth, refusing");
  EXPECT_THAT(errorOf([&] { le::driver::openPriorHevc(path, 12, 64); }),
              HasSubstr(" is 32x32, the manifest says 64x64 — refusing to rescale the driver"));
}

TEST(HardwareDecoder, SwitchedOffForEitherKind) {
  const std::string line =
      "[le-driver] LE_DRIVER_HWDEC=0 — h264_cuvid not attempted; the software decoder is the one "
      "decoder on this fleet (same samples)\n";
  ScopedEnv hw("LE_DRIVER_HWDEC", "0");
  for (const std::string& path : {media("h264_lossless.mp4"), media("prior444.mov")}) {
    StderrCapture err;
    if (path.find("prior") != std::string::npos)
      le::driver::openPriorHevc(path, 12, 32);
    else
      EXPECT_EQ(le::driver::openMp4(path, 30, 64, 48)->name(), "mp4/libavcodec " + kVersion + " h264");
    EXPECT_EQ(ownLines(err.text()), line) << path;
  }
}

TEST(HardwareDecoder, OnlyExactlyZeroSwitchesItOff) {
  const std::string path = media("h264_lossless.mp4");
  for (const char* value : {"00", ""}) {
    ScopedEnv hw("LE_DRIVER_HWDEC", value);
    StderrCapture err;
    auto s = le::driver::openMp4(path, 30, 64, 48);
    if (s->name().find("cuvid") != std::string::npos) continue;
    EXPECT_EQ(ownLines(err.text()), hwFallbackLine(path)) << "'" << value << "'";
  }
}

TEST(JpgDirSource, DecodesNumberedFramesWithinJpegLoss) {
  auto s = le::driver::openJpgDir(media("jpg"), 10, 64, 48);
  EXPECT_EQ(s->name(), "jpg/stb");
  EXPECT_EQ(s->residentBytes(), 0u);
  EXPECT_EQ(s->frameBytes(), 64u * 48 * 3);
  std::vector<uint8_t> got(s->frameBytes());
  std::vector<std::vector<uint8_t>> pattern;
  for (int f = 0; f < 10; ++f) pattern.push_back(expectedRgb420(Pattern::Smooth, f, 64, 48));
  for (int f = 0; f < 10; ++f) {
    ASSERT_TRUE(s->next(got.data()));
    // Each frame is nearest to its own pattern frame: delivered in order.
    int best = -1;
    double bestDiff = 1e9;
    for (int g = 0; g < 10; ++g) {
      const double d = le::test::meanAbsDiff(got.data(), pattern[g].data(), got.size());
      if (d < bestDiff) bestDiff = d, best = g;
    }
    EXPECT_EQ(best, f);
    EXPECT_LT(bestDiff, 4.0) << f;
  }
  EXPECT_FALSE(s->next(got.data()));
  EXPECT_FALSE(s->next(got.data()));
  s->seek(7);
  ASSERT_TRUE(s->next(got.data()));
  EXPECT_LT(le::test::meanAbsDiff(got.data(), pattern[7].data(), got.size()), 4.0);
}

TEST(JpgDirSource, RefusalsNameTheFile) {
  le::test::TempDir t;
  // Seeking touches no file, so an empty directory seeks fine.
  auto s = le::driver::openJpgDir(t.path(), 3, 64, 48);
  s->seek(2);
  EXPECT_EQ(errorOf([&] { s->seek(3); }), "le_driver: seek outside the member");
  EXPECT_EQ(errorOf([&] { s->seek(-1); }), "le_driver: seek outside the member");
  std::vector<uint8_t> got(s->frameBytes());
  EXPECT_EQ(errorOf([&] { s->next(got.data()); }), "decode failed: " + (t / "frame_000002.jpg"));
  le::test::writeFile(t / "frame_000000.jpg", le::test::readWhole(media("wrong_size.jpg")));
  s->rewind();
  EXPECT_EQ(errorOf([&] { s->next(got.data()); }),
            "le_driver: " + (t / "frame_000000.jpg") + " is 32x32, the manifest says 64x48 — refusing");
}

TEST(Sources, FailedOpensLeakNothing) {
  const std::string mp4 = media("h264_lossless.mp4");
  const std::string wav = media("audio_only.wav");
  // Warm up whatever FFmpeg keeps for the process.
  le::driver::openMp4(mp4, 30, 64, 48);
  const int fds = le::test::openDescriptors();
  const int threads = le::test::liveThreadsQuiet();
  for (int i = 0; i < 10; ++i) {
    EXPECT_NE(errorOf([&] { le::driver::openMp4(mp4, 29, 64, 48); }), "(no error)");
    EXPECT_NE(errorOf([&] { le::driver::openMp4(mp4, 30, 64, 40); }), "(no error)");
    EXPECT_NE(errorOf([&] { le::driver::openMp4(wav, 1, 64, 48); }), "(no error)");
    EXPECT_NE(errorOf([&] { le::driver::openPriorHevc(media("prior444.mov"), 12, 16); }), "(no error)");
    auto s = le::driver::openMp4(mp4, 30, 64, 48);
    std::vector<uint8_t> got(s->frameBytes());
    s->next(got.data());
  }
  EXPECT_EQ(le::test::openDescriptors(), fds);
  EXPECT_EQ(le::test::liveThreadsSettled(threads), threads);
}

TEST(MovieDecoderBuild, NamesTheBuildVersion) {
  EXPECT_THAT(le::movieDecoderBuild(), StartsWith("libavcodec " + kVersion + " / "));
  EXPECT_EQ(kVersion, std::to_string(LIBAVCODEC_VERSION_MAJOR) + "." +
                          std::to_string(LIBAVCODEC_VERSION_MINOR) + "." +
                          std::to_string(LIBAVCODEC_VERSION_MICRO));
}

TEST(JpgDirSource, DirectoryNamesLongerThanAnyFixedBuffer) {
  le::test::TempDir t;
  std::string dir = t.path();
  while (dir.size() < 1200) dir += "/" + std::string(100, 'd');
  le::test::writeFile(le::driver::jpgFrameName(dir, 0), le::test::readWhole(media("jpg/frame_000000.jpg")));
  EXPECT_EQ(le::driver::jpgFrameName(dir, 0), dir + "/frame_000000.jpg");
  auto s = le::driver::openJpgDir(dir, 1, 64, 48);
  std::vector<uint8_t> got(s->frameBytes());
  EXPECT_TRUE(s->next(got.data()));
}

TEST(ImageFiles, FailuresNameThePath) {
  le::test::TempDir t;
  EXPECT_EQ(errorOf([&] { le::loadImageRGB(t / "absent.jpg"); }), "decode failed: " + (t / "absent.jpg"));
  le::test::writeFile(t / "not_an_image.jpg", "plain text, no JPEG marker");
  EXPECT_EQ(errorOf([&] { le::loadImageRGB(t / "not_an_image.jpg"); }),
            "decode failed: " + (t / "not_an_image.jpg"));
  const uint8_t rgb[3 * 2 * 2] = {};
  const std::string unwritable = t / "no_such_dir/out.png";
  EXPECT_EQ(errorOf([&] { le::writePNG(unwritable, rgb, 2, 2, 3); }), "png write failed: " + unwritable);
  // And a written file reads back as written.
  le::writePNG(t / "ok.png", rgb, 2, 2, 3);
  const le::ImageRGB back = le::loadImageRGB(t / "ok.png");
  EXPECT_EQ(back.width, 2);
  EXPECT_EQ(back.height, 2);
  EXPECT_EQ(back.rgb, std::vector<uint8_t>(rgb, rgb + sizeof rgb));
}
