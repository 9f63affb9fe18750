// The compositor against a straightforward reference written from the
// definition of the paste: double precision, no fixed point, no vectors.
#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <random>
#include <string>
#include <vector>

#include "hwy/targets.h"
#include "hwy/tests/hwy_gtest.h"
#include "paste/le_paste.h"
#include "paste/le_paste_simd.h"
#include "paste/le_pool.h"
#include "support/error_text.h"
#include "support/test_support.h"

using le::Paste;
using le::Unsharp;
using le::test::errorOf;
using le::test::ScopedEnv;
using le::test::StderrCapture;

namespace {

const double kPi = 3.14159265358979323846;

// A smooth crop (three planes of side x side, values 0 ... 1) with some
// structure: gradients, a few soft blobs and a gentle ripple.
std::vector<float> smoothCrop(int side, uint32_t seed) {
  std::mt19937 rng(seed);
  std::uniform_real_distribution<double> u(0, 1);
  std::vector<float> crop(3 * side * side);
  for (int c = 0; c < 3; ++c) {
    const double gx = u(rng), gy = u(rng), bx = u(rng) * side, by = u(rng) * side;
    const double br = side * (0.15 + 0.2 * u(rng)), ripple = 2 * kPi / (side * (0.2 + u(rng)));
    for (int y = 0; y < side; ++y)
      for (int x = 0; x < side; ++x) {
        const double blob = std::exp(-((x - bx) * (x - bx) + (y - by) * (y - by)) / (2 * br * br));
        double v = 0.15 + 0.35 * (gx * x + gy * y) / side + 0.35 * blob +
                   0.08 * std::sin(ripple * (x + 0.5 * y));
        crop[(c * side + y) * side + x] = static_cast<float>(std::min(1.0, std::max(0.0, v)));
      }
  }
  return crop;
}

// A feathered elliptical mask: 255 inside, ramping to 0 at the border.
std::vector<uint8_t> featherMask(int side) {
  std::vector<uint8_t> m(side * side);
  const double c = (side - 1) / 2.0;
  for (int y = 0; y < side; ++y)
    for (int x = 0; x < side; ++x) {
      const double r = std::hypot((x - c) / (0.46 * side), (y - c) / (0.5 * side));
      const double a = std::min(1.0, std::max(0.0, (1.0 - r) / 0.25));
      m[y * side + x] = static_cast<uint8_t>(std::lround(255 * a));
    }
  return m;
}

std::vector<uint8_t> randomFrame(int W, int H, uint32_t seed) {
  std::mt19937 rng(seed);
  std::vector<uint8_t> f(W * H * 3);
  for (auto& b : f) b = static_cast<uint8_t>(rng() & 0xff);
  return f;
}

double sincPi(double x) { return x == 0 ? 1.0 : std::sin(kPi * x) / (kPi * x); }

// Reference compositor. Phases are quantised to 1/32 pixel exactly as the
// library does; everything else is computed in double from the formulas.
struct Reference {
  int side, ksize, fast;
  double amount, sigma;
  std::vector<uint8_t> mask;

  std::vector<double> unsharp(const std::vector<float>& crop, int c, double scale) const {
    const int r = (ksize - 1) / 2;
    std::vector<double> g(ksize);
    double sum = 0;
    for (int i = 0; i < ksize; ++i) sum += g[i] = std::exp(-(i - r) * (i - r) / (2 * sigma * sigma));
    for (double& w : g) w /= sum;
    auto at = [&](int x, int y) {
      auto m = [&](int i) { return i < 0 ? -i : (i > side - 1 ? 2 * (side - 1) - i : i); };
      return scale * crop[(c * side + m(y)) * side + m(x)];
    };
    std::vector<double> h((side + 2 * r) * side), out(side * side);
    for (int y = -r; y < side + r; ++y)
      for (int x = 0; x < side; ++x) {
        double s = 0;
        for (int i = 0; i < ksize; ++i) s += g[i] * at(x + i - r, y);
        h[(y + r) * side + x] = s;
      }
    for (int y = 0; y < side; ++y)
      for (int x = 0; x < side; ++x) {
        double blur = 0;
        for (int k = 0; k < ksize; ++k) blur += g[k] * h[(y + k) * side + x];
        const double v = (1 + amount) * at(x, y) - amount * blur;
        out[y * side + x] = std::min(255.0, std::max(0.0, v));
      }
    return out;
  }

