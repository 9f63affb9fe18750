// Telemetry store and its JSON snapshot.
#include <gtest/gtest.h>

#include <regex>
#include <string>
#include <thread>
#include <vector>

#include "le/le.h"
#include "telemetry/le_telemetry.h"

namespace {

// The snapshot's "extra" object.
std::string extraOf(const std::string& snap) {
  const size_t at = snap.find("\"extra\":{");
  if (at == std::string::npos) return "(none)";
  return snap.substr(at + 9, snap.size() - (at + 9) - 1);
}

}  // namespace

// Runs first in this program: nothing has been recorded yet.
TEST(Telemetry, EmptyStoreStillDescribesTheDevice) {
  const std::string json = le_tel_pending_json();
  const std::regex shape(
      R"(\{"queued":0,"snapshot":\{"ts":[0-9]+,"os":"linux","os_version":"[^"]*","device_model":"",)"
      R"("arch":"[^"]+","cpu_cores":[0-9]+,"ram_bytes":[0-9]+,"sdk_version":")" LE_VERSION_STRING
      R"(","extra":\{\}\}\})");
  EXPECT_TRUE(std::regex_match(json, shape)) << json;
  EXPECT_EQ(json.find(' '), std::string::npos);
}

TEST(Telemetry, KnownKeysInFixedOrderOthersInExtra) {
  le_tel_record("zeta", 2);
  le_tel_record("load_ms", 12.5);
  le_tel_record("fps_ema", 24.987654321);
  le_tel_record("alpha", 1e-9);
  le_tel_record_str("model_key", "b1");
  le_tel_record_str("device_model", "Pixel \"9\"");
  le_tel_record_str("note", "tab\there\\ \x01");
  le_tel_record("fps_ema", 25.0);  // the later value replaces the first
  const std::string snap = le::tel::snapshot_json();
  const size_t fps = snap.find(",\"fps_ema\":25,");
  const size_t load = snap.find(",\"load_ms\":12.5,");
  const size_t model = snap.find(",\"model_key\":\"b1\",");
  const size_t extra = snap.find(",\"extra\":{");
  ASSERT_NE(fps, std::string::npos) << snap;
  ASSERT_NE(load, std::string::npos) << snap;
  ASSERT_NE(model, std::string::npos) << snap;
  EXPECT_LT(snap.find("\"sdk_version\""), fps);
  EXPECT_LT(fps, load);
  EXPECT_LT(load, model);
  EXPECT_LT(model, extra);
  EXPECT_NE(snap.find("\"device_model\":\"Pixel \\\"9\\\"\""), std::string::npos) << snap;
  EXPECT_EQ(extraOf(snap), "\"alpha\":1e-09,\"zeta\":2,\"note\":\"tab\\u0009here\\\\ \\u0001\"}");
}

TEST(Telemetry, IgnoredInputsAndNonFiniteValues) {
  le_tel_record(nullptr, 1);
  le_tel_record("", 1);
  le_tel_record_str(nullptr, "x");
  le_tel_record_str("", "x");
  le_tel_record_str("nullvalue", nullptr);
  le_tel_record("inf_metric", 1.0 / 0.0);
  const std::string snap = le::tel::snapshot_json();
  EXPECT_EQ(snap.find("nullvalue"), std::string::npos);
  EXPECT_EQ(snap.find("\"\":"), std::string::npos);
  EXPECT_NE(snap.find("\"inf_metric\":null"), std::string::npos) << snap;
}

TEST(Telemetry, InvalidUtf8IsReplacedAndEachKeyHasOneValue) {
  // A stray continuation byte, a cut-short sequence at the end, an overlong
  // "/", a surrogate, a code point past U+10FFFF; valid text passes as is.
  le_tel_record_str("utf8_value", "a\x80" "b\xC3(\xC0\xAF\xED\xA0\x80\xF4\x90\x80\x80\xC3\xA9\xE2\x82");
  const std::string fffd = "\xEF\xBF\xBD";
  const std::string want = "\"utf8_value\":\"a" + fffd + "b" + fffd + "(" + fffd + fffd + fffd +
                           fffd + fffd + fffd + fffd + fffd + fffd + "\xC3\xA9" + fffd +
                           "\"";
  std::string snap = le::tel::snapshot_json();
  EXPECT_NE(snap.find(want), std::string::npos) << snap;

  // Recorded as a number, then as a string, then as a number again: one key,
  // the latest value.
  le_tel_record("twice", 1);
  le_tel_record_str("twice", "one");
  snap = le::tel::snapshot_json();
  EXPECT_EQ(snap.find("\"twice\":"), snap.rfind("\"twice\":")) << snap;
  EXPECT_NE(snap.find("\"twice\":\"one\""), std::string::npos) << snap;
  le_tel_record("twice", 2);
  snap = le::tel::snapshot_json();
  EXPECT_EQ(snap.find("\"twice\":"), snap.rfind("\"twice\":")) << snap;
  EXPECT_NE(snap.find("\"twice\":2"), std::string::npos) << snap;

  // Keys that differ only in invalid bytes are written alike: one key too.
  le_tel_record("k\xFF", 1);
  le_tel_record_str("k\xFE", "last");
  snap = le::tel::snapshot_json();
  const std::string key = "\"k" + fffd + "\":";
  EXPECT_EQ(snap.find(key), snap.rfind(key)) << snap;
  EXPECT_NE(snap.find(key + "\"last\""), std::string::npos) << snap;
}

TEST(Telemetry, EachThreadOwnsItsText) {
  const char* mine = le_tel_pending_json();
  const std::string before = mine;
  std::vector<std::thread> ts;
  for (int i = 0; i < 4; ++i)
    ts.emplace_back([i] {
      for (int k = 0; k < 200; ++k) {
        le_tel_record(("t" + std::to_string(i)).c_str(), k);
        const std::string j = le_tel_pending_json();
        if (j.compare(0, 22, "{\"queued\":0,\"snapshot\"") != 0) ADD_FAILURE() << j;
      }
    });
  for (auto& t : ts) t.join();
  // Other threads' calls did not overwrite this thread's text.
  EXPECT_EQ(std::string(mine), before);
}
