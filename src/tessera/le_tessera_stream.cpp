#include "tessera/le_tessera_stream.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <stdexcept>

#include "paste/le_pool.h"
#include "paste/le_simd.h"

namespace le::tessera {

namespace {

[[noreturn]] void fail(const std::string& what) { throw std::runtime_error(what); }

double toPixel(double v, int crop) { return (v + 1.0) * crop / 2.0 - 0.5; }

// One 3x3 convolution layer (stride 1, zero border) over a rows x cols image,
// its rows spread over the calling thread's pool, with an optional ReLU.
void conv(const float* in, int cin, int rows, int cols, const std::vector<float>& w,
          const std::vector<float>& b, int cout, float* out, bool relu) {
  pool::parallelRange(static_cast<size_t>(rows), 4, [&](size_t r0, size_t r1) {
    simd::conv3x3Rows(in, cin, rows, cols, w.data(), b.data(), cout, relu, out, static_cast<int>(r0),
                      static_cast<int>(r1));
  });
}

// Squared distance from (px, py) to the segment a-b.
double segmentDistance2(double px, double py, double ax, double ay, double bx, double by) {
  const double dx = bx - ax, dy = by - ay;
  const double len2 = dx * dx + dy * dy;
  double t = len2 > 0 ? ((px - ax) * dx + (py - ay) * dy) / len2 : 0.0;
  t = std::min(1.0, std::max(0.0, t));
  const double ex = ax + t * dx - px, ey = ay + t * dy - py;
  return ex * ex + ey * ey;
}

// Layers of the head between its input and its output: a pixel of the result
// depends on inputs at most this many pixels away.
int receptiveMargin(bool synthesis) { return synthesis ? 5 : 3; }

constexpr float kEllipseFeatherPx = 2.0f;

}  // namespace

void runHead(const HeadWeights& head, const float* input, int rows, int cols, float* out, float* alpha,
             HeadScratch& scratch) {
  const size_t region = static_cast<size_t>(rows) * cols;
  if (scratch.featA.size() < 16 * region) scratch.featA.resize(16 * region);
  if (scratch.featB.size() < 16 * region) scratch.featB.resize(16 * region);
  float* featA = scratch.featA.data();
  float* featB = scratch.featB.data();
  conv(input, 7, rows, cols, head.cand0_w, head.cand0_b, 16, featA, true);
  conv(featA, 16, rows, cols, head.cand2_w, head.cand2_b, 16, featB, true);
  conv(featB, 16, rows, cols, head.cand4_w, head.cand4_b, 1, alpha, false);
  // alpha weights the leading donor; the partner takes the rest.
  pool::parallelRange(region, 2048, [&](size_t i0, size_t i1) {
    for (size_t i = i0; i < i1; ++i) {
      const float a = 1.0f / (1.0f + std::exp(-alpha[i]));
      for (int ch = 0; ch < 3; ++ch)
        out[ch * region + i] = a * input[ch * region + i] + (1.0f - a) * input[(3 + ch) * region + i];
      alpha[i] = a;
    }
  });
  if (!head.hasSynthesis()) return;
  // The synthesis branch adds a residual bounded by the envelope.
  conv(out, 3, rows, cols, head.syn0_w, head.syn0_b, 16, featA, true);
  conv(featA, 16, rows, cols, head.syn2_w, head.syn2_b, 1, featB, false);
  const float envelope = head.envelope;
  pool::parallelRange(region, 2048, [&](size_t i0, size_t i1) {
    for (size_t i = i0; i < i1; ++i) {
      const float r = envelope * std::tanh(featB[i]);
      for (int ch = 0; ch < 3; ++ch) out[ch * region + i] += r;
    }
  });
}

StreamBorrow::StreamBorrow(const TesseraAttachInputs& members, std::vector<uint8_t> bank, int crop,
                           HeadWeights head, ServeConfig config, const std::string& lipTemplateJson)
    : members_(members), crop_(crop), head_(std::move(head)), config_(config) {
  const GeometryStamp& s = members_.stamp;
  s.validate();
  if (s.canvas_w != crop || s.canvas_h != crop) {
    fail("teeth: the stamp's canvas " + std::to_string(s.canvas_w) + "x" + std::to_string(s.canvas_h) +
         " is not this bundle's render crop " + std::to_string(crop));
  }
  const int n = members_.n_donors;
  if (n < 1 || members_.track_order.size() != static_cast<size_t>(n) ||
      members_.cent.size() != 2 * static_cast<size_t>(n) ||
      members_.aperture.size() != static_cast<size_t>(n)) {
    fail("teeth: the donor tables do not match n_donors=" + std::to_string(n));
  }
  const size_t patch = members_.patchBytes();
  if (bank.size() != static_cast<size_t>(n) * patch) {
    fail("teeth: the reference bank holds " + std::to_string(bank.size()) + " bytes, expected " +
         std::to_string(static_cast<size_t>(n) * patch) + " (n_donors x band_h x band_w x 3)");
  }
  if (!config_.v1) fail("teeth: the serve configuration was not read from the v1 schema");
  if (config_.K < 1 || config_.kshort < 1) fail("teeth: the serve configuration keeps no donor (K or kshort < 1)");

  if (!lipTemplateJson.empty()) {
    lip_ = std::make_unique<LipContour>(LipContour::fromTemplateJson(lipTemplateJson, crop));
    std::fprintf(stderr,
                 "[borrow] delivery mask: LIP CONTOUR (%d verts, feather %.1f px) — the ellipse is "
                 "not reachable in this session\n",
                 lip_->vertexCount(), static_cast<double>(lip_->featherPx()));
  } else {
    std::fprintf(stderr,
                 "[borrow] !!! delivery mask: ELLIPSE — this bundle carries no %s, so it serves the "
                 "over-covering elliptical mask the contour replaces. BACKFILL IT: "
                 "models/vellum-2/tools/bake_lip_templates.py\n",
                 kLipTemplateFile);
  }

  bandY0_ = s.window_y0 + s.band_r0;
  bandX0_ = s.window_x0 + s.band_c0;
  bandRows_ = s.band_r1 - s.band_r0;
  bandCols_ = s.band_c1 - s.band_c0;

  // Donors as float planes, their pooled luminance and their geometry.
  const int bh = members_.band_h, bw = members_.band_w, sm = s.shift_margin;
  const size_t plane = static_cast<size_t>(bh) * bw;
  donors_.resize(static_cast<size_t>(n) * 3 * plane);
  for (int d = 0; d < n; ++d) {
    const uint8_t* src = bank.data() + static_cast<size_t>(d) * patch;
    float* dst = donors_.data() + static_cast<size_t>(d) * 3 * plane;
    for (size_t i = 0; i < plane; ++i) {
      for (int ch = 0; ch < 3; ++ch) dst[ch * plane + i] = src[3 * i + ch] * (1.0f / 255.0f);
    }
  }
  const int P = std::max(1, config_.pool);
  const size_t pp = static_cast<size_t>(P) * P;
  donorPooled_.resize(static_cast<size_t>(n) * pp);
  pooledWeight_.resize(pp);
  queryPooled_.resize(pp);
  for (int gy = 0; gy < P; ++gy) {
    for (int gx = 0; gx < P; ++gx) {
      // The middle of the mouth decides more than its rim.
      const double u = (gx + 0.5) / P * 2 - 1, v = (gy + 0.5) / P * 2 - 1;
      pooledWeight_[static_cast<size_t>(gy) * P + gx] =
          f32ToF16(static_cast<float>((1.0 - 0.5 * (u * u + v * v) / 2.0) / static_cast<double>(pp)));
    }
  }
  for (int d = 0; d < n; ++d) {
    const float* src = donors_.data() + static_cast<size_t>(d) * 3 * plane;
    for (int gy = 0; gy < P; ++gy) {
      for (int gx = 0; gx < P; ++gx) {
        const int y = sm + gy * bandRows_ / P, x = sm + gx * bandCols_ / P;
        const size_t i = static_cast<size_t>(y) * bw + x;
        const float lum = 0.299f * src[i] + 0.587f * src[plane + i] + 0.114f * src[2 * plane + i];
        donorPooled_[static_cast<size_t>(d) * pp + static_cast<size_t>(gy) * P + gx] = f32ToF16(lum);
      }
    }
  }
  donorGeo_.resize(static_cast<size_t>(n) * 3);
  for (int d = 0; d < n; ++d) {
    donorGeo_[3 * d] = f32ToF16(static_cast<float>(members_.aperture[d]));
    donorGeo_[3 * d + 1] = f32ToF16(static_cast<float>(members_.cent[2 * d]));
    donorGeo_[3 * d + 2] = f32ToF16(static_cast<float>(members_.cent[2 * d + 1]));
  }
  geoWeight_[0] = static_cast<float>(1.0 / std::max(1e-6, config_.aperture_tol));
  geoWeight_[1] = geoWeight_[2] = static_cast<float>(1.0 / config_.position_scale);

  // Every band in flight at once: those held for the look-ahead, the one
  // coming in and the one going out.
  spareBands_.reserve(static_cast<size_t>(std::max(0, config_.lookahead)) + 2);
  minAperture_ = *std::min_element(members_.aperture.begin(), members_.aperture.end());
  const size_t region = static_cast<size_t>(bandRows_) * bandCols_;
  score_.resize(static_cast<size_t>(n));
  order_.resize(static_cast<size_t>(n));
  input_.resize(7 * region);
  alpha_.resize(region);
  blend_.resize(3 * region);
  scratch_.featA.resize(16 * region);
  scratch_.featB.resize(16 * region);
  if (lip_) {
    vx_.resize(static_cast<size_t>(lip_->vertexCount()));
    vy_.resize(static_cast<size_t>(lip_->vertexCount()));
  }
}

StreamBorrow::~StreamBorrow() = default;

std::vector<BorrowResult> StreamBorrow::push(int64_t seq, const float* crop, const float* xs,
                                             const float* xd) {
  if (!crop || !xs || !xd) fail("teeth: push without a crop or its keypoint rows");
  Pending p;
  p.seq = seq;
  std::memcpy(p.xs, xs, sizeof p.xs);
  std::memcpy(p.xd, xd, sizeof p.xd);
  const size_t plane = static_cast<size_t>(crop_) * crop_;
  if (!spareBands_.empty()) {
    p.band = std::move(spareBands_.back());
    spareBands_.pop_back();
  }
  p.band.resize(3 * static_cast<size_t>(bandRows_) * bandCols_);
  for (int ch = 0; ch < 3; ++ch) {
    for (int r = 0; r < bandRows_; ++r) {
      std::memcpy(&p.band[(static_cast<size_t>(ch) * bandRows_ + r) * bandCols_],
                  crop + ch * plane + static_cast<size_t>(bandY0_ + r) * crop_ + bandX0_,
                  sizeof(float) * static_cast<size_t>(bandCols_));
    }
  }
  // The mouth the driving keypoints describe: inner-lip gap over mouth width.
  const float* l = xd + 3 * kMouthLeftRow;
  const float* rr = xd + 3 * kMouthRightRow;
  const double width = std::fabs(static_cast<double>(rr[0]) - l[0]);
  const double gap = static_cast<double>(xd[3 * kLipLowerInnerRow + 1]) - xd[3 * kLipUpperInnerRow + 1];
  p.aperture = width > 1e-6 ? std::max(0.0, gap / width) : 0.0;
  p.cx = toPixel((static_cast<double>(l[0]) + rr[0]) / 2, crop_);
  p.cy = toPixel((static_cast<double>(xd[3 * kLipUpperInnerRow + 1]) + xd[3 * kLipLowerInnerRow + 1]) / 2,
                 crop_);
  pending_.push_back(std::move(p));
  ++stats_.pushed;

  std::vector<BorrowResult> out;
  const size_t hold = static_cast<size_t>(std::max(0, config_.lookahead));
  while (pending_.size() > hold) {
    // The front frame sees itself and the frames held behind it.
    double sum = 0;
    for (const Pending& q : pending_) sum += q.aperture;
    out.push_back(process(pending_.front(), sum / static_cast<double>(pending_.size())));
    pending_.pop_front();
  }
  return out;
}

std::vector<BorrowResult> StreamBorrow::flush() {
  std::vector<BorrowResult> out;
  while (!pending_.empty()) {
    double sum = 0;
    for (const Pending& q : pending_) sum += q.aperture;
    out.push_back(process(pending_.front(), sum / static_cast<double>(pending_.size())));
    pending_.pop_front();
  }
  lead_ = -1;
  leadHeld_ = 0;
  challenger_ = -1;
  challengerWins_ = 0;
  ++stats_.flushes;
  return out;
}

void StreamBorrow::rank(const Pending& p, double aperture) {
  const int n = members_.n_donors;
  const int P = std::max(1, config_.pool);
  const size_t pp = static_cast<size_t>(P) * P;
  const size_t plane = static_cast<size_t>(bandRows_) * bandCols_;
  for (int gy = 0; gy < P; ++gy) {
    for (int gx = 0; gx < P; ++gx) {
      const size_t i = static_cast<size_t>(gy * bandRows_ / P) * bandCols_ + gx * bandCols_ / P;
      const float lum = 0.299f * p.band[i] + 0.587f * p.band[plane + i] + 0.114f * p.band[2 * plane + i];
      queryPooled_[static_cast<size_t>(gy) * P + gx] = f32ToF16(lum);
    }
  }
  uint16_t query[3] = {f32ToF16(static_cast<float>(aperture)), f32ToF16(static_cast<float>(p.cx)),
                       f32ToF16(static_cast<float>(p.cy))};
  for (int d = 0; d < n; ++d) {
    const float geo = simd::retrieveTermExact(query, &donorGeo_[3 * static_cast<size_t>(d)], geoWeight_, 3);
    const float look = simd::retrieveTermPooled(queryPooled_.data(), &donorPooled_[static_cast<size_t>(d) * pp],
                                                pooledWeight_.data(), pp);
    // Donors outside the aperture tolerance rank after every donor inside it.
    const bool inside = std::fabs(members_.aperture[d] - aperture) <= config_.aperture_tol;
    score_[d] = geo + 0.25f * look + (inside ? 0.0f : 1e6f);
    order_[d] = d;
  }
  const int keep = std::min(n, config_.kshort);
  std::partial_sort(order_.begin(), order_.begin() + keep, order_.end(), [&](int a, int b) {
    return score_[a] < score_[b] || (score_[a] == score_[b] && a < b);
  });
}

// Moves each canonical lip vertex into crop pixels with its lip row: the row
// the template names for it when it names one row per vertex, else the lip
// row nearest to it in the source pose.
void StreamBorrow::deformContour(const Pending& p) {
  const auto& u = lip_->uCanon();
  const auto& idx = lip_->lipIdx();
  const int nv = lip_->vertexCount();
  const bool perVertex = idx.size() == static_cast<size_t>(nv);
  for (int v = 0; v < nv; ++v) {
    double best = 1e300, dx = 0, dy = 0;
    const size_t k0 = perVertex ? static_cast<size_t>(v) : 0;
    const size_t k1 = perVertex ? k0 + 1 : idx.size();
    for (size_t k = k0; k < k1; ++k) {
      const int32_t row = idx[k];
      const double ex = u[2 * v] - p.xs[3 * row], ey = u[2 * v + 1] - p.xs[3 * row + 1];
      const double d2 = ex * ex + ey * ey;
      if (d2 < best) {
        best = d2;
        dx = static_cast<double>(p.xd[3 * row]) - p.xs[3 * row];
        dy = static_cast<double>(p.xd[3 * row + 1]) - p.xs[3 * row + 1];
      }
    }
    vx_[v] = toPixel(u[2 * v] + dx, crop_);
    vy_[v] = toPixel(u[2 * v + 1] + dy, crop_);
  }
}

// The part of the band where the mask can be above 0: the contour's box grown
// by the feather, or the ellipse's box grown by its feather. A contour that is
// not finite keeps the whole band, as the mask itself decides there.
StreamBorrow::Box StreamBorrow::maskBox(const Pending& p) const {
  double x0, x1, y0, y1;
  if (lip_) {
    const double f = lip_->featherPx();
    x0 = *std::min_element(vx_.begin(), vx_.end()) - f;
    x1 = *std::max_element(vx_.begin(), vx_.end()) + f;
    y0 = *std::min_element(vy_.begin(), vy_.end()) - f;
    y1 = *std::max_element(vy_.begin(), vy_.end()) + f;
  } else {
    const double ax = bandCols_ / 2.0, ay = bandRows_ / 2.0;
    const double reach = 1.0 + kEllipseFeatherPx / std::max(1.0, std::min(ax, ay));
    x0 = p.cx - reach * ax;
    x1 = p.cx + reach * ax;
    y0 = p.cy - reach * ay;
    y1 = p.cy + reach * ay;
  }
  Box b{0, bandRows_, 0, bandCols_};
  if (!(std::isfinite(x0) && std::isfinite(x1) && std::isfinite(y0) && std::isfinite(y1))) return b;
  // One pixel of slack on each side keeps rounding at the rim out of the question.
  auto clampTo = [](double v, int hi) { return static_cast<int>(std::min<double>(hi, std::max(0.0, v))); };
  b.c0 = clampTo(std::floor(x0) - 1 - bandX0_, bandCols_);
  b.c1 = clampTo(std::ceil(x1) + 2 - bandX0_, bandCols_);
  b.r0 = clampTo(std::floor(y0) - 1 - bandY0_, bandRows_);
  b.r1 = clampTo(std::ceil(y1) + 2 - bandY0_, bandRows_);
  return b;
}

// The delivery mask over the head box (`mask` is one plane of its size): zero
// outside the mask box, computed inside it.
void StreamBorrow::buildMask(const Pending& p, float* mask) const {
  const Box& hb = headBox_;
  const Box& mb = maskBox_;
  const int hc = hb.cols();
  std::fill(mask, mask + static_cast<size_t>(hb.rows()) * hc, 0.0f);
  if (mb.empty()) return;
  auto at = [&](int r, int c) -> float& { return mask[static_cast<size_t>(r - hb.r0) * hc + (c - hb.c0)]; };
  if (lip_) {
    const std::vector<double>& vx = vx_;
    const std::vector<double>& vy = vy_;
    const int nv = lip_->vertexCount();
    const double feather = lip_->featherPx();
    pool::parallelRange(static_cast<size_t>(mb.rows()), 8, [&](size_t i0, size_t i1) {
      for (int r = mb.r0 + static_cast<int>(i0); r < mb.r0 + static_cast<int>(i1); ++r) {
        const double py = bandY0_ + static_cast<double>(r);
        for (int c = mb.c0; c < mb.c1; ++c) {
          const double px = bandX0_ + static_cast<double>(c);
          bool inside = false;
          for (int a = 0, b = nv - 1; a < nv; b = a++) {
            if ((vy[a] > py) != (vy[b] > py) &&
                px < (vx[b] - vx[a]) * (py - vy[a]) / (vy[b] - vy[a]) + vx[a]) {
              inside = !inside;
            }
          }
          // The feather runs outward from the contour: the inside is fully borrowed.
          if (inside) {
            at(r, c) = 1.0f;
            continue;
          }
          double d2 = 1e300;
          for (int a = 0, b = nv - 1; a < nv; b = a++)
            d2 = std::min(d2, segmentDistance2(px, py, vx[a], vy[a], vx[b], vy[b]));
          at(r, c) = static_cast<float>(std::max(0.0, 1.0 - std::sqrt(d2) / feather));
        }
      }
    });
    return;
  }
  // Over-covering ellipse around the mouth centre, as wide and high as the band.
  const double ax = bandCols_ / 2.0, ay = bandRows_ / 2.0;
  const double f = kEllipseFeatherPx / std::max(1.0, std::min(ax, ay));
  for (int r = mb.r0; r < mb.r1; ++r) {
    for (int c = mb.c0; c < mb.c1; ++c) {
      const double ex = (bandX0_ + c - p.cx) / ax, ey = (bandY0_ + r - p.cy) / ay;
      const double rho = std::sqrt(ex * ex + ey * ey);
      at(r, c) = static_cast<float>(std::min(1.0, std::max(0.0, (1.0 + f - rho) / f)));
    }
  }
}

// The donor over the head box, 3 planes of its size.
void StreamBorrow::placeDonor(int donor, const Pending& p, float* dst) const {
  // The stored patch is the band grown by the shift margin; the donor moves by
  // up to that margin so its mouth centre meets the current one.
  const int sm = members_.stamp.shift_margin;
  const int bw = members_.band_w;
  const size_t plane = static_cast<size_t>(members_.band_h) * bw;
  const int dy = static_cast<int>(std::lround(std::min<double>(sm, std::max<double>(-sm, p.cy - members_.cent[2 * donor + 1]))));
  const int dx = static_cast<int>(std::lround(std::min<double>(sm, std::max<double>(-sm, p.cx - members_.cent[2 * donor]))));
  const float* src = donors_.data() + static_cast<size_t>(donor) * 3 * plane;
  const Box& hb = headBox_;
  const size_t region = static_cast<size_t>(hb.rows()) * hb.cols();
  for (int ch = 0; ch < 3; ++ch) {
    for (int r = hb.r0; r < hb.r1; ++r) {
      std::memcpy(dst + ch * region + static_cast<size_t>(r - hb.r0) * hb.cols(),
                  src + ch * plane + static_cast<size_t>(r + sm - dy) * bw + (hb.c0 + sm - dx),
                  sizeof(float) * static_cast<size_t>(hb.cols()));
    }
  }
}

BorrowResult StreamBorrow::process(Pending& p, double aperture) {
  rank(p, aperture);
  const int best = order_[0];
  // A new leader must win `hysteresis` frames in a row, and the current one
  // keeps the mouth for at least `cut` frames.
  if (lead_ < 0) {
    lead_ = best;
    leadHeld_ = 0;
  } else if (best != lead_) {
    challengerWins_ = best == challenger_ ? challengerWins_ + 1 : 1;
    challenger_ = best;
    if (challengerWins_ >= std::max(1, config_.hysteresis) && leadHeld_ >= config_.cut) {
      lead_ = best;
      leadHeld_ = 0;
      challenger_ = -1;
      challengerWins_ = 0;
      ++stats_.switches;
    }
  } else {
    challenger_ = -1;
    challengerWins_ = 0;
  }
  ++leadHeld_;
  int partner = lead_;
  const int keep = std::min(members_.n_donors, config_.kshort);
  if (config_.K >= 2) {
    for (int k = 0; k < keep; ++k) {
      if (order_[k] != lead_) {
        partner = order_[k];
        break;
      }
    }
  }

  BorrowResult r;
  r.seq = p.seq;
  r.donor = lead_;
  r.partner = partner;
  r.aperture = aperture;
  ++stats_.delivered;
  // A mouth more closed than any donor's shows no teeth: the band goes back as
  // it came.
  if (lip_) deformContour(p);
  maskBox_ = p.aperture < minAperture_ ? Box{} : maskBox(p);
  if (maskBox_.empty()) {
    r.band = std::move(p.band);
    return r;
  }
  const int margin = receptiveMargin(head_.hasSynthesis());
  headBox_ = {std::max(0, maskBox_.r0 - margin), std::min(bandRows_, maskBox_.r1 + margin),
              std::max(0, maskBox_.c0 - margin), std::min(bandCols_, maskBox_.c1 + margin)};
  const size_t region = static_cast<size_t>(headBox_.rows()) * headBox_.cols();
  buildMask(p, input_.data() + 6 * region);
  placeDonor(lead_, p, input_.data());
  placeDonor(partner, p, input_.data() + 3 * region);
  runHead(head_, input_.data(), headBox_.rows(), headBox_.cols(), blend_.data(), alpha_.data(), scratch_);

  // Compose in place: outside the mask box the band keeps the crop's pixels.
  const size_t band = static_cast<size_t>(bandRows_) * bandCols_;
  const float* mask = input_.data() + 6 * region;
  double alphaSum = 0, maskSum = 0;
  for (int row = maskBox_.r0; row < maskBox_.r1; ++row) {
    for (int col = maskBox_.c0; col < maskBox_.c1; ++col) {
      const size_t h = static_cast<size_t>(row - headBox_.r0) * headBox_.cols() + (col - headBox_.c0);
      const size_t i = static_cast<size_t>(row) * bandCols_ + col;
      const float m = mask[h];
      alphaSum += static_cast<double>(alpha_[h]) * m;
      maskSum += m;
      for (int ch = 0; ch < 3; ++ch) {
        const float b = std::min(1.0f, std::max(0.0f, blend_[ch * region + h]));
        p.band[ch * band + i] = p.band[ch * band + i] * (1.0f - m) + b * m;
      }
    }
  }
  r.alphaMean = maskSum > 0 ? static_cast<float>(alphaSum / maskSum) : 0.0f;
  r.band = std::move(p.band);
  return r;
}

void StreamBorrow::recycle(BorrowResult&& r) {
  if (spareBands_.size() < spareBands_.capacity() && r.band.capacity() >= 3 * static_cast<size_t>(bandRows_) * bandCols_)
    spareBands_.push_back(std::move(r.band));
}

void StreamBorrow::writeWindowDelta(const BorrowResult& r, float* crop) const {
  const size_t region = static_cast<size_t>(bandRows_) * bandCols_;
  if (!crop || r.band.size() != 3 * region) fail("teeth: writeWindowDelta without a crop or a band");
  const size_t plane = static_cast<size_t>(crop_) * crop_;
  for (int ch = 0; ch < 3; ++ch) {
    for (int row = 0; row < bandRows_; ++row) {
      std::memcpy(crop + ch * plane + static_cast<size_t>(bandY0_ + row) * crop_ + bandX0_,
                  &r.band[(static_cast<size_t>(ch) * bandRows_ + row) * bandCols_],
                  sizeof(float) * static_cast<size_t>(bandCols_));
    }
  }
}

}  // namespace le::tessera