  static std::vector<double> lanczosTaps(double t) {
    std::vector<double> w(8);
    double sum = 0;
    for (int i = 0; i < 8; ++i) sum += w[i] = sincPi(t + 3 - i) * sincPi((t + 3 - i) / 4);
    for (double& x : w) x /= sum;
    return w;
  }
  static std::vector<double> cubicTaps(double t) {
    auto k = [](double x) {  // Keys kernel, a = -0.75
      const double a = -0.75;
      x = std::fabs(x);
      if (x <= 1) return ((a + 2) * x - (a + 3)) * x * x + 1;
      if (x < 2) return ((a * x - 5 * a) * x + 8 * a) * x - 4 * a;
      return 0.0;
    };
    return {k(t + 1), k(t), k(1 - t), k(2 - t)};
  }

  // Pastes into lo and hi (both starting as the frame). The library places
  // positions on a 1/1024-pixel grid before it picks the 1/32 phase, so a
  // position within that rounding of a phase boundary may fall on either
  // side: such pixels are evaluated on both sides, and lo/hi receive the
  // smallest and largest outcome.
  void paste(const std::vector<float>& crop, double scale, const float M[6],
             std::vector<uint8_t>& lo, std::vector<uint8_t>& hi, int W, int H) const {
    const double a = M[0], b = M[1], c = M[2], d = M[3], e = M[4], f = M[5];
    const double det = a * e - b * d;
    if (det == 0) return;
    std::vector<double> planes[3];
    for (int ch = 0; ch < 3; ++ch) planes[ch] = unsharp(crop, ch, scale);
    const double shift = fast ? 16.0 / 1024 : 0;
    const double slack = 1.5 / 1024;
    for (int y = 0; y < H; ++y)
      for (int x = 0; x < W; ++x) {
        const double u = (e * (x - c) - b * (y - f)) / det + shift;
        const double v = (-d * (x - c) + a * (y - f)) / det + shift;
        for (int ch = 0; ch < 3; ++ch) {
          const size_t i = (y * W + x) * 3 + ch;
          const uint8_t was = lo[i];
          int least = 256, most = -1;
          for (double du : {-slack, 0.0, slack})
            for (double dv : {-slack, 0.0, slack}) {
              const int out = sample(planes[ch], u + du, v + dv, was);
              least = std::min(least, out);
              most = std::max(most, out);
            }
          lo[i] = static_cast<uint8_t>(least);
          hi[i] = static_cast<uint8_t>(most);
        }
      }
  }

