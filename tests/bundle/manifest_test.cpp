// The manifest key scanner and loadManifest's refusals.
#include <gtest/gtest.h>

#include <stdexcept>
#include <string>

#include "bundle/le_bundle.h"
#include "bundle/le_fs.h"
#include "imx_fixture.h"
#include "support/error_text.h"
#include "support/test_support.h"

namespace mk = le::manifest_key;
using le::test::ScopedEnv;
using le::test::StderrCapture;
using le::test::TempDir;
using le::test::writeFile;

namespace {

const char kAmbiguousTail[] =
    "). A loader that picks one silently installs a number nobody checks. Rename the colliding key "
    "(a nested block must not reuse a name the bundle loader reads: NT/frame_count, H, W, "
    "crop/crop_size, amount, sigma, ksize, frames, M_src_w/paste_source_width, "
    "M_src_h/paste_source_height), or produce the bundle with the legacy manifest layout.";

std::string ambiguous(const std::string& key, const std::string& list, int n) {
  return "manifest: key \"" + key + "\" is AMBIGUOUS \xE2\x80\x94 " + std::to_string(n) +
         " scalar occurrences (" + list + kAmbiguousTail;
}

std::string errorOf(const std::string& text, const std::string& key) {
  return le::test::errorOf([&] { mk::scalarValuePos(text, key); });
}

// A complete, valid manifest; `extra` is spliced in before the closing brace.
std::string manifestText(const std::string& extra = "") {
  return "{\"format\": \"le-bundle-v0\", \"agent\": \"anna\", \"NT\": 8, \"H\": 240, \"W\": 320,"
         " \"crop\": 64, \"frames\": 50, \"M_src_w\": 640, \"M_src_h\": 480,"
         " \"unsharp\": {\"amount\": 0.75, \"sigma\": 1.5, \"ksize\": 9}" +
         extra + "}";
}

std::string loadError(const std::string& dir) {
  return le::test::errorOf([&] { le::loadManifest(dir); });
}

}  // namespace

TEST(KeyScan, PositionsDepthsAndScalars) {
  const std::string text = "{\"a\": 1, \"b\": {\"a\" :[2]}, \"c\": [{\"a\":\t{}}], \"a\":  \"s\"}";
  const auto hits = mk::keyHits(text, "a");
  ASSERT_EQ(hits.size(), 4u);
  EXPECT_EQ(hits[0].pos, text.find('1'));
  EXPECT_EQ(hits[0].depth, 1);
  EXPECT_TRUE(hits[0].scalar);
  EXPECT_EQ(hits[1].depth, 2);
  EXPECT_FALSE(hits[1].scalar);
  EXPECT_EQ(hits[2].depth, 3);
  EXPECT_FALSE(hits[2].scalar);
  EXPECT_EQ(hits[3].pos, text.rfind("\"s\""));
  EXPECT_TRUE(hits[3].scalar);
  // Names are compared byte for byte, same length.
  EXPECT_TRUE(mk::keyHits(text, "").empty());
  EXPECT_TRUE(mk::keyHits(text, "A").empty());
  EXPECT_TRUE(mk::keyHits("{\"ab\": 1}", "a").empty());
}

TEST(KeyScan, StringsNeverCountAsKeysOrBrackets) {
  // A quoted text containing a quoted H followed by a colon is a value.
  const std::string text = R"({"note": "x \"H\": 5 { [", "H": 7})";
  const auto hits = mk::keyHits(text, "H");
  ASSERT_EQ(hits.size(), 1u);
  EXPECT_EQ(hits[0].depth, 1);  // the brackets in the string did not nest
  EXPECT_EQ(text[hits[0].pos], '7');
  // Escaped backslash before the closing quote ends the string.
  const std::string t2 = R"({"p": "c:\\", "H": 3})";
  ASSERT_EQ(mk::keyHits(t2, "H").size(), 1u);
  // Escapes in key names are not decoded.
  EXPECT_TRUE(mk::keyHits(R"({"\u0048": 1})", "H").empty());
  EXPECT_EQ(mk::keyHits(R"({"\u0048": 1})", "\\u0048").size(), 1u);
}

