// Every exported function called with bad arguments through the shared
// library, the way a careless host would: NULL handles and buffers, zero and
// negative sizes, indices just outside their range, buffers one byte short.
// Each row states the failure value the header documents and what happens to
// the family's message. Buffers are sized exactly, so the sanitizer build
// catches a write past them.
#include <gtest/gtest.h>
#include <unistd.h>

#include <chrono>
#include <climits>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <string>
#include <thread>
#include <vector>

#include "le/le.h"
#include "le/le_a2x.h"

namespace {

enum class Family { Core, A2x, Motion, Fca, Stream, Utt, None };
enum class Msg {
  Sets,    // a message naming the function
  Clears,  // "" (the documented failure carries no message)
  Leaves,  // whatever the family held before the call
  Any,     // the header says nothing of it
};

const char* lastError(Family f) {
  switch (f) {
    case Family::Core: return le_last_error();
    case Family::A2x: return le_a2x_last_error();
    case Family::Motion: return le_motion_last_error();
    case Family::Fca: return le_fca_last_error();
    case Family::Stream: return le_stream_last_error();
    case Family::Utt: return le_utt_last_error();
    case Family::None: break;
  }
  return "";
}

// Leaves a known message in the family: its constructor refusing a NULL path.
std::string prime(Family f) {
  switch (f) {
    case Family::Core: le_create(nullptr, nullptr, 1, nullptr); break;
    case Family::A2x: le_a2x_create(nullptr, 1); break;
    case Family::Motion: le_motion_create(nullptr, 1, nullptr); break;
    case Family::Fca: le_fca_create(nullptr, nullptr, 1); break;
    case Family::Stream: le_stream_create(nullptr, nullptr, 1, 0, 1.f); break;
    case Family::Utt: le_utt_create(nullptr, nullptr); break;
    case Family::None: return "";
  }
  return lastError(f);
}

struct Row {
  std::string call;  // the expression, as written in the table
  Family family;
  Msg msg;
  std::function<bool()> failsAsDocumented;
};

// The function a row calls: the first identifier of its expression.
std::string functionOf(const std::string& call) {
  const size_t b = call.find("le_");
  return call.substr(b, call.find('(', b) - b);
}

void sweep(const std::vector<Row>& rows) {
  for (const Row& r : rows) {
    SCOPED_TRACE(r.call);
    const std::string before = prime(r.family);
    if (r.family != Family::None) {
      ASSERT_FALSE(before.empty());
    }
    EXPECT_TRUE(r.failsAsDocumented());
    const std::string after = lastError(r.family);
    switch (r.msg) {
      case Msg::Sets:
        // The call's own name, or that of the entry point it is made of
        // (le_render_kp_rgba renders through le_render_kp_crop, le_utt_open
        // is le_utt_create).
        EXPECT_TRUE(after.rfind(functionOf(r.call) + ": ", 0) == 0 ||
                    (after.rfind("le_", 0) == 0 && after.find(": ") != std::string::npos))
            << "message: " << after;
        break;
      case Msg::Clears: EXPECT_EQ(after, ""); break;
      case Msg::Leaves: EXPECT_EQ(after, before); break;
      case Msg::Any: break;
    }
  }
}

#define ROW(family, msg, ...) \
  Row { #__VA_ARGS__, Family::family, Msg::msg, [&] { return static_cast<bool>(__VA_ARGS__); } }

std::string fixture(const std::string& variant) { return std::string(LE_BAKE_FIXTURES_DIR) + "/" + variant; }

bool isEmpty(const char* s) { return s && *s == '\0'; }

}  // namespace

TEST(CApiSweep, NullHandlesAndArguments) {
  std::vector<uint8_t> bytes(64, 0xAB);
  std::vector<float> floats(63 * 4, 0.5f);
  std::vector<int16_t> pcm(640, 0);
  int idx[4] = {};
  int count = 7;
  char text[64] = "untouched";
  le_utt_stats stats{};
  le_utt_frame_info info{};
  le_utt_tessera_counts counts{};
  // A container of a version this library does not read.
  std::string broken = "/tmp/le_capi_sweep_XXXXXX";
  const int fd = ::mkstemp(&broken[0]);
  ASSERT_GE(fd, 0);
  ASSERT_EQ(::write(fd, "IMX\0\x09\0\0\0", 8), 8);
  ::close(fd);

  sweep({
      ROW(Core, Sets, le_create(nullptr, "b1", 1, "") == nullptr),
      ROW(Core, Sets, le_create("/nonexistent/bundle", "b1", 1, "") == nullptr),
      ROW(Core, Any, (le_destroy(nullptr), true)),
      ROW(Core, Any, le_nt(nullptr) == 0),
      ROW(Core, Any, le_width(nullptr) == 0),
      ROW(Core, Any, le_height(nullptr) == 0),
      ROW(Core, Any, le_crop(nullptr) == 0),
      ROW(Core, Any, le_drive_frames(nullptr) == 0),
      ROW(Core, Sets, le_render_kp_crop(nullptr, 0, floats.data(), floats.data()) == nullptr),
      ROW(Core, Sets, le_render_drive_crop(nullptr, 0) == nullptr),
      ROW(Core, Sets, le_paste_crop(nullptr, 0, floats.data(), bytes.data(), bytes.size()) == 0),
      ROW(Core, Sets, le_paste_last(nullptr, 0) == nullptr),
      ROW(Core, Sets,
          le_render_kp_rgba(nullptr, 0, floats.data(), floats.data(), bytes.data(), bytes.size()) == 0),
      ROW(Core, Sets, le_render_drive_rgba(nullptr, 0, bytes.data(), bytes.size()) == 0),
      ROW(Core, Sets, le_target_frame(nullptr, 0) == nullptr),
      ROW(Core, Clears, le_bundle_resolve_handle(nullptr, text, sizeof text) == -1),
      ROW(Core, Clears, le_bundle_resolve_handle("/tmp", nullptr, 64) == -1),
      ROW(Core, Clears, le_bundle_resolve_handle("/tmp", text, 0) == -1 && !std::strcmp(text, "untouched")),
      ROW(Core, Sets, le_bundle_resolve_handle(broken.c_str(), text, sizeof text) == -1 && !*text),
      ROW(Core, Sets, le_bundle_resolve_handle("/tmp", text, 4) == -1 && !*text),  // "/tmp" needs 5
      ROW(Core, Leaves, le_bundle_resolve_member(nullptr, "P.f16", text, sizeof text) == -1),
      ROW(Core, Leaves, le_bundle_resolve_member("/tmp", nullptr, text, sizeof text) == -1),
      ROW(Core, Leaves, le_bundle_resolve_member("/tmp", "P.f16", nullptr, 64) == -1),
      ROW(Core, Leaves, le_bundle_resolve_member("/tmp", "P.f16", text, 0) == -1),
      ROW(Core, Leaves, le_bundle_resolve_member("/tmp", "", text, sizeof text) == -1 && !*text),
      ROW(Core, Leaves, le_bundle_resolve_member("/tmp", "/etc/passwd", text, sizeof text) == -1 && !*text),
      ROW(Core, Leaves, le_bundle_resolve_member("/tmp", "drive/../../x", text, sizeof text) == -1 && !*text),
      ROW(Core, Leaves, le_bundle_resolve_member("/tmp", "P.f16", text, 10) == -1 && !*text),  // needs 11
      ROW(Core, Sets, le_prior_open(nullptr, 2, 0) == nullptr),
      ROW(Core, Sets, le_prior_open("/nonexistent/bundle", 2, 0) == nullptr),
      ROW(Core, Any, le_prior_row_bytes(nullptr) == 0),
      ROW(Core, Sets, le_prior_row(nullptr, 0, bytes.data(), bytes.size()) == 0),
      ROW(Core, Any, isEmpty(le_prior_backend(nullptr))),
      ROW(Core, Any, (le_prior_close(nullptr), true)),

      ROW(Motion, Sets, le_motion_create(nullptr, 1, "") == nullptr),
      ROW(Motion, Sets, le_motion_create("/nonexistent/motion", 1, "") == nullptr),
      ROW(Motion, Any, (le_motion_destroy(nullptr), true)),
      ROW(Motion, Any, le_motion_nt(nullptr) == 0),
      ROW(Motion, Any, (le_motion_reset(nullptr, 0, 1, 1), true)),
      ROW(Motion, Any, (le_motion_set_eager(nullptr, 1), true)),
      ROW(Motion, Sets, le_motion_push(nullptr, floats.data(), 4) == 0),
      ROW(Motion, Any, (le_motion_finish(nullptr), true)),
      ROW(Motion, Any, le_motion_total(nullptr) == -1),
      ROW(Motion, Any, le_motion_avail(nullptr) == 0),
      ROW(Motion, Sets, le_motion_pull(nullptr, idx, floats.data(), floats.data(), 1) == 0),

      ROW(Fca, Sets, le_fca_create(nullptr, "/x.onnx", 1) == nullptr),
      ROW(Fca, Sets, le_fca_create("/nonexistent/a.onnx", "/nonexistent/b.onnx", 1) == nullptr),
      ROW(Fca, Any, (le_fca_destroy(nullptr), true)),
      ROW(Fca, Sets, le_fca_deltas(nullptr, floats.data(), 640, floats.data(), 4) == -1),

      ROW(Stream, Sets, le_stream_create(nullptr, "/x.onnx", 1, 0, 1.f) == nullptr),
      ROW(Stream, Sets, le_stream_create("/nonexistent/bundle", "/x.onnx", 1, 0, 1.f) == nullptr),
      ROW(Stream, Any, (le_stream_destroy(nullptr), true)),
      ROW(Stream, Any, le_stream_width(nullptr) == 0),
      ROW(Stream, Any, le_stream_height(nullptr) == 0),
      ROW(Stream, Sets, le_stream_run(nullptr, floats.data(), 640, nullptr, nullptr) == -1),

      ROW(Utt, Sets, le_utt_create(nullptr, nullptr) == nullptr),
      ROW(Utt, Sets, le_utt_open(nullptr, "/tmp") == nullptr),
      ROW(Utt, Any, (le_utt_destroy(nullptr), true)),
      ROW(Utt, Any, le_utt_ready(nullptr) == -1),
      ROW(Utt, Sets, le_utt_push_audio(nullptr, pcm.data(), 640) == 0),
      ROW(Utt, Any, (le_utt_end_utterance(nullptr), true)),
      ROW(Utt, Any, (le_utt_interrupt(nullptr), true)),
      ROW(Utt, Any, le_utt_frames_available(nullptr) == 0),
      ROW(Utt, Sets, le_utt_pull_frame(nullptr, bytes.data(), bytes.size(), &info) == 0),
      ROW(Utt, Any, le_utt_get_stats(nullptr, &stats) == 0),
      ROW(Utt, Any, le_utt_render_status(nullptr, text, sizeof text, &count) <= 0),
      ROW(Utt, Sets,
          le_utt_tessera_attach(nullptr, bytes.data(), 1, nullptr, nullptr, nullptr, nullptr, nullptr, 0,
                                nullptr, nullptr) == 0),
      ROW(Utt, Any, le_utt_tessera_stats(nullptr, &counts) == 0),
      ROW(Utt, Any, le_utt_tessera_synth_w(nullptr) == 0),
      ROW(Utt, Any, le_utt_tessera_geometry(nullptr, idx) == 0),

      ROW(A2x, Sets, le_a2x_create(nullptr, 1) == nullptr),
      ROW(A2x, Sets, le_a2x_create("/nonexistent/bundle", 1) == nullptr),
      ROW(A2x, Any, (le_a2x_destroy(nullptr), true)),
      ROW(A2x, Any, le_a2x_nt(nullptr) == 0),
      ROW(A2x, Any, le_a2x_width(nullptr) == 0),
      ROW(A2x, Any, (le_a2x_set_eager(nullptr, 1), true)),
      ROW(A2x, Any, (le_a2x_reset(nullptr, 0, 1, 1), true)),
      ROW(A2x, Any, le_a2x_push(nullptr, floats.data(), 4) == 0),
      ROW(A2x, Any, (le_a2x_finish(nullptr), true)),
      ROW(A2x, Any, le_a2x_total(nullptr) == -1),
      ROW(A2x, Any, le_a2x_avail(nullptr) == 0),
      ROW(A2x, Any, le_a2x_pull(nullptr, idx, floats.data(), floats.data(), 1) == 0),
      ROW(A2x, Any, le_a2x_pull_wn(nullptr, idx, floats.data(), floats.data(), floats.data(), 1) == 0),
      ROW(A2x, Sets, le_a2x_deltas(nullptr, floats.data(), 640, floats.data(), 4) == -1),
      ROW(A2x, Sets, le_a2x_deltas_wn(nullptr, floats.data(), 640, floats.data(), floats.data(), 4) == -1),

      ROW(None, Any, le_tessera_slot_count() == 4),
      ROW(None, Any, le_tessera_slot_key(-1) == nullptr),
      ROW(None, Any, le_tessera_slot_key(4) == nullptr),
      ROW(None, Any, le_tessera_slot_key(INT_MIN) == nullptr),
      ROW(None, Any, le_tessera_carriage_open(nullptr) == nullptr),
      ROW(None, Any, (le_tessera_carriage_close(nullptr), true)),
      ROW(None, Any, le_tessera_carriage_complete(nullptr) == 0),
      ROW(None, Any, le_tessera_carriage_declared(nullptr) == 0),
      ROW(None, Any, le_tessera_carriage_missing_count(nullptr) == 0),
      ROW(None, Any, le_tessera_carriage_missing(nullptr, 0) == nullptr),
      ROW(None, Any, isEmpty(le_tessera_carriage_path(nullptr, "bank_track"))),
      ROW(None, Any, le_tessera_members_open(nullptr, nullptr, 0) == nullptr),
      ROW(None, Any, le_tessera_members_open(nullptr, text, sizeof text) == nullptr && *text),
      ROW(None, Any, le_tessera_members_open(nullptr, text, 1) == nullptr && !*text),
      ROW(None, Any, (std::strcpy(text, "kept"), le_tessera_members_open(nullptr, text, 0)) == nullptr &&
                         !std::strcmp(text, "kept")),
      ROW(None, Any, le_tessera_members_open(nullptr, text, -5) == nullptr && !std::strcmp(text, "kept")),
      ROW(None, Any, (le_tessera_members_close(nullptr), true)),
      ROW(None, Any, le_tessera_members_n_donors(nullptr) == 0),
      ROW(None, Any, le_tessera_members_cent(nullptr) == nullptr),
      ROW(None, Any, le_tessera_members_c_canon(nullptr) == nullptr),
      ROW(None, Any, le_tessera_members_aperture(nullptr) == nullptr),
      ROW(None, Any, le_tessera_members_track_order(nullptr) == nullptr),
      ROW(None, Any, le_tessera_members_stamp(nullptr) == nullptr),
      ROW(None, Any, le_tessera_members_head_pt(nullptr) == nullptr),
      ROW(None, Any, le_tessera_members_head_pt_len(nullptr) == 0),
      ROW(None, Any, isEmpty(le_tessera_members_head_json(nullptr))),
      ROW(None, Any, isEmpty(le_tessera_members_manifest_json(nullptr))),
      ROW(None, Any, isEmpty(le_tessera_members_lip_template_json(nullptr))),
      ROW(None, Any, isEmpty(le_tessera_members_bank_track_path(nullptr))),
      ROW(None, Any, isEmpty(le_tessera_members_bank_container(nullptr))),
      ROW(None, Any, isEmpty(le_tessera_members_bank_codec(nullptr))),
      ROW(None, Any, isEmpty(le_tessera_members_bank_pix_fmt(nullptr))),
      ROW(None, Any, isEmpty(le_tessera_members_bank_packing(nullptr))),
      ROW(None, Any, le_tessera_members_band_w(nullptr) == 0),
      ROW(None, Any, le_tessera_members_band_h(nullptr) == 0),
      ROW(None, Any, le_tessera_members_band_bytes(nullptr) == 0),
      ROW(None, Any, le_tessera_members_reorder(nullptr, bytes.data(), bytes.data(), text, sizeof text) == 1 && *text),
      ROW(None, Any, le_tessera_run(nullptr, floats.data(), 1, floats.data(), floats.data(), text, sizeof text) == 0 && *text),
      ROW(None, Any, le_tessera_run("/nonexistent/bundle", floats.data(), 1, floats.data(), floats.data(), nullptr, 0) == 0),
      ROW(None, Any, le_tessera_run_shift("/nonexistent/bundle", floats.data(), 0, floats.data(), floats.data(), 1, text, 1) == 0 && !*text),
      ROW(None, Any, le_tessera_run_shift("/nonexistent/bundle", floats.data(), 1, nullptr, floats.data(), -1, text, sizeof text) == 0 && *text),

      ROW(None, Any, (le_tel_record(nullptr, 1.0), le_tel_record("", 2.0), true)),
      ROW(None, Any, (le_tel_record_str(nullptr, "v"), le_tel_record_str("k", nullptr), true)),
      ROW(None, Any, le_tel_pending_json() != nullptr),
      ROW(None, Any, le_host_kp_rows() == 21),
  });
  ::unlink(broken.c_str());
}

// Handles that work, then indices one past either end and buffers one byte
// short of what the call needs.
TEST(CApiSweep, OutOfRangeIndicesAndShortBuffers) {
  const std::string tiny = fixture("tiny");
  setenv("W2V_ONNX", (tiny + "/audio/w2v.onnx").c_str(), 1);
  le_ctx* ctx = le_create(tiny.c_str(), "b1", 1, "");
  ASSERT_NE(ctx, nullptr) << le_last_error();
  const int NT = le_nt(ctx), drives = le_drive_frames(ctx), crop = le_crop(ctx);
  const size_t rgb = static_cast<size_t>(le_width(ctx)) * le_height(ctx) * 3;
  const size_t rgba = rgb / 3 * 4;
  std::vector<float> kp(21 * 3, 0.f);
  std::vector<float> nan(kp);
  nan[5] = std::nanf("");
  std::vector<float> cropBuf(static_cast<size_t>(crop) * crop * 3, 0.5f);
  std::vector<uint8_t> shortRgb(rgb - 1), shortRgba(rgba - 1), fullRgba(rgba);
  std::vector<char> path(tiny.size());  // one short of the terminator

  sweep({
      ROW(Core, Sets, le_create(tiny.c_str(), "no_such_model", 1, "") == nullptr),
      ROW(Core, Sets, le_paste_last(ctx, 0) == nullptr),  // nothing rendered yet
      ROW(Core, Sets, le_render_kp_crop(ctx, -1, kp.data(), kp.data()) == nullptr),
      ROW(Core, Sets, le_render_kp_crop(ctx, NT, kp.data(), kp.data()) == nullptr),
      ROW(Core, Sets, le_render_kp_crop(ctx, 0, nullptr, kp.data()) == nullptr),
      ROW(Core, Sets, le_render_kp_crop(ctx, 0, kp.data(), nan.data()) == nullptr),
      ROW(Core, Sets, le_render_drive_crop(ctx, -1) == nullptr),
      ROW(Core, Sets, le_render_drive_crop(ctx, drives) == nullptr),
      ROW(Core, Sets, le_paste_crop(ctx, 0, cropBuf.data(), shortRgb.data(), shortRgb.size()) == 0),
      ROW(Core, Sets, le_paste_crop(ctx, NT, cropBuf.data(), shortRgb.data(), rgb) == 0),
      ROW(Core, Sets, le_paste_crop(ctx, 0, nullptr, shortRgb.data(), shortRgb.size()) == 0),
      ROW(Core, Sets, le_render_kp_rgba(ctx, 0, kp.data(), kp.data(), shortRgba.data(), shortRgba.size()) == 0),
      ROW(Core, Sets, le_render_kp_rgba(ctx, 0, kp.data(), kp.data(), nullptr, rgba) == 0),
      ROW(Core, Sets, le_render_drive_rgba(ctx, 0, shortRgba.data(), shortRgba.size()) == 0),
      ROW(Core, Sets, le_render_drive_rgba(ctx, -1, fullRgba.data(), fullRgba.size()) == 0),
      ROW(Core, Sets, le_target_frame(ctx, -1) == nullptr),
      ROW(Core, Sets, le_target_frame(ctx, NT) == nullptr),
      ROW(Core, Sets, le_bundle_resolve_handle(tiny.c_str(), path.data(), path.size()) == -1 && !path[0]),
  });
  ASSERT_NE(le_render_drive_crop(ctx, 0), nullptr) << le_last_error();
  sweep({ROW(Core, Sets, le_paste_last(ctx, -1) == nullptr), ROW(Core, Sets, le_paste_last(ctx, NT) == nullptr)});

  // The session over the same context (which the host leaves alone meanwhile).
  le_utt_opts noMotion{};
  le_utt* utt = le_utt_open(ctx, tiny.c_str());
  ASSERT_NE(utt, nullptr) << le_utt_last_error();
  for (int i = 0; i < 3000 && le_utt_frames_available(utt) == 0; ++i)  // up to 30 s on a loaded machine
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  ASSERT_GT(le_utt_frames_available(utt), 0);
  std::vector<int16_t> pcm(640, 0);
  uint8_t bank[16] = {};
  double cent[2] = {}, aperture[1] = {}, canon[2] = {};
  int stamp[12] = {};
  sweep({
      ROW(Utt, Sets, le_utt_create(ctx, &noMotion) == nullptr),
      ROW(Utt, Sets, le_utt_push_audio(utt, nullptr, 640) == 0),
      ROW(Utt, Sets, le_utt_push_audio(utt, pcm.data(), -1) == 0),
      ROW(Utt, Sets, le_utt_pull_frame(utt, shortRgba.data(), shortRgba.size(), nullptr) == 0),
      ROW(Utt, Sets, le_utt_pull_frame(utt, nullptr, rgba, nullptr) == 0),
      ROW(Utt, Any, le_utt_get_stats(utt, nullptr) == 0),
      ROW(Utt, Sets,
          le_utt_tessera_attach(utt, bank, 1, cent, aperture, canon, stamp, nullptr, 0, "{}", "{}") == 0),
      ROW(Utt, Sets,
          le_utt_tessera_attach(utt, bank, 0, cent, aperture, canon, stamp, bank, 1, "{}", "{}") == 0),
      ROW(Utt, Sets,
          le_utt_tessera_attach(utt, bank, -3, cent, aperture, canon, stamp, bank, 1, "{}", "{}") == 0),
      ROW(Utt, Any, le_utt_tessera_geometry(utt, stamp) == 0),
  });
  // The short buffer left the frame queued for a buffer that fits.
  EXPECT_EQ(le_utt_pull_frame(utt, fullRgba.data(), fullRgba.size(), nullptr), 1) << le_utt_last_error();
  le_utt_destroy(utt);
  le_destroy(ctx);

  le_prior* prior = le_prior_open(fixture("tiny_hevc").c_str(), 2, 0);
  ASSERT_NE(prior, nullptr) << le_last_error();
  std::vector<uint8_t> shortRow(le_prior_row_bytes(prior) - 1);
  std::vector<uint8_t> row(le_prior_row_bytes(prior));
  sweep({
      ROW(Core, Sets, le_prior_row(prior, 0, shortRow.data(), shortRow.size()) == 0),
      ROW(Core, Sets, le_prior_row(prior, 0, nullptr, row.size()) == 0),
      ROW(Core, Sets, le_prior_row(prior, -1, row.data(), row.size()) == 0),
      ROW(Core, Sets, le_prior_row(prior, INT_MAX, row.data(), row.size()) == 0),
  });
  EXPECT_EQ(le_prior_row(prior, 0, row.data(), row.size()), 1) << le_last_error();  // still healthy
  le_prior_close(prior);

  le_a2x* a2x = le_a2x_create(tiny.c_str(), 1);
  ASSERT_NE(a2x, nullptr) << le_a2x_last_error();
  std::vector<float> samples(641, 0.f), out(63 * 2);
  int idx[2] = {};
  std::vector<float> bad(samples);
  bad[100] = INFINITY;
  sweep({
      ROW(A2x, Sets, le_a2x_push(a2x, bad.data(), static_cast<int>(bad.size())) == 0),
      ROW(A2x, Sets, le_a2x_push(a2x, nullptr, 640) == 0),
      ROW(A2x, Any, le_a2x_deltas(a2x, samples.data(), 641, out.data(), 1) == -2),  // needs 2 rows
      ROW(A2x, Any, le_a2x_deltas(a2x, samples.data(), 0, out.data(), 2) == 0),
      ROW(A2x, Any, le_a2x_deltas(a2x, samples.data(), -640, out.data(), 2) == 0),
      ROW(A2x, Sets, le_a2x_deltas(a2x, nullptr, 641, out.data(), 2) == -1),
      ROW(A2x, Sets, le_a2x_deltas(a2x, samples.data(), 641, nullptr, 2) == -1),
  });
  le_a2x_destroy(a2x);

  le_motion* motion = le_motion_create((tiny + "/motion").c_str(), 1, "");
  ASSERT_NE(motion, nullptr) << le_motion_last_error();
  le_motion_reset(motion, 0, 1, 1);
  sweep({
      ROW(Motion, Sets, le_motion_create((tiny + "/motion").c_str(), 1, "no-such-provider") == nullptr),
      ROW(Motion, Sets, le_motion_push(motion, nullptr, 640) == 0),
      ROW(Motion, Sets, le_motion_push(motion, samples.data(), -1) == 0),
      ROW(Motion, Sets, le_motion_pull(motion, nullptr, out.data(), out.data(), 1) == 0),
      ROW(Motion, Any, le_motion_pull(motion, idx, out.data(), out.data(), -1) == 0),
  });
  le_motion_finish(motion);
  sweep({ROW(Motion, Sets, le_motion_push(motion, samples.data(), 640) == 0)});  // after finish
  le_motion_destroy(motion);

  le_fca* fca = le_fca_create((tiny + "/audio/w2v.onnx").c_str(), (tiny + "/fca_stream.onnx").c_str(), 1);
  ASSERT_NE(fca, nullptr) << le_fca_last_error();
  sweep({
      ROW(Fca, Clears, le_fca_deltas(fca, samples.data(), 641, out.data(), 1) == -1),  // needs 2 rows
      ROW(Fca, Clears, le_fca_deltas(fca, samples.data(), 0, out.data(), 2) == 0),
      ROW(Fca, Sets, le_fca_deltas(fca, nullptr, 641, out.data(), 2) == -1),
      ROW(Fca, Sets, le_fca_deltas(fca, bad.data(), 641, out.data(), 2) == -1),
  });
  le_fca_destroy(fca);

  const std::string teeth = fixture("tiny_tessera");
  char err[128] = "";
  le_tessera_members* members = le_tessera_members_open(teeth.c_str(), err, sizeof err);
  ASSERT_NE(members, nullptr) << err;
  std::vector<uint8_t> track(le_tessera_members_band_bytes(members));
  std::vector<uint8_t> donors(track.size());
  sweep({
      ROW(None, Any, le_tessera_members_reorder(members, nullptr, donors.data(), err, sizeof err) == 1 && *err),
      ROW(None, Any, le_tessera_members_reorder(members, track.data(), nullptr, err, sizeof err) == 1 && *err),
  });
  le_tessera_members_close(members);
  le_tessera_carriage* carriage = le_tessera_carriage_open(teeth.c_str());
  ASSERT_NE(carriage, nullptr);
  const int missing = le_tessera_carriage_missing_count(carriage);
  sweep({
      ROW(None, Any, le_tessera_carriage_missing(carriage, -1) == nullptr),
      ROW(None, Any, le_tessera_carriage_missing(carriage, missing) == nullptr),
      ROW(None, Any, isEmpty(le_tessera_carriage_path(carriage, "no_such_slot"))),
      ROW(None, Any, isEmpty(le_tessera_carriage_path(carriage, nullptr))),
  });
  le_tessera_carriage_close(carriage);
}