  // The blended byte for one channel at crop position (u, v).
  int sample(const std::vector<double>& plane, double u, double v, uint8_t was) const {
    const int ix = static_cast<int>(std::floor(u)), iy = static_cast<int>(std::floor(v));
    if (ix < -1 || iy < -1 || ix >= side || iy >= side) return was;
    const int px = static_cast<int>((u - ix) * 32), py = static_cast<int>((v - iy) * 32);
    const double tx = px / 32.0, ty = py / 32.0;
    auto m = [&](int xx, int yy) {
      return (xx < 0 || yy < 0 || xx >= side || yy >= side) ? 0.0 : mask[yy * side + xx];
    };
    const double mv = (m(ix, iy) * (1 - tx) + m(ix + 1, iy) * tx) * (1 - ty) +
                      (m(ix, iy + 1) * (1 - tx) + m(ix + 1, iy + 1) * tx) * ty;
    const double alpha = std::floor(mv + 0.5) / 255;
    if (alpha <= 0) return was;
    std::vector<double> wx, wy;
    int reach;
    if (fast == 0) {
      wx = lanczosTaps(tx), wy = lanczosTaps(ty), reach = 3;
    } else if (fast == 1) {
      wx = cubicTaps(tx), wy = cubicTaps(ty), reach = 1;
    } else {
      wx = {1 - tx, tx}, wy = {1 - ty, ty}, reach = 0;
    }
    double col = 0;
    for (size_t k = 0; k < wy.size(); ++k)
      for (size_t i = 0; i < wx.size(); ++i) {
        const int sx = ix - reach + static_cast<int>(i), sy = iy - reach + static_cast<int>(k);
        if (sx >= 0 && sy >= 0 && sx < side && sy < side) col += wy[k] * wx[i] * plane[sy * side + sx];
      }
    return static_cast<int>(std::min(255.0, std::max(0.0, (1 - alpha) * was + alpha * col)));
  }
};

// Affine M = translate * rotate * scale (crop to frame).
void makeM(double scale, double angle, double tx, double ty, float M[6]) {
  M[0] = static_cast<float>(scale * std::cos(angle));
  M[1] = static_cast<float>(-scale * std::sin(angle));
  M[2] = static_cast<float>(tx);
  M[3] = static_cast<float>(scale * std::sin(angle));
  M[4] = static_cast<float>(scale * std::cos(angle));
  M[5] = static_cast<float>(ty);
}

struct Diff {
  int maxAbs = 0;
  size_t differing = 0;
};

// Distance of each byte of `got` from the range [lo, hi].
Diff compare(const std::vector<uint8_t>& got, const std::vector<uint8_t>& lo,
             const std::vector<uint8_t>& hi) {
  Diff d;
  for (size_t i = 0; i < got.size(); ++i) {
    const int e = got[i] < lo[i] ? lo[i] - got[i] : (got[i] > hi[i] ? got[i] - hi[i] : 0);
    d.maxAbs = std::max(d.maxAbs, e);
    d.differing += e != 0;
  }
  return d;
}

}  // namespace

TEST(PasteTables, LanczosBicubicBilinearAndGaussian) {
  StderrCapture quiet;
  Paste p(std::vector<uint8_t>(16 * 16, 255), 16, Unsharp{1.3f, 2.0f, 13});
  for (int j = 0; j < 32; ++j) {
    const auto ref = Reference::lanczosTaps(j / 32.0);
    double s = 0, sc = 0;
    for (int i = 0; i < 8; ++i) {
      EXPECT_NEAR(p.lanczos()[j * 8 + i], ref[i], 1e-6) << "phase " << j << " tap " << i;
      s += p.lanczos()[j * 8 + i];
    }
    EXPECT_NEAR(s, 1.0, 1e-6);
    const auto cubic = Reference::cubicTaps(j / 32.0);
    for (int i = 0; i < 4; ++i) {
      EXPECT_NEAR(p.bicubic()[j * 4 + i], cubic[i], 1e-6);
      sc += p.bicubic()[j * 4 + i];
    }
    EXPECT_NEAR(sc, 1.0, 1e-6);
    EXPECT_FLOAT_EQ(p.bilinear()[j * 2 + 1], j / 32.0f);
  }
  // Phase 0 selects the centre tap alone.
  for (int i = 0; i < 8; ++i) EXPECT_EQ(p.lanczos()[i], i == 3 ? 1.f : 0.f);
  double g = 0;
  for (int i = 0; i < 13; ++i) {
    g += p.gauss()[i];
    EXPECT_FLOAT_EQ(p.gauss()[i], p.gauss()[12 - i]);
  }
  EXPECT_NEAR(g, 1.0, 1e-6);
}

