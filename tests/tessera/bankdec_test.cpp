// The reference bank decoder over small tracks encoded losslessly by the
// ffmpeg CLI, and its in-memory reader.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <random>

extern "C" {
#include <libavformat/avio.h>
#include <libavutil/error.h>
}

#include "support/test_support.h"
#include "tessera/le_bankdec_ff.h"

namespace {

using le::tessera::decodeBankTrack;
using ::testing::StartsWith;

// `frames` RGB24 frames of w x h, random, encoded losslessly as H.264 RGB.
struct Track {
  std::vector<std::vector<uint8_t>> frames;
  std::string bytes;
};

Track encode(const le::test::TempDir& dir, int count, int w, int h, unsigned seed = 1) {
  Track t;
  std::mt19937 rng(seed);
  std::string raw;
  for (int i = 0; i < count; ++i) {
    std::vector<uint8_t> f(static_cast<size_t>(w) * h * 3);
    for (auto& b : f) b = static_cast<uint8_t>(rng());
    raw.append(f.begin(), f.end());
    t.frames.push_back(std::move(f));
  }
  le::test::writeFile(dir / "bank.rgb", raw);
  const std::string cmd = "ffmpeg -v error -y -f rawvideo -pix_fmt rgb24 -s " + std::to_string(w) +
                          "x" + std::to_string(h) + " -r 25 -i " + (dir / "bank.rgb") +
                          " -c:v libx264rgb -qp 0 -preset ultrafast -pix_fmt rgb24 " + (dir / "bank.mp4");
  EXPECT_EQ(std::system(cmd.c_str()), 0) << cmd;
  t.bytes = le::test::readWhole(dir / "bank.mp4");
  return t;
}

std::string decodeError(const std::string& b, int n, int h, int w, std::vector<int32_t> order) {
  try {
    (void)decodeBankTrack(reinterpret_cast<const uint8_t*>(b.data()), b.size(), n, h, w, order);
  } catch (const std::runtime_error& e) {
    return e.what();
  }
  return "(decoded)";
}

TEST(BankDecode, LosslessFramesLandInTheirDonorSlots) {
  le::test::TempDir dir;
  const Track t = encode(dir, 2, 24, 16);
  const auto out = decodeBankTrack(reinterpret_cast<const uint8_t*>(t.bytes.data()), t.bytes.size(),
                                   2, 16, 24, {1, 0});
  const size_t patch = 24 * 16 * 3;
  ASSERT_EQ(out.size(), 2 * patch);
  EXPECT_TRUE(std::equal(t.frames[0].begin(), t.frames[0].end(), out.begin() + patch));
  EXPECT_TRUE(std::equal(t.frames[1].begin(), t.frames[1].end(), out.begin()));
}

TEST(BankDecode, FrameCountAndSizeDisagreementsAreRefused) {
  le::test::TempDir dir;
  const Track three = encode(dir, 3, 24, 16);
  EXPECT_EQ(decodeError(three.bytes, 2, 16, 24, {0, 1}),
            "bank track carries more frames than the sidecar's n_donors — sidecar/track mismatch, "
            "refusing to serve");
  EXPECT_EQ(decodeError(three.bytes, 4, 16, 24, {0, 1, 2, 3}),
            "bank track decoded to 3 frames, expected 4 — geometry/N mismatch, refusing to serve");
  EXPECT_EQ(decodeError(three.bytes, 3, 16, 22, {0, 1, 2}),
            "reference bank track is 24x16, the geometry stamp says 22x16 — geometry mismatch, "
            "refusing to serve");
  EXPECT_EQ(decodeError(three.bytes, 3, 16, 24, {0, 1, 1}),
            "reference bank track_order is not a permutation — refusing to serve");
  EXPECT_EQ(decodeError(three.bytes, 3, 16, 24, {0, 1, 3}),
            "reference bank track_order is out of range — refusing to serve");
}

TEST(BankDecode, ArgumentsAndUnreadableBytesAreRefusedFirst) {
  EXPECT_EQ(decodeError("", 1, 1, 1, {0}), "reference bank track is empty — refusing to serve");
  EXPECT_EQ(decodeError("x", 0, 1, 1, {}), "reference bank geometry is not positive — refusing to serve");
  EXPECT_EQ(decodeError("x", 2, 1, 1, {0}),
            "reference bank sidecar track_order has 1 entries, expected 2 — sidecar/track mismatch, "
            "refusing to serve");
  EXPECT_EQ(decodeError(std::string(4096, '\x17'), 1, 1, 1, {0}),
            "reference bank track is not a readable container — refusing to serve");
  EXPECT_THAT(le::tessera::bankDecoderBuild(), StartsWith("libavcodec "));
}

TEST(BankDecode, MemoryReaderSeeksOnlyInsideItsBytes) {
  const uint8_t data[10] = {0, 1, 2, 3, 4, 5, 6, 7, 8, 9};
  le::tessera::MemReader r{data, 10, 0};
  EXPECT_EQ(le::tessera::memSeek(&r, 0, AVSEEK_SIZE), 10);
  EXPECT_EQ(le::tessera::memSeek(&r, -3, SEEK_END), 7);
  EXPECT_EQ(le::tessera::memSeek(&r, 4, SEEK_CUR), -1);  // 11 > 10
  EXPECT_EQ(r.pos, 7);
  EXPECT_EQ(le::tessera::memSeek(&r, -1, SEEK_SET), -1);
  EXPECT_EQ(le::tessera::memSeek(&r, 10, SEEK_SET), 10);
  uint8_t buf[4];
  EXPECT_EQ(le::tessera::memRead(&r, buf, 4), AVERROR_EOF);
  EXPECT_EQ(le::tessera::memSeek(&r, 8, SEEK_SET), 8);
  EXPECT_EQ(le::tessera::memRead(&r, buf, 4), 2);
  EXPECT_EQ(buf[1], 9);
}

}  // namespace
