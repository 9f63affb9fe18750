// The demo bake's teeth members read end to end: members, stamp, bank track,
// head, serve configuration and lip template.
#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <vector>

#include "support/bake_fixtures.h"
#include "bundle/le_bundle.h"
#include "le/le.h"
#include "tessera/le_bankdec_ff.h"
#include "tessera/le_bundle_tessera.h"
#include "tessera/le_lip_contour.h"
#include "tessera/le_tessera.h"

namespace {

TEST(BakedTessera, MembersBankHeadAndTemplateAllLoad) {
  const std::string dir = le::test::bakeFixture("tiny_tessera");
  const le::Manifest m = le::loadManifest(dir);
  const le::TesseraAttachInputs in = le::loadTesseraMembers(m);
  in.stamp.validate();
  EXPECT_EQ(in.stamp.canvas_w, m.crop);
  EXPECT_EQ(in.bank_pix_fmt, "gbrp");

  const std::string track = le::readFile(in.bank_track_path);
  const std::vector<uint8_t> bank = le::tessera::decodeBankTrack(
      reinterpret_cast<const uint8_t*>(track.data()), track.size(), in.n_donors, in.band_h,
      in.band_w, in.track_order);
  ASSERT_EQ(bank.size(), static_cast<size_t>(in.n_donors) * in.patchBytes());
  // Donors are drawn at increasing apertures, so in donor order the opening
  // (every pixel that is not the flat lip around it: cavity, teeth, tongue)
  // only grows: a patch left in track order would break the run.
  int previous = -1;
  for (int d = 0; d < in.n_donors; ++d) {
    int opening = 0;
    for (size_t p = 0; p < in.patchBytes(); p += 3) {
      const uint8_t* px = &bank[static_cast<size_t>(d) * in.patchBytes() + p];
      opening += !(px[0] >= 120 && px[1] < 100);
    }
    EXPECT_GE(opening, previous) << "donor " << d;
    previous = opening;
  }
  EXPECT_GT(previous, 0);

  EXPECT_EQ(le::tessera::loadHeadPt(in.head_pt).params(), le::tessera::kBlendHeadParams);
  EXPECT_TRUE(le::tessera::ServeConfig::fromHeadMemberJson(in.head_json).v1);
  const le::tessera::LipContour lip = le::tessera::LipContour::fromTemplateJson(in.lip_template_json, m.crop);
  EXPECT_GE(lip.vertexCount(), 3);
}

// The offline runners over the baked members: open mouths are repainted in
// place inside the mouth band, closed ones are left alone, and the shift
// moves which driving row each crop is read with.
TEST(BakedTessera, RunnersRepaintOpenMouthsInPlaceAndShiftTheDrivingRows) {
  const std::string dir = le::test::bakeFixture("tiny_tessera");
  const le::Manifest m = le::loadManifest(dir);
  const le::GeometryStamp g = le::loadTesseraMembers(m).stamp;
  const std::string xsText = le::readFile(dir + "/xs_target.bin");
  std::vector<float> closed(63);
  std::memcpy(closed.data(), xsText.data(), sizeof(float) * 63);
  std::vector<float> open = closed;
  const float width = std::fabs(closed[3 * 12] - closed[3 * 11]);
  open[3 * 15 + 1] = open[3 * 14 + 1] + 0.35f * width;
  const int n = 3;
  std::vector<float> xs, xd;
  for (int i = 0; i < n; ++i) xs.insert(xs.end(), closed.begin(), closed.end());
  for (const auto* row : {&closed, &open, &closed}) xd.insert(xd.end(), row->begin(), row->end());

  const size_t side = static_cast<size_t>(m.crop), plane = side * side;
  // Which crops changed, and that nothing outside the band did.
  auto changed = [&](const std::vector<float>& crops) {
    std::vector<bool> out(n, false);
    for (int i = 0; i < n; ++i) {
      for (size_t k = 0; k < 3 * plane; ++k) {
        if (crops[i * 3 * plane + k] == 0.5f) continue;
        out[i] = true;
        const int y = static_cast<int>(k % plane / side), x = static_cast<int>(k % side);
        EXPECT_TRUE(y >= g.window_y0 + g.band_r0 && y < g.window_y0 + g.band_r1 && x >= g.window_x0 + g.band_c0 &&
                    x < g.window_x0 + g.band_c1)
            << "crop " << i << " changed at " << x << "," << y;
      }
    }
    return out;
  };
  char err[256] = "x";
  std::vector<float> crops(n * 3 * plane, 0.5f);
  ASSERT_EQ(le_tessera_run(dir.c_str(), crops.data(), n, xs.data(), xd.data(), err, sizeof err), 1) << err;
  EXPECT_STREQ(err, "");
  EXPECT_EQ(changed(crops), (std::vector<bool>{false, true, false}));
  for (const auto& [shift, expect] : {std::pair<int, std::vector<bool>>{1, {true, false, false}},
                                      {-1, {false, false, true}}, {5, {false, false, false}}}) {
    std::fill(crops.begin(), crops.end(), 0.5f);
    ASSERT_EQ(le_tessera_run_shift(dir.c_str(), crops.data(), n, xs.data(), xd.data(), shift, err, sizeof err), 1)
        << err;
    EXPECT_EQ(changed(crops), expect) << "shift " << shift;
  }

  // A bundle without the members: refused, the crops untouched.
  std::fill(crops.begin(), crops.end(), 0.5f);
  EXPECT_EQ(le_tessera_run(le::test::bakeFixture("tiny").c_str(), crops.data(), n, xs.data(), xd.data(), err,
                           sizeof err),
            0);
  EXPECT_EQ(std::string(err).rfind("le_tessera_run: missing teeth member(s): bank_track", 0), 0u) << err;
  EXPECT_EQ(changed(crops), (std::vector<bool>{false, false, false}));
}

}  // namespace