TEST(PasteConstruction, RefusalsAndEnvironment) {
  const Unsharp u{1.3f, 2.0f, 13};
  EXPECT_EQ(errorOf([&] { Paste(std::vector<uint8_t>(15), 4, u); }), "paste: mask size");
  EXPECT_EQ(errorOf([&] { Paste(std::vector<uint8_t>(16), 4, Unsharp{1.3f, 2.0f, 12}); }),
            "paste: ksize must be odd");
  EXPECT_THROW(Paste(std::vector<uint8_t>(16), 4, Unsharp{1.3f, 2.0f, -3}), std::runtime_error);
  // A corrupt manifest's kernel size must not overflow the padded side or
  // allocate gigabytes of taps.
  for (int32_t huge : {2049, 1 << 30 | 1, INT32_MAX})
    EXPECT_EQ(errorOf([&] { Paste(std::vector<uint8_t>(16), 4, Unsharp{1.3f, 2.0f, huge}); }),
              "paste: ksize > 2047")
        << huge;
  EXPECT_EQ(Paste(std::vector<uint8_t>(16), 4, Unsharp{1.3f, 2.0f, 2047}).ksize(), 2047);

  auto fastWith = [&](const char* v) {
    ScopedEnv e("LE_PASTE_FAST", v);
    return Paste(std::vector<uint8_t>(16), 4, u).fast();
  };
  EXPECT_EQ(fastWith(nullptr), 0);
  EXPECT_EQ(fastWith("1"), 1);
  EXPECT_EQ(fastWith("2"), 2);
  EXPECT_EQ(fastWith("3"), 0);
  EXPECT_EQ(fastWith("-1"), 0);
  EXPECT_EQ(fastWith("bicubic"), 0);
  EXPECT_EQ(fastWith("4294967297"), 0);  // 2^32 + 1 is out of range, not 1

  auto ksizeWith = [&](const char* v) {
    ScopedEnv e("LE_PASTE_KSIZE", v);
    return Paste(std::vector<uint8_t>(16), 4, u).ksize();
  };
  EXPECT_EQ(ksizeWith(nullptr), 13);
  EXPECT_EQ(ksizeWith("7"), 7);
  EXPECT_EQ(ksizeWith("3"), 3);
  EXPECT_EQ(ksizeWith("4"), 13);   // even
  EXPECT_EQ(ksizeWith("1"), 13);   // not above 2
  EXPECT_EQ(ksizeWith("15"), 13);  // can only shrink
  EXPECT_EQ(ksizeWith("4294967303"), 13);  // 2^32 + 7 is not 7
}

TEST(PasteComposite, IdentityTransformWritesTheSharpenedCrop) {
  const int side = 32, W = 48, H = 40;
  StderrCapture quiet;
  Paste p(std::vector<uint8_t>(side * side, 255), side, Unsharp{0.8f, 1.5f, 7});
  const auto crop = smoothCrop(side, 1);
  auto frame = randomFrame(W, H, 2);
  const auto before = frame;
  const float M[6] = {1, 0, 0, 0, 1, 0};
  p.composite(crop.data(), 255.f, M, frame.data(), W, H);
  for (int y = 0; y < H; ++y)
    for (int x = 0; x < W; ++x)
      for (int c = 0; c < 3; ++c) {
        const size_t i = (y * W + x) * 3 + c;
        if (x < side && y < side)
          ASSERT_EQ(frame[i], static_cast<uint8_t>(p.plane(c)[y * side + x])) << x << "," << y;
        else
          ASSERT_EQ(frame[i], before[i]) << x << "," << y;
      }
}