TEST(KeyScan, TruncatedAndOddTexts) {
  EXPECT_TRUE(mk::keyHits("", "H").empty());
  EXPECT_TRUE(mk::keyHits("\"", "H").empty());
  EXPECT_TRUE(mk::keyHits("{\"H\"", "H").empty());  // closing quote is the last byte
  const auto colonAtEnd = mk::keyHits("{\"H\":   ", "H");
  ASSERT_EQ(colonAtEnd.size(), 1u);
  EXPECT_FALSE(colonAtEnd[0].scalar);
  EXPECT_EQ(colonAtEnd[0].pos, 8u);
  EXPECT_EQ(mk::scalarValuePos("{\"H\":   ", "H"), mk::npos);
  // Unbalanced closers drive the depth below the root; nothing breaks.
  const auto neg = mk::keyHits("]]]{\"H\": 1}", "H");
  ASSERT_EQ(neg.size(), 1u);
  EXPECT_EQ(neg[0].depth, -2);
  EXPECT_EQ(mk::scalarValuePos("]]]{\"H\": 1}", "H"), 9u);
}

TEST(KeyChoice, RootWinsNestedIsFoundAmbiguityIsRefused) {
  const std::string rootAndNested = R"({"H": 1, "blk": {"H": 2}})";
  EXPECT_EQ(mk::scalarValuePos(rootAndNested, "H"), rootAndNested.find('1'));

  const std::string twiceAtRoot = R"({"H": 1, "H": 22})";
  EXPECT_EQ(errorOf(twiceAtRoot, "H"), ambiguous("H", "byte 6, byte 14", 2));

  const std::string oneBlock = R"({"blk": {"ksize": 9}})";
  EXPECT_EQ(mk::scalarValuePos(oneBlock, "ksize"), oneBlock.find('9'));

  const std::string twoBlocks = R"({"a": {"ksize": 9}, "b": {"ksize": 11}})";
  EXPECT_EQ(errorOf(twoBlocks, "ksize"), ambiguous("ksize", "byte 16, byte 35", 2));

  // Only scalar values take part; an object or array value counts as missing.
  EXPECT_EQ(mk::scalarValuePos(R"({"H": {"x": 1}})", "H"), mk::npos);
  EXPECT_EQ(mk::scalarValuePos(R"({"H": [1], "b": {"H": 3}})", "H"), 22u);
  EXPECT_EQ(mk::scalarValuePos("{}", "H"), mk::npos);
}

