// The borrow pass on a small synthetic bank: donor choice and its temporal
// rules, input order under the hold/flush rule, and what the composition
// touches.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

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

}  // namespace