TEST(PasteComposite, NothingIsPastedWhereItMustNotBe) {
  const int side = 16, W = 40, H = 30;
  StderrCapture quiet;
  const Unsharp u{1.3f, 2.0f, 5};
  const auto crop = smoothCrop(side, 3);
  const auto original = randomFrame(W, H, 4);
  auto run = [&](const std::vector<uint8_t>& mask, const float M[6]) {
    Paste p(mask, side, u);
    auto f = original;
    p.composite(crop.data(), 255.f, M, f.data(), W, H);
    return f;
  };
  const float identity[6] = {1, 0, 5, 0, 1, 5};
  EXPECT_EQ(run(std::vector<uint8_t>(side * side, 0), identity), original);
  const float singular[6] = {1, 2, 5, 2, 4, 5};
  EXPECT_EQ(run(std::vector<uint8_t>(side * side, 255), singular), original);
  const float outside[6] = {1, 0, 500, 0, 1, -300};
  EXPECT_EQ(run(std::vector<uint8_t>(side * side, 255), outside), original);
  const float notFinite[6] = {1, 0, NAN, 0, 1, 0};
  EXPECT_EQ(run(std::vector<uint8_t>(side * side, 255), notFinite), original);
  // Shrunk below a pixel: the inverse terms would overflow; nothing is pasted.
  const float tiny[6] = {1e-7f, 0, 5, 0, 1e-7f, 5};
  EXPECT_EQ(run(std::vector<uint8_t>(side * side, 255), tiny), original);
}

TEST(PasteComposite, KsizeOneIsAnIdentityUnsharp) {
  const int side = 8;
  Paste p(std::vector<uint8_t>(side * side, 255), side, Unsharp{2.0f, 1.0f, 1});
  std::vector<float> plane(side * side);
  for (int i = 0; i < side * side; ++i) plane[i] = static_cast<float>(i * 7 % 300) - 20.f;
  auto sharpened = plane;
  p.unsharpPlane(sharpened.data());
  for (int i = 0; i < side * side; ++i)
    EXPECT_EQ(sharpened[i], std::min(255.f, std::max(0.f, plane[i])));
}

TEST(PasteComposite, SidesAboveTheRowLimitAreRefused) {
  Paste p(std::vector<uint8_t>(1025 * 1025, 255), 1025, Unsharp{1.3f, 2.0f, 3});
  EXPECT_EQ(errorOf([&] { p.unsharpPlane(p.plane(0)); }), "paste: side > 1024");
}

namespace {
// Two composites in this process; exits 0 when stderr got exactly one
// executor line.
[[noreturn]] void pasteTwiceAndCheckTheExecutorLine() {
  const int side = 8, W = 16, H = 16;
  Paste p(std::vector<uint8_t>(side * side, 255), side, Unsharp{1.3f, 2.0f, 5});
  const std::vector<float> crop(3 * side * side, 0.5f);
  std::vector<uint8_t> frame(W * H * 3, 0);
  const float M[6] = {1, 0, 2, 0, 1, 2};
  StderrCapture capture;
  p.composite(crop.data(), 255.f, M, frame.data(), W, H);
  p.composite(crop.data(), 255.f, M, frame.data(), W, H);
  const std::string got = capture.text();
  const std::string expected = "[le-paste] executor=cpu (side=8, ksize=" +
                               std::to_string(p.ksize()) + ", threads=" +
                               std::to_string(le::pool::threads()) +
                               ") \xE2\x80\x94 1080p composite\n";
  if (got != expected) std::fprintf(stderr, "got: %s", got.c_str());
  std::exit(got == expected ? 0 : 1);
}
}  // namespace

TEST(PasteComposite, ReportsItsExecutorOnceAtTheFirstComposite) {
  // The line is printed once per process, so check in a fresh one.
  if (le::test::runsUnderEmulation()) GTEST_SKIP() << "needs a fresh process, which emulation cannot start";
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  EXPECT_EXIT(pasteTwiceAndCheckTheExecutorLine(), testing::ExitedWithCode(0), "");
}

class PasteAgainstReference : public ::testing::TestWithParam<int> {};

