// The demo bake's teeth members read end to end: members, stamp, bank track,
// head, serve configuration and lip template.
#include <gtest/gtest.h>

#include "support/bake_fixtures.h"
#include "bundle/le_bundle.h"
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

}  // namespace
