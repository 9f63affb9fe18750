// The lip template reader: every refusal, in the order the checks run.
#include <gtest/gtest.h>

#include "tessera/le_lip_contour.h"

namespace {

using le::tessera::LipContour;

std::string tmpl(const std::string& edge = "", const std::string& canvas = "512",
                 const std::string& feather = "3", const std::string& u = "[[1,2],[3,4],[5,6]]",
                 const std::string& idx = "[0,20]") {
  return R"({"format":"lip-template-v1",)" + edge + R"("canvas":)" + canvas + R"(,"feather_px":)" +
         feather + R"(,"u_canon":)" + u + R"(,"lip_idx":)" + idx + "}";
}

std::string err(const std::string& text) {
  try {
    (void)LipContour::fromTemplateJson(text, 512);
  } catch (const std::runtime_error& e) {
    return e.what();
  }
  return "(accepted)";
}

TEST(LipContour, AcceptsWhatTheRuntimeCanServe) {
  const LipContour c = LipContour::fromTemplateJson(tmpl(R"("edge":"outward",)", "512.9", "0.5"), 512);
  EXPECT_EQ(c.canvas(), 512);
  EXPECT_FLOAT_EQ(c.featherPx(), 0.5f);
  EXPECT_EQ(c.vertexCount(), 3);
  EXPECT_EQ(c.uCanon()[5], 6.0);
  EXPECT_EQ(c.lipIdx(), (std::vector<int32_t>{0, 20}));
  EXPECT_EQ(err(tmpl(R"("edge":4,)")), "(accepted)");
}

TEST(LipContour, RefusesEachFaultWithItsText) {
  const std::string f = "lip_template.v1.json: ";
  EXPECT_EQ(err("{"), f + "is not parseable JSON (teeth: JSON truncated)");
  EXPECT_EQ(err("[1]"), f + "is not a JSON object");
  EXPECT_EQ(err(R"({"format":1})"), f + "carries no string `format`");
  EXPECT_EQ(err(R"({"format":"lip-template-v2"})"),
            f + "declares format 'lip-template-v2', not 'lip-template-v1' — this runtime cannot read it");
  EXPECT_EQ(err(tmpl(R"("edge":"inward","edge":"outward",)")),
            f + "declares edge 'inward', and the contour feather is OUTWARD — refusing to serve a "
                "mask this runtime does not compute");
  EXPECT_EQ(err(tmpl("", "\"512\"")), f + "carries no numeric `canvas`");
  EXPECT_EQ(err(tmpl("", "256")),
            f + "was baked on a 256 canvas but this bundle composes on 512 — refusing to deform a "
                "polygon onto a canvas it does not name");
  EXPECT_EQ(err(tmpl("", "512", "null")), f + "carries no numeric `feather_px`");
  EXPECT_EQ(err(tmpl("", "512", "0")), f + "declares feather_px 0.00, which is not positive");
  EXPECT_EQ(err(tmpl("", "512", "1", "[]")), f + "carries no non-empty `u_canon` array");
  EXPECT_EQ(err(tmpl("", "512", "1", "[[1,2],[1,2,3]]")),
            f + "u_canon row 1 is not a 2-vector — this is not an nv x 2 template");
  EXPECT_EQ(err(tmpl("", "512", "1", "[[1,2]]", "{}")),
            f + "carries a `lip_idx` that is not a non-empty array");
  EXPECT_EQ(err(tmpl("", "512", "1", "[[1,2]]", "[3,21]")),
            f + "lip_idx names keypoint row 21, and a kd row is 0..20");
}

}  // namespace
