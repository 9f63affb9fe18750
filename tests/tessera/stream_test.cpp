// The borrow pass on a small synthetic bank: donor choice and its temporal
// rules, input order under the hold/flush rule, and what the composition
// touches.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <random>

#include "support/test_support.h"
#include "tessera/le_tessera_stream.h"

namespace {

using le::tessera::BorrowResult;
using le::tessera::StreamBorrow;
using ::testing::HasSubstr;

constexpr int kCrop = 64;

le::TesseraAttachInputs members() {
  le::TesseraAttachInputs in;
  in.n_donors = 3;
  in.track_order = {0, 1, 2};
  in.aperture = {0.0, 0.2, 0.4};
  in.cent = {31.5, 38.9, 31.5, 38.9, 31.5, 38.9};
  in.stamp = {kCrop, kCrop, 16, 32, 32, 16, 4, 2, 14, 4, 28, 2};
  in.band_w = 28;
  in.band_h = 16;
  return in;
}

// Donor d is one flat colour: (d + 1) * 60 in every channel.
std::vector<uint8_t> bank() {
  std::vector<uint8_t> b(3 * 16 * 28 * 3);
  for (int d = 0; d < 3; ++d) std::fill(b.begin() + d * 16 * 28 * 3, b.begin() + (d + 1) * 16 * 28 * 3, (d + 1) * 60);
  return b;
}

// A head whose blend leans entirely on the leading donor; with `residual`,
// a synthesis branch that adds its full envelope everywhere.
le::tessera::HeadWeights head(bool residual = false) {
  le::tessera::HeadWeights h;
  h.cand0_w.assign(16 * 7 * 9, 0.0f);
  h.cand0_b.assign(16, 0.0f);
  h.cand2_w.assign(16 * 16 * 9, 0.0f);
  h.cand2_b.assign(16, 0.0f);
  h.cand4_w.assign(16 * 9, 0.0f);
  h.cand4_b.assign(1, 40.0f);
  if (residual) {
    h.syn0_w.assign(16 * 3 * 9, 0.0f);
    h.syn0_b.assign(16, 0.0f);
    h.syn2_w.assign(16 * 9, 0.0f);
    h.syn2_b.assign(1, 40.0f);
  }
  return h;
}

le::tessera::ServeConfig config(int lookahead, int hysteresis = 1) {
  le::tessera::ServeConfig c;
  c.kshort = 3;
  c.aperture_tol = 0.15;
  c.K = 2;
  c.cut = 0;
  c.hysteresis = hysteresis;
  c.lookahead = lookahead;
  c.v1 = true;
  return c;
}

// Driving keypoints of a mouth centred in the band with the given aperture.
std::vector<float> mouth(double aperture) {
  std::vector<float> kp(63, 0.0f);
  kp[3 * 11] = -0.3f;
  kp[3 * 11 + 1] = 0.2f;
  kp[3 * 12] = 0.3f;
  kp[3 * 12 + 1] = 0.2f;
  kp[3 * 14 + 1] = static_cast<float>(0.2 - aperture * 0.3);
  kp[3 * 15 + 1] = static_cast<float>(0.2 + aperture * 0.3);
  return kp;
}

std::vector<float> grey() { return std::vector<float>(3 * kCrop * kCrop, 0.5f); }

TEST(StreamBorrow, PicksDonorsByApertureWithHysteresisAndKeepsInputOrder) {
  StreamBorrow now(members(), bank(), kCrop, head(), config(0, 2), "");
  const std::vector<float> crop = grey();
  std::vector<int> donors;
  const double apertures[] = {0.0, 0.0, 0.4, 0.4, 0.4, 0.2};
  for (int i = 0; i < 6; ++i) {
    const auto kp = mouth(apertures[i]);
    for (const BorrowResult& r : now.push(i, crop.data(), kp.data(), kp.data())) {
      EXPECT_EQ(r.seq, i);
      donors.push_back(r.donor);
    }
  }
  // The open mouth must win twice in a row before it leads.
  EXPECT_EQ(donors, (std::vector<int>{0, 0, 0, 2, 2, 2}));
  EXPECT_EQ(now.stats().switches, 1);

  StreamBorrow held(members(), bank(), kCrop, head(), config(2), "");
  std::vector<int64_t> seqs;
  const auto kp = mouth(0.2);
  for (int i = 0; i < 5; ++i) {
    const auto out = held.push(100 + i, crop.data(), kp.data(), kp.data());
    EXPECT_EQ(out.size(), i < 2 ? 0u : 1u) << "push " << i;
    for (const auto& r : out) seqs.push_back(r.seq);
  }
  EXPECT_EQ(held.held(), 2u);
  for (const auto& r : held.flush()) seqs.push_back(r.seq);
  EXPECT_EQ(seqs, (std::vector<int64_t>{100, 101, 102, 103, 104}));
  EXPECT_EQ(held.held(), 0u);
}

TEST(StreamBorrow, ComposesInsideTheEllipseOnlyAndAddsTheEnvelope) {
  le::test::StderrCapture log;
  StreamBorrow b(members(), bank(), kCrop, head(), config(0), "");
  StreamBorrow withResidual(members(), bank(), kCrop, head(true), config(0), "");
  EXPECT_THAT(log.text(), HasSubstr("[borrow] !!! delivery mask: ELLIPSE — this bundle carries no "
                                    "lip_template.v1.json, so it serves the over-covering elliptical "
                                    "mask the contour replaces."));
  const auto kp = mouth(0.4);
  std::vector<float> crop = grey(), crop2 = grey();
  auto out = b.push(0, crop.data(), kp.data(), kp.data());
  ASSERT_EQ(out.size(), 1u);
  b.writeWindowDelta(out[0], crop.data());
  auto at = [&](const std::vector<float>& c, int ch, int y, int x) { return c[(ch * kCrop + y) * kCrop + x]; };
  EXPECT_FLOAT_EQ(at(crop, 1, 39, 32), 180.0f / 255.0f);  // band centre: donor 2
  EXPECT_FLOAT_EQ(at(crop, 1, b.bandY0() + b.bandRows() - 1, b.bandX0() + b.bandCols() - 1), 0.5f);  // corner: outside
  EXPECT_FLOAT_EQ(at(crop, 0, 10, 10), 0.5f);                 // outside the band
  EXPECT_FLOAT_EQ(at(crop, 2, b.bandY0() - 1, 32), 0.5f);

  out = withResidual.push(0, crop2.data(), kp.data(), kp.data());
  withResidual.writeWindowDelta(out[0], crop2.data());
  EXPECT_NEAR(at(crop2, 1, 39, 32), (180.0f + 12.0f) / 255.0f, 1e-6);
}

TEST(StreamBorrow, LipContourDecidesTheMaskAndRefusesForeignCanvases) {
  const std::string lip =
      R"({"format":"lip-template-v1","canvas":64,"feather_px":1,)"
      R"("u_canon":[[-0.1,0.15],[0.1,0.15],[0.1,0.3],[-0.1,0.3]],"lip_idx":[11,12]})";
  le::test::StderrCapture log;
  StreamBorrow b(members(), bank(), kCrop, head(), config(0), lip);
  EXPECT_THAT(log.text(), HasSubstr("[borrow] delivery mask: LIP CONTOUR (4 verts, feather 1.0 px) — "
                                    "the ellipse is not reachable in this session\n"));
  std::vector<float> crop = grey();
  const auto kp = mouth(0.0);
  auto out = b.push(0, crop.data(), kp.data(), kp.data());
  b.writeWindowDelta(out[0], crop.data());
  auto g = [&](int y, int x) { return crop[(kCrop + y) * kCrop + x]; };
  EXPECT_FLOAT_EQ(g(39, 32), 60.0f / 255.0f);  // inside the square: donor 0
  EXPECT_FLOAT_EQ(g(39, 24), 0.5f);            // beyond its feather, still in the band

  // The driving pose moves the contour with its lip rows.
  std::vector<float> xd = kp;
  for (int row : {11, 12}) xd[3 * row] += 8.0f / 32.0f;  // 8 px right
  crop = grey();
  out = b.push(1, crop.data(), kp.data(), xd.data());
  b.writeWindowDelta(out[0], crop.data());
  EXPECT_FLOAT_EQ(g(39, 25), 0.5f);
  EXPECT_LT(g(39, 39), 0.5f);

  // One row per vertex: the template says which row moves which vertex. With
  // the inner lips on one spot in the source pose, the nearest row cannot
  // tell them apart and the lower edge stays put.
  const std::string square = R"({"format":"lip-template-v1","canvas":64,"feather_px":1,)"
                             R"("u_canon":[[-0.1,0.1],[0.1,0.1],[0.1,0.2],[-0.1,0.2]],"lip_idx":)";
  std::vector<float> open = kp;
  open[3 * 15 + 1] += 4.0f / 32.0f;  // the lower lip 4 px down
  for (const auto& [rows, grows] : {std::pair<const char*, bool>{"[14,14,15,15]}", true}, {"[14,15]}", false}}) {
    StreamBorrow t(members(), bank(), kCrop, head(), config(0), square + rows);
    crop = grey();
    out = t.push(0, crop.data(), kp.data(), open.data());
    t.writeWindowDelta(out[0], crop.data());
    EXPECT_EQ(g(40, 32) != 0.5f, grows) << rows;
  }

  auto err = [&](int crop, std::vector<uint8_t> bytes) {
    try {
      StreamBorrow x(members(), std::move(bytes), crop, head(), config(0), "");
    } catch (const std::runtime_error& e) {
      return std::string(e.what());
    }
    return std::string("(armed)");
  };
  EXPECT_EQ(err(128, bank()), "teeth: the stamp's canvas 64x64 is not this bundle's render crop 128");
  EXPECT_THAT(err(64, std::vector<uint8_t>(10)), HasSubstr("teeth: the reference bank holds 10 bytes, expected 4032"));
  le::TesseraAttachInputs bad = members();
  bad.stamp.pad = 0;
  EXPECT_THROW(StreamBorrow(bad, bank(), kCrop, head(), config(0), ""), std::runtime_error);
}

TEST(StreamBorrow, AMouthMoreClosedThanEveryDonorChangesNothing) {
  le::TesseraAttachInputs in = members();
  in.aperture = {0.1, 0.2, 0.4};
  StreamBorrow b(in, bank(), kCrop, head(true), config(1), "");
  std::vector<float> crop(3 * kCrop * kCrop);
  for (size_t i = 0; i < crop.size(); ++i) crop[i] = static_cast<float>(i % 97) / 97.0f;
  const std::vector<float> before = crop;
  const auto closed = mouth(0.0), open = mouth(0.4);
  std::vector<BorrowResult> out = b.push(0, crop.data(), closed.data(), closed.data());
  for (const auto& r : b.push(1, crop.data(), open.data(), open.data())) out.push_back(r);
  ASSERT_EQ(out.size(), 1u);
  b.writeWindowDelta(out[0], crop.data());
  EXPECT_EQ(crop, before);
  out = b.flush();
  ASSERT_EQ(out.size(), 1u);
  b.writeWindowDelta(out[0], crop.data());
  EXPECT_NE(crop, before);  // the open mouth does borrow
}

// The pass runs its head only around the lip contour; over a wide band with
// random donors and weights its result must match the whole network run
// plainly over the whole band.
TEST(StreamBorrow, MatchesAPlainFullBandReference) {
  constexpr int kRows = 32, kCols = 56, kSm = 2;
  le::TesseraAttachInputs in;
  in.n_donors = 2;
  in.track_order = {0, 1};
  in.aperture = {0.1, 0.3};
  in.cent = {31.0, 36.0, 32.5, 35.0};
  in.stamp = {kCrop, kCrop, 0, 16, 64, 40, 4, 4, 4 + kRows, 4, 4 + kCols, kSm};
  in.band_h = kRows + 2 * kSm;
  in.band_w = kCols + 2 * kSm;
  std::mt19937 rng(11);
  std::uniform_int_distribution<int> byte(0, 255);
  std::vector<uint8_t> bankBytes(in.patchBytes() * 2);
  for (auto& v : bankBytes) v = static_cast<uint8_t>(byte(rng));
  auto rnd = [&](size_t n) {
    std::uniform_real_distribution<float> u(-0.2f, 0.2f);
    std::vector<float> v(n);
    for (float& x : v) x = u(rng);
    return v;
  };
  le::tessera::HeadWeights h;
  h.cand0_w = rnd(16 * 7 * 9), h.cand0_b = rnd(16), h.cand2_w = rnd(16 * 16 * 9), h.cand2_b = rnd(16);
  h.cand4_w = rnd(16 * 9), h.cand4_b = rnd(1), h.syn0_w = rnd(16 * 3 * 9), h.syn0_b = rnd(16);
  h.syn2_w = rnd(16 * 9), h.syn2_b = rnd(1);
  le::tessera::ServeConfig c = config(0);
  c.kshort = 2;
  const double feather = 2.0;
  const std::vector<double> u = {-0.17, -0.05, 0.2, -0.05, 0.2, 0.26, -0.17, 0.26};
  const std::string lip = R"({"format":"lip-template-v1","canvas":64,"feather_px":2,)"
                          R"("u_canon":[[-0.17,-0.05],[0.2,-0.05],[0.2,0.26],[-0.17,0.26]],"lip_idx":[11,12]})";
  le::test::StderrCapture quiet;
  StreamBorrow b(in, bankBytes, kCrop, h, c, lip);
  std::vector<float> crop(3 * kCrop * kCrop);
  std::uniform_real_distribution<float> unit(0.0f, 1.0f);
  for (float& v : crop) v = unit(rng);
  const std::vector<float> before = crop;
  const auto kp = mouth(0.2);
  auto out = b.push(0, crop.data(), kp.data(), kp.data());
  ASSERT_EQ(out.size(), 1u);
  b.writeWindowDelta(out[0], crop.data());

  // The reference, plainly: inputs, five layers with a zero border, blend,
  // residual, composition.
  const int y0 = b.bandY0(), x0 = b.bandX0();
  const size_t plane = static_cast<size_t>(kRows) * kCols;
  auto px = [](double v) { return (v + 1.0) * kCrop / 2.0 - 0.5; };
  const double cx = px((static_cast<double>(kp[33]) + kp[36]) / 2), cy = px((static_cast<double>(kp[43]) + kp[46]) / 2);
  std::vector<float> input(7 * plane);
  int slot = 0;
  for (int d : {out[0].donor, out[0].partner}) {
    const int dy = static_cast<int>(std::lround(std::min<double>(kSm, std::max<double>(-kSm, cy - in.cent[2 * d + 1]))));
    const int dx = static_cast<int>(std::lround(std::min<double>(kSm, std::max<double>(-kSm, cx - in.cent[2 * d]))));
    for (int ch = 0; ch < 3; ++ch)
      for (int r = 0; r < kRows; ++r)
        for (int col = 0; col < kCols; ++col)
          input[(3 * slot + ch) * plane + r * kCols + col] =
              bankBytes[d * in.patchBytes() + ((r + kSm - dy) * in.band_w + col + kSm - dx) * 3 + ch] / 255.0f;
    ++slot;
  }
  std::vector<double> vx(4), vy(4);
  for (int v = 0; v < 4; ++v) vx[v] = px(u[2 * v]), vy[v] = px(u[2 * v + 1]);
  for (int r = 0; r < kRows; ++r)
    for (int col = 0; col < kCols; ++col) {
      const double qx = x0 + col, qy = y0 + r;
      bool inside = false;
      double dist = 1e300;
      for (int a = 0, e = 3; a < 4; e = a++) {
        if ((vy[a] > qy) != (vy[e] > qy) && qx < (vx[e] - vx[a]) * (qy - vy[a]) / (vy[e] - vy[a]) + vx[a])
          inside = !inside;
        const double sx = vx[e] - vx[a], sy = vy[e] - vy[a];
        const double t = std::min(1.0, std::max(0.0, ((qx - vx[a]) * sx + (qy - vy[a]) * sy) / (sx * sx + sy * sy)));
        dist = std::min(dist, std::hypot(vx[a] + t * sx - qx, vy[a] + t * sy - qy));
      }
      input[6 * plane + r * kCols + col] = inside ? 1.0f : static_cast<float>(std::max(0.0, 1.0 - dist / feather));
    }
  auto conv = [&](const std::vector<float>& src, int cin, const std::vector<float>& w, const std::vector<float>& bias,
                  int cout, bool relu) {
    std::vector<float> dst(cout * plane);
    for (int co = 0; co < cout; ++co)
      for (int r = 0; r < kRows; ++r)
        for (int col = 0; col < kCols; ++col) {
          float acc = bias[co];
          for (int ci = 0; ci < cin; ++ci)
            for (int dy = -1; dy <= 1; ++dy)
              for (int dx = -1; dx <= 1; ++dx) {
                if (r + dy < 0 || r + dy >= kRows || col + dx < 0 || col + dx >= kCols) continue;
                acc += w[((co * cin + ci) * 3 + dy + 1) * 3 + dx + 1] * src[ci * plane + (r + dy) * kCols + col + dx];
              }
          dst[co * plane + r * kCols + col] = relu ? std::max(acc, 0.0f) : acc;
        }
    return dst;
  };
  const auto logit = conv(conv(conv(input, 7, h.cand0_w, h.cand0_b, 16, true), 16, h.cand2_w, h.cand2_b, 16, true), 16,
                          h.cand4_w, h.cand4_b, 1, false);
  std::vector<float> blend(3 * plane);
  for (size_t i = 0; i < plane; ++i) {
    const float a = 1.0f / (1.0f + std::exp(-logit[i]));
    for (int ch = 0; ch < 3; ++ch) blend[ch * plane + i] = a * input[ch * plane + i] + (1.0f - a) * input[(3 + ch) * plane + i];
  }
  const auto res = conv(conv(blend, 3, h.syn0_w, h.syn0_b, 16, true), 16, h.syn2_w, h.syn2_b, 1, false);
  int masked = 0;
  for (int ch = 0; ch < 3; ++ch)
    for (int y = 0; y < kCrop; ++y)
      for (int x = 0; x < kCrop; ++x) {
        const size_t k = (static_cast<size_t>(ch) * kCrop + y) * kCrop + x;
        const bool inBand = y >= y0 && y < y0 + kRows && x >= x0 && x < x0 + kCols;
        const float m = inBand ? input[6 * plane + (y - y0) * kCols + (x - x0)] : 0.0f;
        if (m == 0.0f) {
          ASSERT_EQ(crop[k], before[k]) << "unmasked pixel changed at ch " << ch << " (" << x << ", " << y << ")";
          continue;
        }
        ++masked;
        const size_t i = static_cast<size_t>(y - y0) * kCols + (x - x0);
        const float v = std::min(1.0f, std::max(0.0f, blend[ch * plane + i] + h.envelope * std::tanh(res[i])));
        ASSERT_NEAR(crop[k], before[k] * (1.0f - m) + v * m, 1e-6f) << "ch " << ch << " (" << x << ", " << y << ")";
      }
  // The contour sits inside the band with the head's reach to spare on every side.
  EXPECT_GT(masked, 3 * 100);
  EXPECT_LT(masked, 3 * static_cast<int>(plane) / 2);
}

}  // namespace
