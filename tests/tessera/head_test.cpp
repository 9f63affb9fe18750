// The head checkpoint reader over checkpoints torch.save wrote (and damaged
// copies of them), and the serve configuration reader.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>

#include "support/test_support.h"
#include "tessera/le_tessera.h"

namespace {

using le::tessera::HeadWeights;
using le::tessera::loadHeadPt;
using le::tessera::ServeConfig;
using ::testing::HasSubstr;

std::vector<uint8_t> head(const std::string& name) {
  const std::string s = le::test::readWhole(std::string(LE_TESSERA_HEADS) + "/" + name);
  return std::vector<uint8_t>(s.begin(), s.end());
}

std::string loadError(const std::string& name) {
  try {
    (void)loadHeadPt(head(name));
  } catch (const std::runtime_error& e) {
    return e.what();
  }
  return "(loaded)";
}

TEST(HeadPt, BothArchitecturesLoadWithTheirValues) {
  const HeadWeights full = loadHeadPt(head("full.pt"));
  EXPECT_EQ(full.params(), 4082);
  EXPECT_TRUE(full.hasSynthesis());
  EXPECT_FLOAT_EQ(full.envelope, 12.0f / 255.0f);
  const std::string ref = le::test::readWhole(std::string(LE_TESSERA_HEADS) + "/full.f32");
  ASSERT_EQ(ref.size(), 4082u * 4);
  std::vector<float> got;
  for (const auto* v : {&full.cand0_w, &full.cand0_b, &full.cand2_w, &full.cand2_b, &full.cand4_w,
                        &full.cand4_b, &full.syn0_w, &full.syn0_b, &full.syn2_w, &full.syn2_b}) {
    got.insert(got.end(), v->begin(), v->end());
  }
  EXPECT_EQ(std::memcmp(got.data(), ref.data(), ref.size()), 0);

  const HeadWeights cand = loadHeadPt(head("cand.pt"));
  EXPECT_EQ(cand.params(), 3489);
  EXPECT_FALSE(cand.hasSynthesis());
  EXPECT_TRUE(cand.syn2_b.empty());
}

TEST(HeadPt, DamagedCheckpointsAreRefusedWithTheirReason) {
  EXPECT_EQ(loadError("deflated.pkl.pt"),
            "teeth: head .pt entry is DEFLATEd; torch writes ZIP_STORED — refusing to guess at a "
            "compressed member");
  EXPECT_EQ(loadError("dup.pt"), "teeth: head .pt names 'cand.2.bias' 2 times — ambiguous");
  EXPECT_EQ(loadError("double.pt"),
            "teeth: head .pt storage is torch.DoubleStorage, not torch FloatStorage — refusing to "
            "reinterpret it");
  EXPECT_EQ(loadError("truncated.pt"), "teeth: pickle truncated");
  EXPECT_EQ(loadError("global.pt"), "teeth: head .pt calls os.system");
  EXPECT_THAT(loadError("small_storage.pt"), ::testing::MatchesRegex("teeth: head storage .* too small"));
  EXPECT_EQ(loadError("half_syn.pt"), "teeth: head .pt lacks 'syn.0.bias'");
  EXPECT_EQ(loadError("shape.pt"), "teeth: head 'cand.4.bias' has shape [2], expected [1]");
}

TEST(HeadPt, BrokenContainersAndPicklesAreRefused) {
  auto err = [](std::vector<uint8_t> b) {
    try {
      (void)loadHeadPt(b);
    } catch (const std::runtime_error& e) {
      return std::string(e.what());
    }
    return std::string("(loaded)");
  };
  EXPECT_EQ(err(std::vector<uint8_t>(21, 0)), "teeth: head .pt is not a zip");
  EXPECT_EQ(err(std::vector<uint8_t>(64, 0)), "teeth: head .pt has no zip EOCD");

  // An opcode outside the subset (APPEND), then an empty state dictionary,
  // each in an otherwise valid checkpoint: swap the data.pkl bytes in place.
  std::vector<uint8_t> b = head("cand.pt");
  const char* const tag = "cand/data.pkl";
  auto it = std::search(b.begin(), b.end(), tag, tag + std::strlen(tag));
  ASSERT_NE(it, b.end());
  // The local header's name is followed by its extra field, then the data.
  const size_t local = static_cast<size_t>(it - b.begin()) - 30;
  const size_t data = local + 30 + (b[local + 26] | b[local + 27] << 8) + (b[local + 28] | b[local + 29] << 8);
  std::vector<uint8_t> bad = b;
  bad[data] = 'a';
  EXPECT_EQ(err(bad), "teeth: unsupported pickle opcode 0x61 in head .pt");
  bad = b;
  const uint8_t empty[] = {0x80, 2, '}', '.'};
  std::memcpy(&bad[data], empty, sizeof empty);
  EXPECT_EQ(err(bad), "teeth: head .pt state_dict is empty");
  bad = b;
  const uint8_t get[] = {0x80, 2, 'h', 200};
  std::memcpy(&bad[data], get, sizeof get);
  EXPECT_EQ(err(bad), "teeth: pickle BINGET out of range");
}

TEST(ServeConfig, ReadsTheV1SchemaAndRefusesAnythingElse) {
  const std::string ok =
      R"({"retrieval":{"kshort":8.9,"aperture_tol":0.15,"K":2},)"
      R"("temporal":{"cut":3,"hysteresis":2,"lookahead":-1.5},"decode":{"envelope_clamp_255":12.0000005}})";
  const ServeConfig c = ServeConfig::fromHeadMemberJson("  \n" + ok);
  EXPECT_EQ(c.kshort, 8);
  EXPECT_DOUBLE_EQ(c.aperture_tol, 0.15);
  EXPECT_EQ(c.K, 2);
  EXPECT_EQ(c.cut, 3);
  EXPECT_EQ(c.hysteresis, 2);
  EXPECT_EQ(c.lookahead, -1);
  EXPECT_TRUE(c.v1);

  auto err = [](const std::string& j) {
    try {
      (void)ServeConfig::fromHeadMemberJson(j);
    } catch (const std::runtime_error& e) {
      return std::string(e.what());
    }
    return std::string("(loaded)");
  };
  EXPECT_EQ(err(R"({"retrieval":{},"kshort":1})"),
            "teeth: tessera_head.v1 config lacks the retrieval/temporal blocks of the v1 schema — "
            "refusing to serve defaults (W3-01)");
  EXPECT_EQ(err(R"({"retrieval":{"kshort":1,"aperture_tol":1,"K":1},"temporal":{"cut":1,"lookahead":1}})"),
            "teeth: member JSON lacks key 'hysteresis'");
  std::string thirteen = ok;
  thirteen.replace(thirteen.find("12.0000005"), 10, "13");
  EXPECT_EQ(err(thirteen),
            "teeth: member envelope_clamp_255 != the envelope of record (12/255) — the envelope is "
            "a gated quantity");
}

}  // namespace