TEST(KeyReaders, NumbersStringsAndAliases) {
  const std::string t =
      R"({"ksize": 13.9, "neg": -2.7, "W": "1920", "s": "abc", "e": "", "n": 5})";
  EXPECT_DOUBLE_EQ(mk::numField(t, "ksize"), 13.9);
  EXPECT_DOUBLE_EQ(mk::numField(t, "W"), 0.0);  // a quoted number is not a number
  EXPECT_EQ(mk::strField(t, "s"), "abc");
  std::string out = "keep";
  EXPECT_FALSE(mk::optStr(t, "e", out));
  EXPECT_EQ(out, "keep");
  EXPECT_TRUE(mk::optStr(t, "s", out));
  EXPECT_EQ(out, "abc");
  EXPECT_FALSE(mk::optStr(t, "ksize", out));
  EXPECT_FALSE(mk::optStr(t, "absent", out));
  EXPECT_DOUBLE_EQ(mk::numFieldEither(t, "absent", "n"), 5.0);
  EXPECT_DOUBLE_EQ(mk::numFieldEither(t, "n", "ksize"), 5.0);
  EXPECT_EQ(le::test::errorOf([&] { mk::numFieldEither(t, "NT", "frame_count"); }),
            "manifest: missing key NT/frame_count");
  EXPECT_EQ(le::test::errorOf([&] { mk::strField(R"({"s": 5})", "s"); }), "manifest: bad string s");
  EXPECT_EQ(le::test::errorOf([&] { mk::strField(R"({"s": "open)", "s"); }), "manifest: bad string s");
}

TEST(LoadManifest, ReadsEveryFieldAndTruncates) {
  TempDir t;
  writeFile(t / "manifest.json", manifestText(", \"other\": {\"deep\": [1, 2]}"));
  const le::Manifest m = le::loadManifest(t.path());
  EXPECT_EQ(m.dir, t.path());
  EXPECT_EQ(m.agent, "anna");
  EXPECT_EQ(m.NT, 8);
  EXPECT_EQ(m.H, 240);
  EXPECT_EQ(m.W, 320);
  EXPECT_EQ(m.crop, 64);
  EXPECT_EQ(m.frames, 50);
  EXPECT_EQ(m.msrcW, 640);
  EXPECT_EQ(m.msrcH, 480);
  EXPECT_FLOAT_EQ(m.unsharp.amount, 0.75f);
  EXPECT_FLOAT_EQ(m.unsharp.sigma, 1.5f);
  EXPECT_EQ(m.unsharp.ksize, 9);

  std::string text = manifestText();
  text.replace(text.find("\"ksize\": 9"), 10, "\"ksize\": 13.9");
  text.replace(text.find("\"NT\": 8"), 7, "\"frame_count\": 8");
  text.replace(text.find("\"crop\": 64"), 10, "\"crop_size\": 64.99");
  writeFile(t / "manifest.json", text);
  const le::Manifest m2 = le::loadManifest(t.path());
  EXPECT_EQ(m2.unsharp.ksize, 13);
  EXPECT_EQ(m2.NT, 8);
  EXPECT_EQ(m2.crop, 64);
}

TEST(LoadManifest, RefusalsNameTheProblem) {
  TempDir t;
  const std::string d = t.path();
  EXPECT_EQ(loadError(d), "cannot open " + d + "/manifest.json");
  {
    // A directory where the manifest should be cannot be opened either
    // (stdio would open it and report an absurd size).
    TempDir t2;
    le::fs::mkdirs(t2 / "manifest.json");
    EXPECT_EQ(loadError(t2.path()), "cannot open " + (t2 / "manifest.json"));
    EXPECT_THROW(le::readText(t2 / "manifest.json"), std::runtime_error);
  }

  auto with = [&](const std::string& from, const std::string& to) {
    std::string text = manifestText();
    const size_t at = text.find(from);
    EXPECT_NE(at, std::string::npos) << from;
    text.replace(at, from.size(), to);
    writeFile(t / "manifest.json", text);
    return loadError(d);
  };
  EXPECT_EQ(with("\"format\": \"le-bundle-v0\", ", ""), "manifest: missing key format");
  EXPECT_EQ(with("le-bundle-v0", "le-bundle-v1"), "not an le-bundle-v0: " + d);
  EXPECT_EQ(with("\"NT\": 8, ", ""), "manifest: missing key NT/frame_count");
  EXPECT_EQ(with("\"crop\": 64,", ""), "manifest: missing key crop/crop_size");
  EXPECT_EQ(with("\"H\": 240, ", ""), "manifest: missing key H");
  EXPECT_EQ(with("\"frames\": 50, ", ""), "manifest: missing key frames");
  EXPECT_EQ(with("\"sigma\": 1.5, ", ""), "manifest: missing key sigma");
  EXPECT_EQ(with("\"W\": 320", "\"W\": \"1920\""), "manifest: bad dims");
  EXPECT_EQ(with("\"NT\": 8", "\"NT\": 0"), "manifest: bad dims");
  EXPECT_EQ(with("\"crop\": 64", "\"crop\": -64"), "manifest: bad dims");
  // Out-of-range and non-finite numbers never wrap into plausible values.
  EXPECT_EQ(with("\"H\": 240", "\"H\": -1e30"), "manifest: bad dims");
  EXPECT_EQ(with("\"H\": 240", "\"H\": nan"), "manifest: bad dims");
  EXPECT_EQ(with("\"M_src_w\": 640", "\"M_src_w\": 0"),
            "manifest: bad paste-space stamp (M_src_w/M_src_h must be > 0)");
  // A root key shadows a nested one of the same name; two nested blocks
  // reusing a loader key are ambiguous.
  EXPECT_EQ(with("\"frames\": 50,", "\"frames\": 50, \"x\": {\"W\": 1},"), "(no error)");
  std::string twoBlocks = manifestText();
  twoBlocks.replace(twoBlocks.find("\"unsharp\""), 0, "\"a\": {\"ksize\": 3}, ");
  writeFile(t / "manifest.json", twoBlocks);
  EXPECT_EQ(loadError(d),
            ambiguous("ksize",
                      "byte " + std::to_string(twoBlocks.find("\"ksize\": 3") + 9) + ", byte " +
                          std::to_string(twoBlocks.find("\"ksize\": 9") + 9),
                      2));
}

TEST(LoadManifest, PasteSpaceStampAliasesAndEscape) {
  TempDir t;
  const std::string d = t.path();
  auto write = [&](const std::string& stamp) {
    std::string text = manifestText();
    text.replace(text.find("\"M_src_w\": 640, \"M_src_h\": 480,"), 31, stamp);
    writeFile(t / "manifest.json", text);
  };
  write("\"M_src_w\": 640, \"paste_source_height\": 360,");
  le::Manifest m = le::loadManifest(d);
  EXPECT_EQ(m.msrcW, 640);
  EXPECT_EQ(m.msrcH, 360);
  write("\"paste_source_width\": 100, \"paste_source_height\": 50,");
  m = le::loadManifest(d);
  EXPECT_EQ(m.msrcW, 100);
  EXPECT_EQ(m.msrcH, 50);
  // The absence marker counts as absent and falls through to the alias.
  write("\"M_src_w\": -1e300, \"paste_source_width\": 7, \"M_src_h\": 9,");
  m = le::loadManifest(d);
  EXPECT_EQ(m.msrcW, 7);

  const std::string missing =
      d + "/manifest.json declares no paste-space stamp (M_src_w/M_src_h, aka "
          "paste_source_width/height) \xE2\x80\x94 the canvas is 320x240, so M cannot be placed: "
          "absence is not evidence that M was authored at that size. Re-stamp the bundle "
          "(models/vellum-2/inference/backfill_msrc.py), or set VELLUM2_MSRC_MISSING_OK=1 to "
          "restore the legacy assumption.";
  write("\"M_src_w\": 640,");
  {
    ScopedEnv unset("VELLUM2_MSRC_MISSING_OK", nullptr);
    EXPECT_EQ(loadError(d), missing);
  }
  for (const char* notOne : {"true", "11", "", " 1"}) {
    ScopedEnv env("VELLUM2_MSRC_MISSING_OK", notOne);
    EXPECT_EQ(loadError(d), missing) << notOne;
  }
  ScopedEnv env("VELLUM2_MSRC_MISSING_OK", "1");
  StderrCapture err;
  m = le::loadManifest(d);
  EXPECT_EQ(m.msrcW, 320);
  EXPECT_EQ(m.msrcH, 240);
  EXPECT_EQ(err.text(),
            "[le] WARNING VELLUM2_MSRC_MISSING_OK=1: " + d +
                "/manifest.json carries no paste-space stamp; ASSUMING M was authored on this "
                "320x240 canvas. If it was not, the face pastes off-target (qz#144) and nothing "
                "will say so.\n");
}

TEST(LoadManifest, ContainersResolveFirst) {
  TempDir t;
  writeFile(t / "a.imx", le::test::imxBytes({{"manifest.json", manifestText()}}));
  StderrCapture err;
  const le::Manifest m = le::loadManifest(t / "a");
  EXPECT_EQ(m.dir, t / "a.lebundle");
  EXPECT_EQ(m.NT, 8);
}
