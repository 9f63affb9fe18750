#include "paste/le_paste.h"

#include <algorithm>
#include <climits>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <stdexcept>

#include "core/le_env.h"
#include "paste/le_paste_simd.h"
#include "paste/le_pool.h"

namespace le {
namespace {

constexpr int kPhases = 32;
constexpr size_t kRowGrain = 64;
// The widest kernel the mirrored border of the largest crop (1024) can feed.
// The bound also keeps side + ksize and the kernel's tables from overflowing
// or exhausting memory on a corrupt manifest.
constexpr int kMaxKsize = 2 * 1024 - 1;
// Fixed-point inverse-transform terms stay below this magnitude so that a
// column term plus a row term never overflows 32 bits. A transform that needs
// more maps a frame pixel to hundreds of crop pixels: the crop would cover
// less than a pixel of the frame, and nothing is pasted.
constexpr double kTermLimit = 1 << 29;

// Index into 0 ... n - 1 mirrored at both ends without repeating the edge
// sample; clamped for kernels wider than the crop.
int mirror(int i, int n) {
  if (i < 0) i = -i;
  if (i > n - 1) i = 2 * (n - 1) - i;
  return std::min(std::max(i, 0), n - 1);
}

}  // namespace

PasteOptions PasteOptions::fromEnvironment() {
  PasteOptions o;
  o.fast = envInt("LE_PASTE_FAST", 0);
  o.ksize = envInt("LE_PASTE_KSIZE", 0);
  return o;
}

Paste::Paste(std::vector<uint8_t> mask, int side, const Unsharp& unsharp, const PasteOptions& options)
    : side_(side), ksize_(unsharp.ksize), amount_(unsharp.amount) {
  if (side < 1 || mask.size() != static_cast<size_t>(side) * static_cast<size_t>(side))
    throw std::runtime_error("paste: mask size");
  if (ksize_ % 2 == 0) throw std::runtime_error("paste: ksize must be odd");
  if (ksize_ < 1) throw std::runtime_error("paste: ksize must be positive");
  if (ksize_ > kMaxKsize) throw std::runtime_error("paste: ksize > 2047");
  // The mask as floats inside a border of zeros: the row kernels read the
  // 2 x 2 samples of any pasted position without a bounds check.
  const size_t paddedSide = static_cast<size_t>(side) + 2;
  maskPadded_.assign(paddedSide * paddedSide, 0.f);
  for (size_t y = 0; y < static_cast<size_t>(side); ++y)
    for (size_t x = 0; x < static_cast<size_t>(side); ++x)
      maskPadded_[(y + 1) * paddedSide + x + 1] = static_cast<float>(mask[y * side + x]);

  fast_ = options.fast >= 0 && options.fast <= 2 ? options.fast : 0;
  const int k = options.ksize;
  if (k > 2 && k % 2 == 1 && k <= ksize_) ksize_ = k;
  padded_ = side_ + ksize_ - 1;

  // Gaussian in double precision, normalised. A non-positive sigma would
  // divide by zero; it means no blur at all.
  gauss_.assign(ksize_, 0.f);
  const int c = (ksize_ - 1) / 2;
  if (unsharp.sigma > 0.f) {
    std::vector<double> w(ksize_);
    double sum = 0;
    for (int i = 0; i < ksize_; ++i) {
      const double x = i - c;
      w[i] = std::exp(-(x * x) / (2.0 * unsharp.sigma * unsharp.sigma));
      sum += w[i];
    }
    for (int i = 0; i < ksize_; ++i) gauss_[i] = static_cast<float>(w[i] / sum);
  } else {
    gauss_[c] = 1.f;
  }

  // Lanczos-8: sin(pi x) sin(pi x / 4) / (pi x * pi x / 4) at x = t + 3 - i,
  // with the sines of the eight taps derived from one sine and cosine pair.
  const double s45 = std::sqrt(2.0) / 2.0;
  const double cs[8][2] = {{1, 0},     {-s45, -s45}, {0, 1},  {s45, -s45},
                           {-1, 0},    {s45, s45},   {0, -1}, {-s45, s45}};
  const double pi = 3.14159265358979323846;
  lanczos_.assign(kPhases * 8, 0.f);
  lanczosQuad_.assign(kPhases * simd::kLanczosQuadPerPhase, 0.f);
  bilinear_.assign(kPhases * 2, 0.f);
  bicubic_.assign(kPhases * 4, 0.f);
  for (int j = 0; j < kPhases; ++j) {
    const double t = j / 32.0;
    float* lz = &lanczos_[j * 8];
    if (t < 1e-7) {
      lz[3] = 1.f;
    } else {
      const double y0 = -(t + 3) * pi / 4;
      const double s0 = std::sin(y0), c0 = std::cos(y0);
      double w[8], sum = 0;
      for (int i = 0; i < 8; ++i) {
        const double y = -(t + 3 - i) * pi / 4;
        w[i] = (cs[i][0] * s0 + cs[i][1] * c0) / (y * y);
        sum += w[i];
      }
      for (int i = 0; i < 8; ++i) lz[i] = static_cast<float>(w[i] / sum);
    }
    for (int i = 0; i < 8; ++i)
      for (int lane = 0; lane < 4; ++lane) lanczosQuad_[j * 32 + i * 4 + lane] = lz[i];

    bilinear_[j * 2] = static_cast<float>(1 - t);
    bilinear_[j * 2 + 1] = static_cast<float>(t);

    const double t1 = t + 1, u = 1 - t;
    const double w0 = ((-0.75 * t1 + 3.75) * t1 - 6) * t1 + 3;
    const double w1 = (1.25 * t - 2.25) * t * t + 1;
    const double w2 = (1.25 * u - 2.25) * u * u + 1;
    bicubic_[j * 4] = static_cast<float>(w0);
    bicubic_[j * 4 + 1] = static_cast<float>(w1);
    bicubic_[j * 4 + 2] = static_cast<float>(w2);
    bicubic_[j * 4 + 3] = static_cast<float>(1 - w0 - w1 - w2);
  }

  const size_t area = static_cast<size_t>(side_) * side_;
  for (auto& p : planes_) p.assign(area, 0.f);
  interleaved_.assign(static_cast<size_t>(side_) * simd::interleavedStride(side_), 0.f);
  paddedBuf_.assign(static_cast<size_t>(padded_) * padded_, 0.f);
  horizontal_.assign(static_cast<size_t>(padded_) * side_, 0.f);
}

void Paste::fillPlanes(const float* crop, float scale) {
  const size_t area = static_cast<size_t>(side_) * side_;
  const size_t side = static_cast<size_t>(side_);
  pool::parallelRange(3 * side, kRowGrain, [&](size_t b, size_t e) {
    for (size_t row = b; row < e; ++row) {
      const size_t c = row / side, offset = (row % side) * side;
      const float* src = crop + c * area + offset;
      float* dst = planes_[c].data() + offset;
      simd::scaleRow(src, scale, dst, side);
    }
  });
}

void Paste::unsharpPlane(float* plane) {
  if (side_ > 1024) throw std::runtime_error("paste: side > 1024");
  const int r = (ksize_ - 1) / 2;
  const int side = side_, padded = padded_;
  float* pad = paddedBuf_.data();
  float* hor = horizontal_.data();
  pool::parallelRange(padded, kRowGrain, [&](size_t b, size_t e) {
    for (size_t py = b; py < e; ++py) {
      const float* src = plane + static_cast<size_t>(mirror(static_cast<int>(py) - r, side)) * side;
      float* dst = pad + py * padded;
      // padded = side + 2r: only the r columns at each end are mirrored.
      for (int px = 0; px < r; ++px) dst[px] = src[mirror(px - r, side)];
      std::memcpy(dst + r, src, sizeof(float) * static_cast<size_t>(side));
      for (int px = r + side; px < padded; ++px) dst[px] = src[mirror(px - r, side)];
      simd::blurRow(dst, gauss_.data(), ksize_, hor + py * side, side);
    }
  });
  pool::parallelRange(side, kRowGrain, [&](size_t b, size_t e) {
    for (size_t y = b; y < e; ++y)
      simd::unsharpRow(hor + y * side, side, gauss_.data(), ksize_, amount_, plane + y * side, side);
  });
}

bool Paste::inverseTerms(const float M[6], int x0, int x1, int y0, int y1) {
  const double a = M[0], b = M[1], c = M[2], d = M[3], e = M[4], f = M[5];
  const double det = a * e - b * d;
  auto fixed = [](double v, int32_t& out) {
    const double r = std::rint(v * 1024.0);
    if (!(std::fabs(r) < kTermLimit)) return false;
    out = static_cast<int32_t>(r);
    return true;
  };
  for (int x = x0; x <= x1; ++x)
    if (!fixed(e / det * x, colX_[x]) || !fixed(-d / det * x, colY_[x])) return false;
  for (int y = y0; y <= y1; ++y)
    if (!fixed(-b / det * y + (b * f - e * c) / det, rowX_[y]) ||
        !fixed(a / det * y + (d * c - a * f) / det, rowY_[y]))
      return false;
  return true;
}

void Paste::composite(const float* crop, float scale, const float M[6], uint8_t* frame, int W,
                      int H) {
  if (W < 1 || H < 1) return;
  for (int i = 0; i < 6; ++i)
    if (!std::isfinite(M[i])) return;
  const double a = M[0], b = M[1], c = M[2], d = M[3], e = M[4], f = M[5];
  if (a * e - b * d == 0) return;

  const double lo = -4, hi = side_ + 3;
  const double cx[4] = {lo, lo, hi, hi}, cy[4] = {lo, hi, lo, hi};
  double minX = 1e300, maxX = -1e300, minY = 1e300, maxY = -1e300;
  for (int i = 0; i < 4; ++i) {
    const double x = a * cx[i] + b * cy[i] + c, y = d * cx[i] + e * cy[i] + f;
    minX = std::min(minX, x);
    maxX = std::max(maxX, x);
    minY = std::min(minY, y);
    maxY = std::max(maxY, y);
  }
  const double x0 = std::max(std::floor(minX), 0.0), x1 = std::min(std::ceil(maxX), W - 1.0);
  const double y0 = std::max(std::floor(minY), 0.0), y1 = std::min(std::ceil(maxY), H - 1.0);
  if (x0 > x1 || y0 > y1) return;

  // Sized once for the largest frame seen; steady-state frames allocate nothing.
  if (colX_.size() < static_cast<size_t>(W)) {
    colX_.resize(W);
    colY_.resize(W);
  }
  if (rowX_.size() < static_cast<size_t>(H)) {
    rowX_.resize(H);
    rowY_.resize(H);
  }
  const int bx0 = static_cast<int>(x0), bx1 = static_cast<int>(x1);
  const int by0 = static_cast<int>(y0), by1 = static_cast<int>(y1);
  if (!inverseTerms(M, bx0, bx1, by0, by1)) return;

  static std::once_flag logged;
  std::call_once(logged, [&] {
    std::fprintf(stderr,
                 "[le-paste] executor=%s (side=%d, ksize=%d, threads=%d) \xE2\x80\x94 1080p composite\n",
                 "cpu", side_, ksize_, pool::threads());
  });

  fillPlanes(crop, scale);
  for (auto& p : planes_) unsharpPlane(p.data());
  compositeTail(frame, W, bx0, bx1, by0, by1);
}

void Paste::compositeTail(uint8_t* frame, int W, int x0, int x1, int y0, int y1) {
  const int side = side_;
  const size_t rows = static_cast<size_t>(y1 - y0 + 1);
  const size_t stride = static_cast<size_t>(W) * 3;
  float* il = interleaved_.data();
  const size_t rowFloats = simd::interleavedStride(side);
  pool::parallelRange(side, kRowGrain, [&](size_t b, size_t e) {
    for (size_t y = b; y < e; ++y) {
      const size_t at = y * static_cast<size_t>(side);
      simd::interleaveRow(planes_[0].data() + at, planes_[1].data() + at, planes_[2].data() + at,
                          il + y * rowFloats, static_cast<size_t>(side));
    }
  });
  // Bicubic and bilinear add half a phase step: they round the phase
  // instead of truncating it.
  pool::parallelRange(rows, kRowGrain, [&](size_t b, size_t e) {
    for (size_t r = b; r < e; ++r) {
      const int y = y0 + static_cast<int>(r);
      uint8_t* row = frame + y * stride;
      if (fast_ == 1)
        simd::pasteBicubicRow(il, side, maskPadded_.data(), bicubic_.data(), bilinear_.data(), colX_.data(),
                              colY_.data(), rowX_[y] + 16, rowY_[y] + 16, x0, x1, row);
      else if (fast_ == 2)
        simd::pasteBilinearRow(il, side, maskPadded_.data(), bilinear_.data(), colX_.data(), colY_.data(),
                               rowX_[y] + 16, rowY_[y] + 16, x0, x1, row);
      else
        simd::pasteLanczos8Row(il, side, maskPadded_.data(), lanczosQuad_.data(), bilinear_.data(),
                               colX_.data(), colY_.data(), rowX_[y], rowY_[y], x0, x1, row);
    }
  });
}

}  // namespace le