TEST_P(PasteAgainstReference, RandomTransformsAgreeWithinOneLevel) {
  const int fast = GetParam();
  const int side = 64, W = 160, H = 120;
  const Unsharp u{1.3f, 2.0f, 13};
  const auto mask = featherMask(side);
  std::string fastText = std::to_string(fast);
  ScopedEnv env("LE_PASTE_FAST", fastText.c_str());
  StderrCapture quiet;
  Paste paste(mask, side, u);
  ASSERT_EQ(paste.fast(), fast);
  Reference ref{side, 13, fast, u.amount, u.sigma, mask};
  std::mt19937 rng(100 + fast);
  std::uniform_real_distribution<double> uni(0, 1);
  size_t differing = 0, total = 0;
  for (int trial = 0; trial < 12; ++trial) {
    const auto crop = smoothCrop(side, 10 + trial);
    const auto original = randomFrame(W, H, 20 + trial);
    float M[6];
    const double scale = 0.7 + 1.2 * uni(rng), angle = (uni(rng) - 0.5) * 0.8;
    // The crop's centre lands inside the frame; many placements hang over
    // the frame's edges.
    const double half = scale * side / 2;
    makeM(scale, angle, -half + W * uni(rng), -half + H * uni(rng), M);
    auto got = original, lo = original, hi = original;
    paste.composite(crop.data(), 255.f, M, got.data(), W, H);
    ref.paste(crop, 255.0, M, lo, hi, W, H);
    const Diff d = compare(got, lo, hi);
    EXPECT_NE(got, original) << "trial " << trial << " pasted nothing";
    EXPECT_LE(d.maxAbs, 1) << "trial " << trial << " scale " << scale << " angle " << angle;
    differing += d.differing;
    total += got.size();
  }
  // Off-by-one levels come only from rounding at truncation boundaries.
  EXPECT_LT(differing, total / 50);
}

INSTANTIATE_TEST_SUITE_P(Modes, PasteAgainstReference, ::testing::Values(0, 1, 2));

// The row kernels on every vector target the processor runs: identical bytes.
class PasteKernels : public hwy::TestWithParamTarget {};
HWY_TARGET_INSTANTIATE_TEST_SUITE_P(PasteKernels);

namespace {
std::vector<uint8_t> pasteOnce(int side, int W, int H) {
  StderrCapture quiet;
  Paste p(featherMask(side), side, Unsharp{1.3f, 2.0f, 13});
  float M[6];
  makeM(1.37, 0.3, 30, -6, M);
  auto frame = randomFrame(W, H, 7);
  p.composite(smoothCrop(side, 8).data(), 255.f, M, frame.data(), W, H);
  return frame;
}
}  // namespace

TEST_P(PasteKernels, EveryTargetGivesTheSameFrame) {
  // The first target to run sets the frame every other target must match.
  static std::vector<uint8_t> first[3];
  for (int mode = 0; mode < 3; ++mode) {
    ScopedEnv env("LE_PASTE_FAST", std::to_string(mode).c_str());
    const auto frame = pasteOnce(48, 120, 90);
    if (first[mode].empty())
      first[mode] = frame;
    else
      EXPECT_EQ(frame, first[mode]) << "mode " << mode << " on " << hwy::TargetName(GetParam());
  }
}

