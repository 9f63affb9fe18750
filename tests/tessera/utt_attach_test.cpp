// The teeth borrow attached to a live session over the baked tiny_tessera
// bundle: the attach refusals, then one utterance whose every speech and ramp
// crop goes through the pass and comes out in clip order.
#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <fstream>
#include <thread>
#include <vector>

#include "support/bake_fixtures.h"
#include "support/speech_pcm.h"
#include "bundle/le_bundle.h"
#include "le/le.h"
#include "tessera/le_bankdec_ff.h"

namespace {

using Clock = std::chrono::steady_clock;

// The bank decoded in track order, then put in donor order by the members;
// empty (with the failure recorded) when either step fails.
std::vector<uint8_t> donorOrderedBank(le_tessera_members* m) {
  const std::string track = le::readFile(le_tessera_members_bank_track_path(m));
  const int n = le_tessera_members_n_donors(m);
  std::vector<int32_t> identity(static_cast<size_t>(n));
  for (int i = 0; i < n; ++i) identity[static_cast<size_t>(i)] = i;
  const std::vector<uint8_t> trackOrdered = le::tessera::decodeBankTrack(
      reinterpret_cast<const uint8_t*>(track.data()), track.size(), n, le_tessera_members_band_h(m),
      le_tessera_members_band_w(m), identity);
  std::vector<uint8_t> bank(le_tessera_members_band_bytes(m));
  char err[256];
  if (le_tessera_members_reorder(m, trackOrdered.data(), bank.data(), err, sizeof err) != 0) {
    ADD_FAILURE() << err;
    return {};
  }
  return bank;
}

// One frame into `rgba`, waiting up to `seconds` for it.
bool pullWithin(le_utt* utt, std::vector<uint8_t>& rgba, le_utt_frame_info& info, int seconds) {
  const auto stop = Clock::now() + std::chrono::seconds(seconds);
  while (Clock::now() < stop) {
    if (le_utt_pull_frame(utt, rgba.data(), rgba.size(), &info) == 1) return true;
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
  return false;
}

TEST(UttTessera, AttachRefusalsThenAnUtteranceThroughThePass) {
  const std::string dir = le::test::bakeFixture("tiny_tessera");
  setenv("W2V_ONNX", (dir + "/audio/w2v.onnx").c_str(), 1);
  le_ctx* ctx = le_create(dir.c_str(), "b1", 1, "");
  ASSERT_NE(ctx, nullptr) << le_last_error();
  le_utt* utt = le_utt_open(ctx, dir.c_str());
  ASSERT_NE(utt, nullptr) << le_utt_last_error();

  char err[256];
  le_tessera_members* m = le_tessera_members_open(dir.c_str(), err, sizeof err);
  ASSERT_NE(m, nullptr) << err;
  const int n = le_tessera_members_n_donors(m);
  const int* stamp = le_tessera_members_stamp(m);
  const uint8_t* pt = le_tessera_members_head_pt(m);
  const size_t ptLen = le_tessera_members_head_pt_len(m);
  std::vector<uint8_t> bank = donorOrderedBank(m);
  ASSERT_FALSE(bank.empty());

  auto attach = [&](le_utt* u, const uint8_t* b, int donors, const int* st) {
    return le_utt_tessera_attach(u, b, donors, le_tessera_members_cent(m), le_tessera_members_aperture(m),
                                 le_tessera_members_c_canon(m), st, pt, ptLen, le_tessera_members_head_json(m),
                                 le_tessera_members_manifest_json(m));
  };
  EXPECT_EQ(attach(nullptr, bank.data(), n, stamp), 0);
  EXPECT_STREQ(le_utt_last_error(), "le_utt_tessera_attach: null session");
  EXPECT_EQ(attach(utt, nullptr, n, stamp), 0);
  EXPECT_STREQ(le_utt_last_error(),
               "le_utt_tessera_attach: a required member is null — this ABI has no partial-attach state");
  EXPECT_EQ(attach(utt, bank.data(), 0, stamp), 0);
  EXPECT_STREQ(le_utt_last_error(), "le_utt_tessera_attach: n_donors <= 0");
  std::vector<int> wide(stamp, stamp + 12);
  wide[0] += 2;
  EXPECT_EQ(attach(utt, bank.data(), n, wide.data()), 0);
  EXPECT_EQ(std::string(le_utt_last_error()),
            "le_utt_tessera_attach: bank canvas " + std::to_string(wide[0]) + " != this bundle's render crop " +
                std::to_string(stamp[0]));
  le_utt_tessera_counts counts{};
  EXPECT_EQ(le_utt_tessera_stats(utt, &counts), 0);

  ASSERT_EQ(attach(utt, bank.data(), n, stamp), 1) << le_utt_last_error();
  EXPECT_EQ(attach(utt, bank.data(), n, stamp), 0);  // one attachment per session
  EXPECT_EQ(le_utt_tessera_synth_w(utt), 16);
  int geometry[12];
  ASSERT_EQ(le_utt_tessera_geometry(utt, geometry), 1);
  EXPECT_EQ(std::vector<int>(geometry, geometry + 12), std::vector<int>(stamp, stamp + 12));

  const auto until = Clock::now() + std::chrono::seconds(60);
  while (le_utt_ready(utt) == 0 && Clock::now() < until) std::this_thread::sleep_for(std::chrono::milliseconds(5));
  ASSERT_EQ(le_utt_ready(utt), 1) << le_utt_last_error();

  const std::vector<int16_t> pcm = le::test::speechPcm("hello");
  ASSERT_FALSE(pcm.empty());

  const size_t bytes = static_cast<size_t>(le_width(ctx)) * le_height(ctx) * 4;
  std::vector<uint8_t> rgba(bytes);
  le_utt_frame_info info{};
  auto next = [&] { return pullWithin(utt, rgba, info, 20); };
  ASSERT_TRUE(next());
  int expected = (info.driver_index + 1) % le_nt(ctx);
  ASSERT_EQ(le_utt_push_audio(utt, pcm.data(), static_cast<int>(pcm.size())), 1);
  le_utt_end_utterance(utt);
  int speech = 0, idleAfter = 0;
  for (int i = 0; i < 400 && idleAfter < 4; ++i) {
    ASSERT_TRUE(next()) << "frame " << i;
    ASSERT_EQ(info.driver_index, expected) << "frame " << i;  // held crops never reorder the clip
    expected = (expected + 1) % le_nt(ctx);
    if (info.kind == 1) ++speech;
    if (speech > 0 && info.kind == 0) ++idleAfter;
  }
  EXPECT_GT(speech, 0);
  ASSERT_EQ(le_utt_tessera_stats(utt, &counts), 1);
  EXPECT_EQ(counts.pushed, counts.delivered);  // every crop came back out of the pass
  EXPECT_GE(counts.delivered, speech);
  EXPECT_GE(counts.flushes, 1);
  EXPECT_EQ(counts.failures, 0);
  EXPECT_EQ(counts.lip_contour, 1);

  le_utt_destroy(utt);
  le_tessera_members_close(m);
  le_destroy(ctx);
}

// An interrupt, then the session's destruction, each while the pass holds
// crops (the bundle's head looks 2 frames ahead): the teeth thread lets go of
// what it holds, frames after the interrupt come out in clip order, and
// destruction joins without waiting for the held crops' results.
TEST(UttTessera, InterruptAndDestroyWhileThePassHoldsCrops) {
  const std::string dir = le::test::bakeFixture("tiny_tessera");
  setenv("W2V_ONNX", (dir + "/audio/w2v.onnx").c_str(), 1);
  le_ctx* ctx = le_create(dir.c_str(), "b1", 1, "");
  ASSERT_NE(ctx, nullptr) << le_last_error();
  le_utt* utt = le_utt_open(ctx, dir.c_str());
  ASSERT_NE(utt, nullptr) << le_utt_last_error();
  char err[256];
  le_tessera_members* m = le_tessera_members_open(dir.c_str(), err, sizeof err);
  ASSERT_NE(m, nullptr) << err;
  const int n = le_tessera_members_n_donors(m);
  const std::vector<uint8_t> bank = donorOrderedBank(m);
  ASSERT_FALSE(bank.empty());
  ASSERT_EQ(le_utt_tessera_attach(utt, bank.data(), n, le_tessera_members_cent(m), le_tessera_members_aperture(m),
                                  le_tessera_members_c_canon(m), le_tessera_members_stamp(m),
                                  le_tessera_members_head_pt(m), le_tessera_members_head_pt_len(m),
                                  le_tessera_members_head_json(m), le_tessera_members_manifest_json(m)),
            1)
      << le_utt_last_error();
  const auto until = Clock::now() + std::chrono::seconds(120);
  while (le_utt_ready(utt) == 0 && Clock::now() < until) std::this_thread::sleep_for(std::chrono::milliseconds(5));
  ASSERT_EQ(le_utt_ready(utt), 1) << le_utt_last_error();

  const std::vector<int16_t> pcm = le::test::speechPcm("hello");
  ASSERT_FALSE(pcm.empty());

  const size_t bytes = static_cast<size_t>(le_width(ctx)) * le_height(ctx) * 4;
  std::vector<uint8_t> rgba(bytes);
  le_utt_frame_info info{};
  auto next = [&] { return pullWithin(utt, rgba, info, 60); };
  auto holding = [&] {
    le_utt_tessera_counts c{};
    return le_utt_tessera_stats(utt, &c) == 1 && c.pushed > c.delivered;
  };

  ASSERT_EQ(le_utt_push_audio(utt, pcm.data(), static_cast<int>(pcm.size())), 1);
  for (int i = 0; !holding(); ++i) ASSERT_TRUE(i < 400 && next()) << "the pass never held a crop";
  le_utt_interrupt(utt);

  // A second utterance: from the first frame after the interrupt on, the clip
  // order holds through idle and speech until the pass holds crops again.
  ASSERT_TRUE(next());
  int expected = (info.driver_index + 1) % le_nt(ctx);
  ASSERT_EQ(le_utt_push_audio(utt, pcm.data(), static_cast<int>(pcm.size())), 1);
  le_utt_end_utterance(utt);
  int speech = 0;
  for (int i = 0; speech == 0 || !holding(); ++i) {
    ASSERT_TRUE(i < 400 && next()) << "frame " << i;
    ASSERT_EQ(info.driver_index, expected) << "frame " << i;
    expected = (expected + 1) % le_nt(ctx);
    if (info.kind == 1) ++speech;
  }
  le_utt_tessera_counts counts{};
  ASSERT_EQ(le_utt_tessera_stats(utt, &counts), 1);
  EXPECT_EQ(counts.failures, 0);
  EXPECT_GE(counts.flushes, 1);  // the interrupt emptied the pass
  le_utt_destroy(utt);
  le_tessera_members_close(m);
  le_destroy(ctx);
}

}  // namespace
