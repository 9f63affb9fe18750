// Where a bundle keeps its teeth members, the rule that arms the borrow, the
// members' cross-checks, the geometry stamp, the JSON reader and the C view.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <cstring>

#include "le/le.h"
#include "support/test_support.h"
#include "tessera/le_bundle_tessera.h"
#include "tessera/le_tessera.h"

namespace {

using ::testing::HasSubstr;
using ::testing::StartsWith;

const char* const kStamp =
    R"({"canvas_w":64,"canvas_h":64,"window_x0":16,"window_y0":32,"window_w":32,"window_h":16,)"
    R"("pad":4,"band_r0":2,"band_r1":14,"band_c0":4,"band_c1":28,"shift_margin":2})";

std::string sidecar(const std::string& order = "[1,0]", int n = 2,
                    const std::string& extra = R"(,"codec":{"codec":"h264","pix_fmt":"gbrp"})") {
  std::string cent, ap;
  for (int i = 0; i < n; ++i) {
    cent += (i ? "," : "") + std::string("[") + std::to_string(i) + ",2]";
    ap += (i ? "," : "") + std::to_string(0.1 * i);
  }
  return R"({"format":"tessera_bank.v1","n_donors":)" + std::to_string(n) +
         R"(,"geometry":)" + kStamp + R"(,"track_order":)" + order + R"(,"cent":[)" + cent +
         R"(],"aperture":[)" + ap + R"(],"c_canon":[1.5,2.5])" + extra + "}";
}

// A bundle directory with the four default members and the given manifest.
struct Bundle {
  le::test::TempDir dir;
  explicit Bundle(const std::string& manifest = R"({"format":"x"})",
                  const std::string& side = sidecar()) {
    le::test::writeFile(dir / "manifest.json", manifest);
    le::test::writeFile(dir / "tessera_bank.v1.mp4", "mp4");
    le::test::writeFile(dir / "tessera_bank.v1.json", side);
    le::test::writeFile(dir / "tessera_head.v1.pt", std::string("PK\0\1", 4));
    le::test::writeFile(dir / "tessera_head.v1.json", "{}");
  }
  std::string loadError() const {
    try {
      (void)le::loadTesseraMembers(dir.path());
    } catch (const std::exception& e) {
      return e.what();
    }
    return "(loaded)";
  }
};

const std::string kRuling =
    ". ONE predicate (owner ruling 2026-09-06): all four members present = ARMED on every plane; "
    "any missing = REFUSED on every plane. The borrow is a SWITCH, not a gradient — there is no "
    "rendering mode that proceeds without them (vellum-2 IS borrowed teeth). Re-stage the bundle "
    "with the bank builder.";

TEST(TesseraCarriage, DefaultsOverridesPlanesAndTheRefusal) {
  Bundle plain;
  le::TesseraCarriage c = le::tesseraCarriage(plain.dir.path());
  EXPECT_TRUE(c.complete);
  EXPECT_FALSE(c.declared);
  EXPECT_EQ(c.path("head_config"), plain.dir / "tessera_head.v1.json");
  EXPECT_THROW(c.path("lip"), std::runtime_error);
  le::requireTesseraMembers(c);

  // An empty override keeps the default; a named one that is absent is missing.
  Bundle over(R"({"tessera":{"members":{"bank_track":"","head_weights":"h.pt"},"planes":["a",3,"b"]}})");
  c = le::tesseraCarriage(over.dir.path());
  EXPECT_TRUE(c.declared);
  EXPECT_EQ(c.planes, (std::vector<std::string>{"a", "b"}));
  EXPECT_EQ(c.missing, std::vector<std::string>{"head_weights"});
  try {
    le::requireTesseraMembers(c);
    FAIL();
  } catch (const le::MissingTesseraMember& e) {
    EXPECT_EQ(std::string(e.what()),
              "missing teeth member(s): head_weights (h.pt) — carries 3 of 4 and declares a "
              "manifest.tessera block the members do not keep" + kRuling);
    EXPECT_EQ(e.missing(), c.missing);
  }

  // An unreadable manifest leaves the defaults; no "declares" clause then.
  Bundle broken("{\"tessera\":");
  std::remove((broken.dir / "tessera_bank.v1.mp4").c_str());
  std::remove((broken.dir / "tessera_head.v1.json").c_str());
  c = le::tesseraCarriage(broken.dir.path());
  EXPECT_FALSE(c.declared);
  try {
    le::requireTesseraMembers(c);
    FAIL();
  } catch (const le::MissingTesseraMember& e) {
    EXPECT_EQ(std::string(e.what()),
              "missing teeth member(s): bank_track (tessera_bank.v1.mp4), head_config "
              "(tessera_head.v1.json) — carries 2 of 4" + kRuling);
  }
}

TEST(TesseraMembers, LoadsTheSidecarAndTheManifestDescription) {
  Bundle b(R"({"tessera":{"bank_pix_fmt":"rgb24","bank_container":7,"geometry":)" + std::string(kStamp) + "}}");
  le::test::writeFile(b.dir / "lip_template.v1.json", "{}");
  const le::TesseraAttachInputs in = le::loadTesseraMembers(b.dir.path());
  EXPECT_EQ(in.n_donors, 2);
  EXPECT_EQ(in.track_order, (std::vector<int32_t>{1, 0}));
  EXPECT_EQ(in.cent, (std::vector<double>{0, 2, 1, 2}));
  EXPECT_DOUBLE_EQ(in.c_canon[1], 2.5);
  EXPECT_EQ(in.stamp.shift_margin, 2);
  EXPECT_EQ(in.band_w, 28);  // 28 - 4 + 2 * 2
  EXPECT_EQ(in.band_h, 16);  // 14 - 2 + 2 * 2
  EXPECT_EQ(in.bank_pix_fmt, "rgb24");  // the manifest wins
  EXPECT_EQ(in.bank_codec, "h264");     // the sidecar's default
  EXPECT_EQ(in.bank_container, "mp4");  // a non-string counts as absent
  EXPECT_EQ(in.bank_packing, "rgb24_frames");
  EXPECT_EQ(in.lip_template_json, "{}");
  EXPECT_EQ(in.head_pt.size(), 4u);
  EXPECT_EQ(in.bank_track_path, b.dir / "tessera_bank.v1.mp4");
}

TEST(TesseraMembers, EveryCrossCheckRefusesWithItsReason) {
  const std::string side = "tessera_bank.v1.json";
  EXPECT_EQ(Bundle("{}", sidecar("[1,1]")).loadError(),
            side + " track_order is not a permutation (reference 1 appears twice) — the inverse "
                   "permutation would leave a reference slot never written and the pass would "
                   "blend uninitialised memory into a real mouth.");
  EXPECT_EQ(Bundle("{}", sidecar("[0,2]")).loadError(), side + " track_order[1]=2 is outside [0,2)");
  EXPECT_EQ(Bundle("{}", sidecar("[0]")).loadError(),
            side + " says n_donors=2 but carries track_order=1, cent=2, aperture=2 — a count "
                   "mismatch silently mis-orders the donors.");
  std::string order;
  for (int i = 0; i < 1025; ++i) order += (i ? "," : "") + std::to_string(i);
  EXPECT_EQ(Bundle("{}", sidecar("[" + order.substr(0, order.rfind(',')) + "]", 1024)).loadError(),
            "(loaded)");
  EXPECT_THAT(Bundle("{}", sidecar("[" + order + "]", 1025)).loadError(),
              StartsWith(side + " carries n_donors=1025, over the owner's cap of 1024 (ruling 2026-08-28). "
                                "This reader REFUSES rather than capping"));
  std::string moved = kStamp;
  moved.replace(moved.find("\"shift_margin\":2"), 16, "\"shift_margin\":1");
  const std::string mStamp =
      "{canvas_w=64, canvas_h=64, window_x0=16, window_y0=32, window_w=32, window_h=16, pad=4, "
      "band_r0=2, band_r1=14, band_c0=4, band_c1=28, shift_margin=";
  EXPECT_EQ(Bundle(R"({"tessera":{"geometry":)" + moved + "}}").loadError(),
            "teeth geometry DISAGREES between the manifest and the bank sidecar — manifest " + mStamp +
                "1} vs " + mStamp +
                "2}; refusing to place a window on a rectangle the two halves of the bundle do not "
                "agree on.");
  EXPECT_EQ(Bundle("{}", sidecar("[1,0]", 2, "")).loadError(),
            side + ": neither manifest.tessera.bank_pix_fmt nor " + side +
                ".codec.pix_fmt states the reference track's pixel format. A decoder handed no "
                "format negotiates one, and the one it settles on is 4:2:0 — lossy chroma on "
                "reference pixels IS the borrow degrading. Refusing rather than letting it guess.");
  EXPECT_EQ(Bundle("{}", R"({"format":"tessera_bank.v2"})").loadError(),
            side + " declares format 'tessera_bank.v2', not 'tessera_bank.v1' — this reader does not "
                   "know that generation and will not guess at its keys.");
  EXPECT_EQ(Bundle("{}", R"({"format":"tessera_bank.v1","geometry":{"canvas_w":1}})").loadError(),
            "teeth: " + side + ".geometry lacks numeric 'canvas_h'");
  EXPECT_EQ(Bundle("{}", "[1,").loadError(), "teeth: " + side + " is not readable JSON: teeth: JSON truncated");
  EXPECT_EQ(Bundle("{}", sidecar("[1,0]", 2, R"(,"cent":[[1],[2,3]],"codec":{"pix_fmt":"gbrp"})")).loadError(),
            "(loaded)");  // the first "cent" wins

  Bundle noManifest;
  std::remove((noManifest.dir / "manifest.json").c_str());
  EXPECT_EQ(noManifest.loadError(),
            noManifest.dir.path() +
                " carries no manifest.json or meta.json — the compose descriptor (unified.pi) the "
                "pass places its window by lives there, and placing a borrow window without it is "
                "guessing.");
}

TEST(GeometryStamp, ListsEveryViolatedRuleInOrder) {
  le::GeometryStamp s;
  EXPECT_EQ([&] {
    try {
      s.validate();
    } catch (const std::runtime_error& e) {
      return std::string(e.what());
    }
    return std::string();
  }(),
            "teeth: GeometryStamp incoherent: window dims must be positive; band rows escape window; "
            "band cols escape window; pad/shift_margin must be positive;");
  s = {64, 64, 16, 32, 32, 16, 4, 2, 14, 4, 28, 2};
  s.validate();
  s.window_x0 = 40;  // 40 + 32 > 64
  s.shift_margin = 9;  // pad + band_r0 = 6 < 9 and pad + band_c0 = 8 < 9
  EXPECT_THROW(
      try { s.validate(); } catch (const std::runtime_error& e) {
        EXPECT_STREQ(e.what(),
                     "teeth: GeometryStamp incoherent: window x-range escapes canvas; stored band "
                     "rows escape patch; stored band cols escape patch;");
        throw;
      },
      std::runtime_error);
}

TEST(TesseraJson, ReaderRulesAndDepthBound) {
  namespace js = le::tessera::json;
  const js::JVal v = js::parse(R"( {"a":"x\ty\u00e9\"","a":2,"b":[true,false,null,-1.5e1]} trailing)");
  EXPECT_EQ(v.get("a")->str, "x\ty?\"");
  EXPECT_EQ(v.obj.size(), 3u);
  EXPECT_EQ(v.get("b")->arr[3].num, -15.0);
  EXPECT_EQ(v.get("b")->arr[2].kind, js::JVal::Kind::Null);
  auto err = [](const std::string& t) {
    try {
      (void)js::parse(t);
    } catch (const std::runtime_error& e) {
      return std::string(e.what());
    }
    return std::string("(parsed)");
  };
  EXPECT_EQ(err("  "), "teeth: JSON truncated");
  EXPECT_EQ(err("{1:2}"), "teeth: malformed JSON object");
  EXPECT_EQ(err("[1 2]"), "teeth: malformed JSON array");
  EXPECT_EQ(err("[x]"), "teeth: bad JSON number");
  EXPECT_EQ(err("\"abc"), "teeth: JSON truncated");
  EXPECT_EQ(err(std::string(100000, '[')), "teeth: JSON nested deeper than 256 levels");
  EXPECT_EQ(js::fmt2(0.125), "0.12");
}