namespace {
// The bicubic / bilinear paste row as a plain loop, one channel at a time,
// reading the planes themselves and skipping the taps outside the crop.
void separableRowReference(const std::vector<float> planes[3], int side, const uint8_t* mask,
                           const float* table, int taps, const float* bilinear, const int32_t* colX,
                           const int32_t* colY, int32_t rowX, int32_t rowY, int x0, int x1,
                           uint8_t* row) {
  const int reach = taps == 4 ? 1 : 0;
  auto maskAt = [&](int x, int y) {
    return (x < 0 || y < 0 || x >= side || y >= side) ? 0.f : static_cast<float>(mask[y * side + x]);
  };
  for (int x = x0; x <= x1; ++x) {
    const int32_t u = colX[x] + rowX, v = colY[x] + rowY;
    if (u < -1024 || v < -1024) continue;
    const int ix = u >> 10, iy = v >> 10;
    if (ix >= side || iy >= side) continue;
    const int px = (u & 1023) >> 5, py = (v & 1023) >> 5;
    const float* bx = bilinear + px * 2;
    const float* by = bilinear + py * 2;
    const float m = (maskAt(ix, iy) * bx[0] + maskAt(ix + 1, iy) * bx[1]) * by[0] +
                    (maskAt(ix, iy + 1) * bx[0] + maskAt(ix + 1, iy + 1) * bx[1]) * by[1];
    const int alpha255 = static_cast<int>(m + 0.5f);
    if (alpha255 <= 0) continue;
    const float alpha = static_cast<float>(alpha255) / 255.f;
    for (int ch = 0; ch < 3; ++ch) {
      float colour = 0.f;
      for (int k = 0; k < taps; ++k) {
        const int sy = iy - reach + k;
        if (sy < 0 || sy >= side) continue;
        float acc = 0.f;
        for (int i = 0; i < taps; ++i) {
          const int sx = ix - reach + i;
          if (sx >= 0 && sx < side) acc += table[px * taps + i] * planes[ch][sy * side + sx];
        }
        colour += table[py * taps + k] * acc;
      }
      const float o = (1.f - alpha) * static_cast<float>(row[3 * x + ch]) + alpha * colour;
      row[3 * x + ch] = static_cast<uint8_t>(o > 0.f ? (o < 255.f ? o : 255.f) : 0.f);
    }
  }
}
}  // namespace

// Bicubic and bilinear rows give the plain loop's bytes, crop borders and
// pixels hanging off the crop included.
TEST_P(PasteKernels, SeparableRowsMatchThePlainLoop) {
  const int side = 24, W = 64, H = 56;
  StderrCapture quiet;
  Paste p(featherMask(side), side, Unsharp{1.3f, 2.0f, 5});
  std::vector<float> planes[3];
  const size_t rowFloats = le::simd::interleavedStride(side);
  std::vector<float> crop4(static_cast<size_t>(side) * rowFloats, 0.f);
  std::mt19937 rng(11);
  std::uniform_real_distribution<float> level(-20.f, 280.f);
  for (int c = 0; c < 3; ++c) {
    planes[c].resize(side * side);
    for (int i = 0; i < side * side; ++i)
      crop4[static_cast<size_t>(i / side) * rowFloats + static_cast<size_t>(i % side) * 4 + c] = planes[c][i] =
          level(rng);
  }
  const auto mask = featherMask(side);
  std::vector<float> maskPadded((side + 2) * (side + 2), 0.f);
  for (int y = 0; y < side; ++y)
    for (int x = 0; x < side; ++x) maskPadded[(y + 1) * (side + 2) + x + 1] = mask[y * side + x];
  for (const double angle : {0.0, 0.4, -1.1}) {
    float M[6];
    makeM(1.9, angle, 6, -4, M);
    const double a = M[0], b = M[1], c = M[2], d = M[3], e = M[4], f = M[5], det = a * e - b * d;
    std::vector<int32_t> colX(W), colY(W);
    for (int x = 0; x < W; ++x) {
      colX[x] = static_cast<int32_t>(std::lrint(e / det * x * 1024));
      colY[x] = static_cast<int32_t>(std::lrint(-d / det * x * 1024));
    }
    for (int y = 0; y < H; ++y) {
      const int32_t rowX = static_cast<int32_t>(std::lrint((-b / det * y + (b * f - e * c) / det) * 1024)) + 16;
      const int32_t rowY = static_cast<int32_t>(std::lrint((a / det * y + (d * c - a * f) / det) * 1024)) + 16;
      const auto start = randomFrame(W, 1, 30 + y);
      for (int taps : {4, 2}) {
        auto got = start, want = start;
        const float* table = taps == 4 ? p.bicubic().data() : p.bilinear().data();
        separableRowReference(planes, side, mask.data(), table, taps, p.bilinear().data(), colX.data(),
                              colY.data(), rowX, rowY, 0, W - 1, want.data());
        if (taps == 4)
          le::simd::pasteBicubicRow(crop4.data(), side, maskPadded.data(), table, p.bilinear().data(),
                                    colX.data(), colY.data(), rowX, rowY, 0, W - 1, got.data());
        else
          le::simd::pasteBilinearRow(crop4.data(), side, maskPadded.data(), table, colX.data(), colY.data(),
                                     rowX, rowY, 0, W - 1, got.data());
        ASSERT_EQ(got, want) << "taps " << taps << " angle " << angle << " row " << y;
      }
    }
  }
}

