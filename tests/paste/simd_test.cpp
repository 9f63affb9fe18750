// Every kernel against a plain scalar reference, once per vector target the
// processor supports (each target forced in turn).
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <limits>
#include <random>
#include <vector>

#include "hwy/targets.h"
#include "hwy/tests/hwy_gtest.h"
#include "paste/le_simd.h"

namespace {

// Sizes around every vector width in use (4 to 64 lanes) plus odd large ones.
const std::vector<size_t> kSizes = {0,  1,  2,  3,  4,  5,  7,  8,  9,  15, 16,  17,   31,
                                    32, 33, 47, 48, 49, 63, 64, 65, 97, 1000, 4099};

uint32_t bitsOf(float f) {
  uint32_t u;
  std::memcpy(&u, &f, sizeof u);
  return u;
}

float floatOf(uint32_t u) {
  float f;
  std::memcpy(&f, &u, sizeof f);
  return f;
}

// Reference conversions written from the definition of binary16 with double
// arithmetic, independent of the bit tricks in the library. NaNs follow the
// hardware convention: quiet, sign and upper payload kept.
float refHalfToFloat(uint16_t h) {
  const uint32_t sign = static_cast<uint32_t>(h & 0x8000) << 16;
  const int e = (h >> 10) & 31;
  const int m = h & 0x3FF;
  if (e == 31) return floatOf(sign | 0x7F800000u | (m ? 0x00400000u | (uint32_t(m) << 13) : 0u));
  const double magnitude = e == 0 ? std::ldexp(m, -24) : std::ldexp(1024 + m, e - 25);
  return sign ? -static_cast<float>(magnitude) : static_cast<float>(magnitude);
}

uint16_t refFloatToHalf(float x) {
  const uint32_t bits = bitsOf(x);
  const uint16_t sign = static_cast<uint16_t>((bits >> 16) & 0x8000);
  if (std::isnan(x)) return static_cast<uint16_t>(sign | 0x7E00 | ((bits >> 13) & 0x3FF));
  const double a = std::fabs(static_cast<double>(x));
  if (a >= 65520.0) return sign | 0x7C00;
  if (a < std::ldexp(1.0, -14))
    return static_cast<uint16_t>(sign | static_cast<int>(std::nearbyint(a * 16777216.0)));
  int e;
  std::frexp(a, &e);
  const int exponent = e - 1;  // a in [2^exponent, 2^(exponent+1))
  const int m = static_cast<int>(std::nearbyint(std::ldexp(a, 10 - exponent)));  // 1024 ... 2048
  return static_cast<uint16_t>(sign | (((exponent + 15) << 10) + m - 1024));
}

bool isSignallingHalfNaN(uint16_t h) { return (h & 0x7C00) == 0x7C00 && (h & 0x3FF) && !(h & 0x200); }

// Floats at, just below and just above every rounding tie between adjacent
// halves, the halves themselves, and the special values; both signs.
std::vector<float> tieInputs() {
  std::vector<float> out;
  for (uint32_t h = 0; h < 0x7C00; ++h) {
    const float lo = refHalfToFloat(static_cast<uint16_t>(h));
    const float hi = h == 0x7BFF ? 65536.0f : refHalfToFloat(static_cast<uint16_t>(h + 1));
    const float mid = static_cast<float>((static_cast<double>(lo) + hi) / 2);
    const float inf = std::numeric_limits<float>::infinity();
    for (float f : {lo, std::nextafter(lo, inf), mid, std::nextafter(mid, 0.0f),
                    std::nextafter(mid, inf), std::nextafter(std::nextafter(mid, inf), inf)}) {
      out.push_back(f);
      out.push_back(-f);
    }
  }
  const float specials[] = {0.0f,
                            std::numeric_limits<float>::denorm_min(),
                            std::numeric_limits<float>::min(),
                            std::numeric_limits<float>::max(),
                            std::numeric_limits<float>::infinity(),
                            65504.0f,
                            65519.99f,
                            65520.0f,
                            floatOf(0x7FC00000u),
                            floatOf(0x7F800001u),
                            floatOf(0x7FBFFFFFu),
                            floatOf(0x7FC12345u),
                            floatOf(0x33000000u),  // 2^-25: tie between 0 and the smallest subnormal
                            floatOf(0x33000001u),
                            floatOf(0x337FFFFFu)};
  for (float f : specials) {
    out.push_back(f);
    out.push_back(floatOf(bitsOf(f) | 0x80000000u));
  }
  return out;
}

template <class T>
std::vector<T> randomValues(size_t n, std::mt19937& rng, T lo, T hi) {
  std::vector<T> v(n);
  if constexpr (std::is_floating_point_v<T>) {
    std::uniform_real_distribution<T> dist(lo, hi);
    for (T& x : v) x = dist(rng);
  } else {
    std::uniform_int_distribution<int> dist(lo, hi);
    for (T& x : v) x = static_cast<T>(dist(rng));
  }
  return v;
}

// Random finite halves within +-range (as bit patterns).
std::vector<uint16_t> randomHalves(size_t n, std::mt19937& rng, float range) {
  std::vector<uint16_t> v(n);
  std::uniform_real_distribution<float> dist(-range, range);
  for (uint16_t& h : v) h = refFloatToHalf(dist(rng));
  return v;
}

class Kernels : public hwy::TestWithParamTarget {};
HWY_TARGET_INSTANTIATE_TEST_SUITE_P(Kernels);

TEST_P(Kernels, ChosenTargetIsTheForcedOne) {
  EXPECT_STREQ(le::simd::target(), hwy::TargetName(GetParam()));
}

TEST(HalfScalar, AllHalvesConvertExactly) {
  for (uint32_t h = 0; h < 0x10000; ++h) {
    const float f = le::halfToFloat(static_cast<uint16_t>(h));
    ASSERT_EQ(bitsOf(f), bitsOf(refHalfToFloat(static_cast<uint16_t>(h)))) << std::hex << h;
  }
}

TEST(HalfScalar, RoundsToNearestEvenAtEveryTie) {
  for (float f : tieInputs())
    ASSERT_EQ(le::f32ToF16(f), refFloatToHalf(f)) << std::hexfloat << f << " bits " << std::hex << bitsOf(f);
}

TEST(HalfScalar, RandomBitPatterns) {
  std::mt19937 rng(7);
  for (int i = 0; i < 2000000; ++i) {
    const float f = floatOf(static_cast<uint32_t>(rng()));
    ASSERT_EQ(le::f32ToF16(f), refFloatToHalf(f)) << std::hex << bitsOf(f);
  }
}

TEST_P(Kernels, F16ToF32AllHalvesAndRoundTrip) {
  std::vector<uint16_t> halves(0x10000);
  for (uint32_t h = 0; h < 0x10000; ++h) halves[h] = static_cast<uint16_t>(h);
  std::vector<float> floats(halves.size());
  le::simd::f16ToF32(halves.data(), floats.data(), halves.size());
  std::vector<uint16_t> back(halves.size());
  le::simd::f32ToF16(floats.data(), back.data(), floats.size());
  for (uint32_t h = 0; h < 0x10000; ++h) {
    ASSERT_EQ(bitsOf(floats[h]), bitsOf(refHalfToFloat(static_cast<uint16_t>(h)))) << std::hex << h;
    // Every value comes back unchanged, except that signalling NaNs come back quiet.
    const uint16_t expected = isSignallingHalfNaN(static_cast<uint16_t>(h)) ? (h | 0x200) : h;
    ASSERT_EQ(back[h], expected) << std::hex << h;
  }
}

TEST_P(Kernels, F32ToF16AtEveryTie) {
  const std::vector<float> in = tieInputs();
  std::vector<uint16_t> out(in.size());
  le::simd::f32ToF16(in.data(), out.data(), in.size());
  for (size_t i = 0; i < in.size(); ++i)
    ASSERT_EQ(out[i], refFloatToHalf(in[i])) << std::hexfloat << in[i];
}

TEST_P(Kernels, ConversionsEveryTailLengthAndNoWritesPastTheEnd) {
  std::mt19937 rng(1);
  for (size_t n : kSizes) {
    for (size_t offset : {0, 1}) {  // unaligned starts too
      std::vector<float> f(offset + n + 8);
      for (float& x : f) x = floatOf(static_cast<uint32_t>(rng()));
      std::vector<uint16_t> h(offset + n + 8, 0xABCD);
      le::simd::f32ToF16(f.data() + offset, h.data() + offset, n);
      for (size_t i = 0; i < h.size(); ++i) {
        const bool inside = i >= offset && i < offset + n;
        ASSERT_EQ(h[i], inside ? refFloatToHalf(f[i]) : 0xABCD) << "n=" << n << " i=" << i;
      }
      std::vector<float> g(offset + n + 8, -7.0f);
      le::simd::f16ToF32(h.data() + offset, g.data() + offset, n);
      for (size_t i = 0; i < g.size(); ++i) {
        const bool inside = i >= offset && i < offset + n;
        ASSERT_EQ(bitsOf(g[i]), bitsOf(inside ? refHalfToFloat(h[i]) : -7.0f)) << "n=" << n << " i=" << i;
      }
    }
  }
}

TEST_P(Kernels, Rgb24ToRgbaEveryTailLength) {
  std::mt19937 rng(3);
  for (size_t n : kSizes) {
    const std::vector<uint8_t> rgb = randomValues<uint8_t>(3 * n, rng, 0, 255);
    std::vector<uint8_t> rgba(4 * n + 4, 7);
    le::simd::rgb24ToRgba(rgb.data(), rgba.data(), n);
    for (size_t i = 0; i < n; ++i)
      for (int ch = 0; ch < 4; ++ch)
        ASSERT_EQ(rgba[4 * i + ch], ch < 3 ? rgb[3 * i + ch] : 255) << "n=" << n << " i=" << i;
    for (size_t i = 4 * n; i < rgba.size(); ++i) ASSERT_EQ(rgba[i], 7) << "n=" << n;
  }
}

TEST_P(Kernels, Rgb8ToPlanarF16) {
  std::mt19937 rng(2);
  for (size_t n : kSizes) {
    const size_t stride = n + 5;  // gaps between planes must stay untouched
    std::vector<uint8_t> rgb = randomValues<uint8_t>(3 * n, rng, 0, 255);
    std::vector<uint16_t> dst(3 * stride, 0xABCD);
    le::simd::rgb8ToPlanarF16(rgb.data(), dst.data(), n, stride);
    for (size_t ch = 0; ch < 3; ++ch)
      for (size_t i = 0; i < stride; ++i) {
        const uint16_t expected = i < n ? refFloatToHalf(rgb[3 * i + ch] / 255.0f) : 0xABCD;
        ASSERT_EQ(dst[ch * stride + i], expected) << "n=" << n << " ch=" << ch << " i=" << i;
      }
  }
  // Every byte value, and 255 is exactly 1.0.
  std::vector<uint8_t> all(3 * 256);
  for (int i = 0; i < 256; ++i) all[3 * i] = all[3 * i + 1] = all[3 * i + 2] = static_cast<uint8_t>(i);
  std::vector<uint16_t> dst(3 * 256);
  le::simd::rgb8ToPlanarF16(all.data(), dst.data(), 256, 256);
  for (int i = 0; i < 256; ++i)
    for (int ch = 0; ch < 3; ++ch) ASSERT_EQ(dst[ch * 256 + i], refFloatToHalf(i / 255.0f)) << i;
  EXPECT_EQ(dst[255], 0x3C00);
  EXPECT_EQ(dst[0], 0x0000);
}

void refYuvRow(const uint8_t* y, const uint8_t* u, const uint8_t* v, int width, int step, uint8_t* rgb) {
  auto clamp = [](int x) { return static_cast<uint8_t>(std::min(255, std::max(0, x))); };
  for (int x = 0; x < width; ++x) {
    const int c = 298 * (y[x] - 16) + 128, d = u[(x / 2) * step] - 128, e = v[(x / 2) * step] - 128;
    rgb[3 * x] = clamp((c + 409 * e) >> 8);
    rgb[3 * x + 1] = clamp((c - 100 * d - 208 * e) >> 8);
    rgb[3 * x + 2] = clamp((c + 516 * d) >> 8);
  }
}

TEST_P(Kernels, YuvRowEveryYUVCombination) {
  // A row of all 256 luma values per chroma pair covers every (Y, U, V).
  std::vector<uint8_t> y(256), u(128), v(128), rgb(3 * 256), ref(3 * 256);
  for (int i = 0; i < 256; ++i) y[i] = static_cast<uint8_t>(i);
  for (int cu = 0; cu < 256; ++cu)
    for (int cv = 0; cv < 256; ++cv) {
      std::fill(u.begin(), u.end(), static_cast<uint8_t>(cu));
      std::fill(v.begin(), v.end(), static_cast<uint8_t>(cv));
      le::simd::yuv420RowToRgb24(y.data(), u.data(), v.data(), 256, 1, rgb.data());
      refYuvRow(y.data(), u.data(), v.data(), 256, 1, ref.data());
      ASSERT_EQ(rgb, ref) << "u=" << cu << " v=" << cv;
    }
}

TEST_P(Kernels, YuvRowBothChromaStepsOddWidthsExactBuffers) {
  std::mt19937 rng(3);
  for (size_t n : kSizes) {
    const int width = static_cast<int>(n);
    const size_t pairs = (n + 1) / 2;
    const std::vector<uint8_t> y = randomValues<uint8_t>(n, rng, 0, 255);
    // Exactly sized rows so that the address sanitizer sees any over-read.
    const std::vector<uint8_t> u = randomValues<uint8_t>(pairs, rng, 0, 255);
    const std::vector<uint8_t> v = randomValues<uint8_t>(pairs, rng, 0, 255);
    const std::vector<uint8_t> uv = randomValues<uint8_t>(2 * pairs, rng, 0, 255);
    std::vector<uint8_t> ref(3 * n + 16, 0x5A);
    for (int step : {1, 2}) {
      const uint8_t* cu = step == 1 ? u.data() : uv.data();
      const uint8_t* cv = step == 1 ? v.data() : uv.data() + 1;
      std::vector<uint8_t> rgb(3 * n + 16, 0x5A);
      le::simd::yuv420RowToRgb24(y.data(), cu, cv, width, step, rgb.data());
      refYuvRow(y.data(), cu, cv, width, step, ref.data());
      ASSERT_EQ(rgb, ref) << "width=" << width << " step=" << step;
    }
  }
}

TEST_P(Kernels, YuvRowBlackAndWhite) {
  const std::vector<uint8_t> black(64, 16), white(64, 235), grey(32, 128);
  std::vector<uint8_t> rgb(3 * 64);
  le::simd::yuv420RowToRgb24(black.data(), grey.data(), grey.data(), 64, 1, rgb.data());
  EXPECT_TRUE(std::all_of(rgb.begin(), rgb.end(), [](uint8_t b) { return b == 0; }));
  le::simd::yuv420RowToRgb24(white.data(), grey.data(), grey.data(), 64, 1, rgb.data());
  EXPECT_TRUE(std::all_of(rgb.begin(), rgb.end(), [](uint8_t b) { return b == 255; }));
  std::vector<uint8_t> untouched(3, 0x77);
  le::simd::yuv420RowToRgb24(black.data(), grey.data(), grey.data(), 0, 1, untouched.data());
  EXPECT_EQ(untouched, std::vector<uint8_t>(3, 0x77));
}

// Plain convolution in the library's summation order: bias, then for each
// input channel the taps row by row, taps outside the image skipped.
void refConv(const std::vector<float>& in, int cin, int h, int w, const std::vector<float>& weight,
             const float* bias, int group, std::vector<float>& out, int coBegin, int coEnd) {
  const size_t plane = static_cast<size_t>(h) * w;
  for (int co = coBegin; co < coEnd; ++co) {
    const int set = group > 0 ? co % group : (group < 0 ? 0 : co);
    const int image = group > 0 ? co / group : (group < 0 ? co : 0);
    for (int y = 0; y < h; ++y)
      for (int x = 0; x < w; ++x) {
        float acc = bias ? bias[set] : 0.0f;
        for (int ci = 0; ci < cin; ++ci) {
          const float* src = in.data() + (static_cast<size_t>(image) * cin + ci) * plane;
          const float* k = weight.data() + (static_cast<size_t>(set) * cin + ci) * 9;
          for (int dy = 0; dy < 3; ++dy)
            for (int dx = 0; dx < 3; ++dx) {
              const int sy = y + dy - 1, sx = x + dx - 1;
              if (sy < 0 || sy >= h || sx < 0 || sx >= w) continue;
              acc += k[dy * 3 + dx] * src[static_cast<size_t>(sy) * w + sx];
            }
        }
        out[co * plane + static_cast<size_t>(y) * w + x] = acc;
      }
  }
}

TEST_P(Kernels, Conv3x3RangeAllGroupingsAndShapes) {
  std::mt19937 rng(4);
  struct Case {
    int group, cout, images;
  };
  // group 0: one image, a weight set per output channel; group 2: 3 images of
  // 2 output channels each; group -1: one shared set, an image per channel.
  for (const Case& c : {Case{0, 5, 1}, Case{2, 6, 3}, Case{-1, 4, 4}}) {
    for (int h : {1, 2, 5}) {
      for (size_t wSize : {size_t{1}, size_t{2}, size_t{3}, size_t{4}, size_t{5}, size_t{9},
                           size_t{17}, size_t{33}, size_t{65}}) {
        const int w = static_cast<int>(wSize), cin = 3;
        const size_t plane = static_cast<size_t>(h) * w;
        const int sets = c.group > 0 ? c.group : (c.group < 0 ? 1 : c.cout);
        const auto in = randomValues<float>(c.images * cin * plane, rng, -2.0f, 2.0f);
        const auto weight = randomValues<float>(sets * cin * 9, rng, -1.0f, 1.0f);
        const auto bias = randomValues<float>(sets, rng, -1.0f, 1.0f);
        // Channels outside [1, cout - 1) must be left alone.
        std::vector<float> out(c.cout * plane, 99.0f), ref(c.cout * plane, 99.0f);
        le::simd::conv3x3Range(in.data(), c.images, cin, h, w, weight.data(), bias.data(), c.group,
                               out.data(), 1, c.cout - 1);
        refConv(in, cin, h, w, weight, bias.data(), c.group, ref, 1, c.cout - 1);
        for (size_t i = 0; i < out.size(); ++i)
          ASSERT_EQ(bitsOf(out[i]), bitsOf(ref[i]))
              << "group=" << c.group << " h=" << h << " w=" << w << " i=" << i;
      }
    }
  }
}

TEST_P(Kernels, Conv3x3RangeWithoutBiasAndEmptyRanges) {
  std::mt19937 rng(5);
  const int h = 4, w = 19, cin = 2, cout = 3;
  const size_t plane = static_cast<size_t>(h) * w;
  const auto in = randomValues<float>(cin * plane, rng, -1.0f, 1.0f);
  const auto weight = randomValues<float>(cout * cin * 9, rng, -1.0f, 1.0f);
  std::vector<float> out(cout * plane, 5.0f), ref(cout * plane, 5.0f);
  le::simd::conv3x3Range(in.data(), 1, cin, h, w, weight.data(), nullptr, 0, out.data(), 0, cout);
  refConv(in, cin, h, w, weight, nullptr, 0, ref, 0, cout);
  for (size_t i = 0; i < out.size(); ++i) ASSERT_EQ(bitsOf(out[i]), bitsOf(ref[i])) << i;
  const std::vector<float> before = out;
  le::simd::conv3x3Range(in.data(), 1, cin, h, w, weight.data(), nullptr, 0, out.data(), 2, 2);
  le::simd::conv3x3Range(in.data(), 1, cin, h, w, weight.data(), nullptr, 0, out.data(), 3, 1);
  EXPECT_EQ(out, before);
}

// Whole-image convolution by row ranges, in blocks of four output channels and
// single ones, against the reference (then max(value, 0) for relu): rows
// outside the range stay untouched.
TEST_P(Kernels, Conv3x3RowsMatchesTheReferenceByRowRanges) {
  std::mt19937 rng(6);
  for (int cout : {1, 4, 6, 16}) {
    for (int h : {1, 2, 7}) {
      for (int w : {1, 2, 3, 9, 17, 33, 70}) {
        const int cin = cout == 16 ? 16 : 3;
        const size_t plane = static_cast<size_t>(h) * w;
        const auto in = randomValues<float>(cin * plane, rng, -2.0f, 2.0f);
        const auto weight = randomValues<float>(cout * cin * 9, rng, -1.0f, 1.0f);
        const auto bias = randomValues<float>(cout, rng, -1.0f, 1.0f);
        std::vector<float> ref(cout * plane);
        refConv(in, cin, h, w, weight, bias.data(), 0, ref, 0, cout);
        for (bool relu : {false, true}) {
          std::vector<float> out(cout * plane, 99.0f);
          const int split = h / 2;
          le::simd::conv3x3Rows(in.data(), cin, h, w, weight.data(), bias.data(), cout, relu, out.data(),
                                split, h);
          for (size_t c = 0; c < static_cast<size_t>(cout); ++c)
            for (size_t i = 0; i < static_cast<size_t>(split) * w; ++i)
              ASSERT_EQ(out[c * plane + i], 99.0f) << "row before the range written";
          le::simd::conv3x3Rows(in.data(), cin, h, w, weight.data(), bias.data(), cout, relu, out.data(), 0,
                                split);
          for (size_t i = 0; i < out.size(); ++i) {
            // (a zero's sign after relu is the target's; the values agree)
            if (relu)
              ASSERT_EQ(out[i], std::max(ref[i], 0.0f)) << "cout=" << cout << " h=" << h << " w=" << w << " i=" << i;
            else
              ASSERT_EQ(bitsOf(out[i]), bitsOf(ref[i])) << "cout=" << cout << " h=" << h << " w=" << w << " i=" << i;
          }
        }
      }
    }
  }
}

float halfDiff(uint16_t a, uint16_t b) {
  return refHalfToFloat(refFloatToHalf(refHalfToFloat(a) - refHalfToFloat(b)));
}

// The library's order: element i into partial sum i % 16, then a fixed tree.
template <class Term>
float refFixedOrderSum(size_t n, Term term) {
  float partial[16] = {};
  for (size_t i = 0; i < n; ++i) partial[i % 16] += term(i);
  for (size_t half = 8; half > 0; half /= 2)
    for (size_t j = 0; j < half; ++j) partial[j] += partial[j + half];
  return partial[0];
}

TEST_P(Kernels, RetrievalTermsMatchTheFixedOrderAndStayWithinTheBound) {
  std::mt19937 rng(6);
  for (size_t n : kSizes) {
    const auto a = randomHalves(n, rng, 4.0f), b = randomHalves(n, rng, 4.0f);
    const auto wHalf = randomHalves(n, rng, 1.0f);
    const auto wFloat = randomValues<float>(n, rng, 0.0f, 1.0f);

    const float pooled = le::simd::retrieveTermPooled(a.data(), b.data(), wHalf.data(), n);
    const float exact = le::simd::retrieveTermExact(a.data(), b.data(), wFloat.data(), n);
    const auto pooledTerm = [&](size_t i) {
      const float d = halfDiff(a[i], b[i]);
      return refHalfToFloat(wHalf[i]) * (d * d);
    };
    const auto exactTerm = [&](size_t i) { return wFloat[i] * std::fabs(halfDiff(a[i], b[i])); };
    ASSERT_EQ(bitsOf(pooled), bitsOf(refFixedOrderSum(n, pooledTerm))) << "n=" << n;
    ASSERT_EQ(bitsOf(exact), bitsOf(refFixedOrderSum(n, exactTerm))) << "n=" << n;

    // Against the exact sum of the terms (formed in double from the same
    // float16 differences): |error| <= g * sum |term|, g = k u / (1 - k u),
    // k = ceil(n / 16) + 5, u = 2^-24.
    double pooledExact = 0, pooledAbs = 0, exactExact = 0, exactAbs = 0;
    for (size_t i = 0; i < n; ++i) {
      const double d = halfDiff(a[i], b[i]);
      const double tp = static_cast<double>(refHalfToFloat(wHalf[i])) * d * d;
      const double te = static_cast<double>(wFloat[i]) * std::fabs(d);
      pooledExact += tp;
      pooledAbs += std::fabs(tp);
      exactExact += te;
      exactAbs += std::fabs(te);
    }
    const double ku = (static_cast<double>((n + 15) / 16) + 5) * std::ldexp(1.0, -24);
    const double gamma = ku / (1 - ku);
    EXPECT_LE(std::fabs(pooled - pooledExact), gamma * pooledAbs) << "n=" << n;
    EXPECT_LE(std::fabs(exact - exactExact), gamma * exactAbs) << "n=" << n;

    // The range variant is the exact term of the sub-vectors.
    if (n >= 3) {
      const size_t begin = 1, end = n - 1;
      const float range = le::simd::retrieveTermExactRange(a.data(), b.data(), wFloat.data(), begin, end);
      EXPECT_EQ(bitsOf(range), bitsOf(le::simd::retrieveTermExact(a.data() + begin, b.data() + begin,
                                                                  wFloat.data() + begin, end - begin)));
    }
  }
  const uint16_t one = 0x3C00;
  const float w = 1.0f;
  EXPECT_EQ(le::simd::retrieveTermExactRange(&one, &one, &w, 1, 0), 0.0f);
  EXPECT_EQ(le::simd::retrieveTermExact(&one, &one, &w, 0), 0.0f);
}

TEST_P(Kernels, RetrievalDifferenceIsRoundedToHalf) {
  // 1 + 2^-10 and 2^-12 differ by a value that float16 cannot hold exactly:
  // the term must use the float16-rounded difference.
  const uint16_t a = 0x3C01, b = 0x0C00;  // 1.0009765625, 2^-12
  const float w = 1.0f;
  const float expected = refHalfToFloat(refFloatToHalf(refHalfToFloat(a) - refHalfToFloat(b)));
  ASSERT_NE(expected, refHalfToFloat(a) - refHalfToFloat(b));
  EXPECT_EQ(le::simd::retrieveTermExact(&a, &b, &w, 1), expected);
}

}  // namespace