TEST(TesseraReorder, PlacesTrackPatchesInDonorSlots) {
  le::TesseraAttachInputs in;
  in.n_donors = 2;
  in.track_order = {1, 0};
  in.band_w = 1;
  in.band_h = 1;
  const uint8_t track[6] = {1, 2, 3, 4, 5, 6};
  uint8_t out[6] = {};
  le::reorderTrackToDonor(in, track, out);
  EXPECT_EQ(std::vector<uint8_t>(out, out + 6), (std::vector<uint8_t>{4, 5, 6, 1, 2, 3}));
  EXPECT_THROW(le::reorderTrackToDonor(in, nullptr, out), std::runtime_error);
  in.track_order = {0};
  try {
    le::reorderTrackToDonor(in, track, out);
  } catch (const std::runtime_error& e) {
    EXPECT_STREQ(e.what(), "teeth: track_order does not match n_donors");
  }
  in.track_order = {1, 0};
  in.band_w = 0;
  try {
    le::reorderTrackToDonor(in, track, out);
  } catch (const std::runtime_error& e) {
    EXPECT_STREQ(e.what(), "teeth: zero reference stride");
  }
}

TEST(TesseraCApi, SlotsCarriageMembersAndErrorBuffers) {
  EXPECT_EQ(le_tessera_slot_count(), 4);
  EXPECT_STREQ(le_tessera_slot_key(2), "head_weights");
  EXPECT_EQ(le_tessera_slot_key(4), nullptr);
  EXPECT_EQ(le_tessera_slot_key(-1), nullptr);

  Bundle b;
  std::remove((b.dir / "tessera_head.v1.pt").c_str());
  le_tessera_carriage* c = le_tessera_carriage_open(b.dir.path().c_str());
  ASSERT_NE(c, nullptr);
  EXPECT_EQ(le_tessera_carriage_complete(c), 0);
  EXPECT_EQ(le_tessera_carriage_missing_count(c), 1);
  EXPECT_STREQ(le_tessera_carriage_missing(c, 0), "head_weights");
  EXPECT_EQ(le_tessera_carriage_missing(c, 1), nullptr);
  EXPECT_EQ(le_tessera_carriage_path(c, "bank_sidecar"), b.dir / "tessera_bank.v1.json");
  EXPECT_STREQ(le_tessera_carriage_path(c, "nope"), "");
  le_tessera_carriage_close(c);
  EXPECT_EQ(le_tessera_carriage_complete(nullptr), 0);
  EXPECT_STREQ(le_tessera_carriage_path(nullptr, "bank_track"), "");

  char err[8];
  std::memset(err, 'z', sizeof err);
  EXPECT_EQ(le_tessera_members_open(b.dir.path().c_str(), err, 5), nullptr);
  EXPECT_STREQ(err, "miss");  // n - 1 characters, terminated
  EXPECT_EQ(err[5], 'z');
  EXPECT_EQ(le_tessera_members_open(b.dir.path().c_str(), nullptr, 5), nullptr);
  std::memset(err, 'z', sizeof err);
  EXPECT_EQ(le_tessera_members_open(nullptr, err, 0), nullptr);
  EXPECT_EQ(err[0], 'z');
  char big[128];
  EXPECT_EQ(le_tessera_members_open(nullptr, big, sizeof big), nullptr);
  EXPECT_STREQ(big, "le_tessera_members_open: null bundle_dir");

  le::test::writeFile(b.dir / "tessera_head.v1.pt", "0123");
  le_tessera_members* m = le_tessera_members_open(b.dir.path().c_str(), big, sizeof big);
  ASSERT_NE(m, nullptr) << big;
  EXPECT_STREQ(big, "");
  EXPECT_EQ(le_tessera_members_n_donors(m), 2);
  EXPECT_EQ(le_tessera_members_stamp(m)[11], 2);
  EXPECT_EQ(le_tessera_members_head_pt_len(m), 4u);
  EXPECT_EQ(le_tessera_members_band_bytes(m), 2u * 16 * 28 * 3);
  const int32_t* order = le_tessera_members_track_order(m);
  ASSERT_NE(order, nullptr);
  EXPECT_EQ(std::vector<int32_t>(order, order + 2), (std::vector<int32_t>{1, 0}));
  EXPECT_STREQ(le_tessera_members_bank_pix_fmt(m), "gbrp");
  EXPECT_STREQ(le_tessera_members_lip_template_json(m), "");
  std::vector<uint8_t> track(le_tessera_members_band_bytes(m), 7), out(track.size());
  EXPECT_EQ(le_tessera_members_reorder(m, track.data(), out.data(), big, sizeof big), 0);
  EXPECT_EQ(le_tessera_members_reorder(m, nullptr, out.data(), big, sizeof big), 1);
  EXPECT_STREQ(big, "le_tessera_members_reorder: null argument");
  le_tessera_members_close(m);
  EXPECT_EQ(le_tessera_members_n_donors(nullptr), 0);
  EXPECT_EQ(le_tessera_members_cent(nullptr), nullptr);
  EXPECT_STREQ(le_tessera_members_head_json(nullptr), "");
}

}  // namespace