TEST_P(PasteKernels, BlurRowsMatchTheScalarSum) {
  std::mt19937 rng(5);
  std::uniform_real_distribution<float> dist(-10, 300);
  const float w[7] = {0.05f, 0.1f, 0.2f, 0.3f, 0.2f, 0.1f, 0.05f};
  for (size_t n : {size_t{0}, size_t{1}, size_t{3}, size_t{7}, size_t{8}, size_t{9}, size_t{17},
                   size_t{64}, size_t{515}}) {
    std::vector<float> in(n + 6), out(n), h(7 * (n + 1)), plane(n), expect(n);
    for (float& v : in) v = dist(rng);
    for (float& v : h) v = dist(rng);
    for (float& v : plane) v = dist(rng);
    le::simd::blurRow(in.data(), w, 7, out.data(), n);
    for (size_t j = 0; j < n; ++j) {
      float s = 0;
      for (int i = 0; i < 7; ++i) s += w[i] * in[j + i];
      ASSERT_EQ(out[j], s) << n << " " << j;
    }
    for (size_t j = 0; j < n; ++j) {
      float blur = 0;
      for (int k = 0; k < 7; ++k) blur += w[k] * h[k * (n + 1) + j];
      const float s = (1 + 0.5f) * plane[j] - 0.5f * blur;
      expect[j] = s < 0 ? 0 : (s > 255 ? 255 : s);
    }
    le::simd::unsharpRow(h.data(), n + 1, w, 7, 0.5f, plane.data(), n);
    for (size_t j = 0; j < n; ++j) ASSERT_EQ(plane[j], expect[j]) << n << " " << j;
  }
}

// A director that emits NaN must not reach a float-to-integer cast: NaN comes
// out of the unsharp rows and of every paste mode as 0, on every target.
TEST_P(PasteKernels, NotANumberInTheCropComesOutBlack) {
  const float w[3] = {0.25f, 0.5f, 0.25f};
  for (size_t n : {size_t{1}, size_t{5}, size_t{16}, size_t{33}}) {
    std::vector<float> h(3 * n, NAN), plane(n, NAN);
    plane[0] = 100.f;  // a finite value beside NaN blur is still NaN
    le::simd::unsharpRow(h.data(), n, w, 3, 0.5f, plane.data(), n);
    for (size_t j = 0; j < n; ++j) ASSERT_EQ(plane[j], 0.f) << n << " " << j;
  }
  const int side = 16, W = 24, H = 20;
  for (const char* mode : {"0", "1", "2"}) {
    ScopedEnv env("LE_PASTE_FAST", mode);
    StderrCapture quiet;
    Paste p(std::vector<uint8_t>(side * side, 255), side, Unsharp{0.8f, 1.5f, 1});
    const std::vector<float> crop(3 * side * side, NAN);
    auto frame = randomFrame(W, H, 9);
    const auto before = frame;
    const float M[6] = {1, 0, 2, 0, 1, 2};
    p.composite(crop.data(), 255.f, M, frame.data(), W, H);
    int black = 0;
    for (int y = 0; y < H; ++y)
      for (int x = 0; x < W; ++x)
        for (int c = 0; c < 3; ++c) {
          const size_t i = (y * W + x) * 3 + c;
          if (x >= 3 && y >= 3 && x < side && y < side) {
            ASSERT_EQ(frame[i], 0) << "mode " << mode << " at " << x << "," << y;
            ++black;
          } else if (x >= side + 3 || y >= side + 3) {
            ASSERT_EQ(frame[i], before[i]);
          }
        }
    EXPECT_GT(black, 0);
  }
}
