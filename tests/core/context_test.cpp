// le_create and the frame-at-a-time entry points over the demo bundle.
#include <fcntl.h>
#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstring>
#include <filesystem>
#include <future>
#include <map>
#include <string>
#include <thread>
#include <vector>

#include "bundle/le_bundle.h"
#include "bundle/le_identity.h"
#include "le/le.h"
#include "paste/le_simd.h"
#include "support/bake_fixtures.h"
#include "support/test_support.h"

using le::test::bakeFixture;
using le::test::StderrCapture;
using le::test::TempDir;

namespace {

struct Ctx {
  le_ctx* c;
  explicit Ctx(const std::string& dir, const char* key = "b1", int threads = 2, const char* ep = "")
      : c(le_create(dir.c_str(), key, threads, ep)) {}
  ~Ctx() { le_destroy(c); }
};

std::string createError(const std::string& dir, const char* key = "b1", const char* ep = "") {
  le_ctx* c = le_create(dir.c_str(), key, 1, ep);
  if (c) {
    le_destroy(c);
    return "(created)";
  }
  return le_last_error();
}

// A writable copy of the tiny bundle.
std::string copyOfTiny(const TempDir& t) {
  const std::string dir = t / "bundle";
  std::filesystem::copy(bakeFixture("tiny"), dir, std::filesystem::copy_options::recursive);
  return dir;
}

}  // namespace

TEST(Create, ArgumentsAndFailuresLeaveMessages) {
  StderrCapture quiet;
  EXPECT_EQ(le_create(nullptr, "b1", 1, ""), nullptr);
  EXPECT_STREQ(le_last_error(), "le_create: NULL bundle_dir/model_key");
  EXPECT_EQ(le_create("x", nullptr, 1, ""), nullptr);
  EXPECT_STREQ(le_last_error(), "le_create: NULL bundle_dir/model_key");
  {
    // Success after a failure leaves no message; a NULL ep is the CPU.
    Ctx ok(bakeFixture("tiny"), "b1", 0, nullptr);
    ASSERT_NE(ok.c, nullptr) << le_last_error();
    EXPECT_STREQ(le_last_error(), "");
  }
  TempDir t;
  EXPECT_EQ(createError(t / "missing"), "le_create: cannot open " + (t / "missing") + "/manifest.json");
  EXPECT_EQ(createError(bakeFixture("tiny"), "b7"),
            "le_create: Renderer: cannot open " + bakeFixture("tiny") + "/model_b7.onnx");
  EXPECT_EQ(createError(bakeFixture("tiny"), "b1", "cuda"), "le_create: Renderer: unknown ep 'cuda'");
  EXPECT_EQ(createError(bakeFixture("tiny"), "b1", "xnnpack").rfind("le_create: Renderer: ep 'xnnpack' is REFUSED", 0), 0u);
}

TEST(Create, BrokenMembersFailCleanly) {
  StderrCapture quiet;
  TempDir t;
  const std::string dir = copyOfTiny(t);
  // A short mask.
  std::filesystem::resize_file(dir + "/mask_512.u8", 64 * 64 - 1);
  EXPECT_EQ(createError(dir), "le_create: mask read failed");
  std::filesystem::resize_file(dir + "/mask_512.u8", 64 * 64 + 100);  // longer is fine
  EXPECT_EQ(createError(dir), "(created)");
  // A short identity array.
  std::filesystem::resize_file(dir + "/pooled64.f16", 100);
  const std::string e = createError(dir);
  EXPECT_EQ(e.rfind("le_create: ", 0), 0u);
  EXPECT_NE(e.find("pooled64.f16"), std::string::npos) << e;
  // A missing driver video fails after the renderer was built; everything
  // built so far is released (LeakSanitizer checks the rest).
  TempDir t2;
  const std::string dir2 = copyOfTiny(t2);
  std::filesystem::remove(dir2 + "/target_frames.mp4");
  EXPECT_EQ(createError(dir2).rfind("le_create: ", 0), 0u);
}

// le_create over `dir` on another thread. A create that blocks on one of
// `fifos` (opened the ordinary way, a FIFO without a writer never returns)
// is set free by opening and closing each FIFO's write end until it
// returns, and reported as "(hung) " + whatever it then said.
std::string createErrorUnblocked(const std::string& dir, const std::vector<std::string>& fifos) {
  std::promise<std::string> result;
  std::future<std::string> done = result.get_future();
  std::thread create([&] { result.set_value(createError(dir)); });
  bool hung = false;
  while (done.wait_for(std::chrono::seconds(hung ? 0 : 20)) != std::future_status::ready) {
    hung = true;
    for (const std::string& f : fifos) {
      const int fd = ::open(f.c_str(), O_WRONLY | O_NONBLOCK);
      if (fd >= 0) ::close(fd);
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
  }
  create.join();
  return (hung ? "(hung) " : "") + done.get();
}

TEST(Create, NonRegularMembersAreRefusedWithoutBlocking) {
  StderrCapture quiet;
  // A named pipe in any member's place; the mask keeps its own message.
  for (const char* member : {"manifest.json", "P.f16", "pooled64.f16", "M.f32", "mask_512.u8",
                             "drive/si.i32", "model_b1.onnx", "target_frames.mp4"}) {
    TempDir t;
    const std::string dir = copyOfTiny(t);
    const std::string path = dir + "/" + member;
    std::filesystem::remove(path);
    ASSERT_EQ(::mkfifo(path.c_str(), 0600), 0) << path;
    const std::string want = std::string(member) == "mask_512.u8" ? "mask read failed" : "cannot open " + path;
    EXPECT_THAT(createErrorUnblocked(dir, {path}), ::testing::AllOf(::testing::StartsWith("le_create: "),
                                                                     ::testing::HasSubstr(want)))
        << member;
  }
  // A directory in a member's place: refused, never read as a 2^63-byte file.
  for (const char* member : {"model_b1.onnx", "M.f32", "manifest.json"}) {
    TempDir t;
    const std::string dir = copyOfTiny(t);
    const std::string path = dir + "/" + member;
    std::filesystem::remove(path);
    std::filesystem::create_directory(path);
    EXPECT_THAT(createError(dir), ::testing::HasSubstr("cannot open " + path)) << member;
  }
}

TEST(Create, ContainersAndBothLayouts) {
  StderrCapture quiet;
  Ctx imx(bakeFixture("tiny.imx"));
  ASSERT_NE(imx.c, nullptr) << le_last_error();
  Ctx layout(bakeFixture("tiny_layout"));
  ASSERT_NE(layout.c, nullptr) << le_last_error();
  Ctx threads(bakeFixture("tiny"), "b1", -3);
  ASSERT_NE(threads.c, nullptr) << le_last_error();
}

TEST(Queries, SizesAndNullContexts) {
  StderrCapture quiet;
  Ctx ctx(bakeFixture("tiny"));
  ASSERT_NE(ctx.c, nullptr) << le_last_error();
  EXPECT_EQ(le_nt(ctx.c), 8);
  EXPECT_EQ(le_width(ctx.c), 320);
  EXPECT_EQ(le_height(ctx.c), 240);
  EXPECT_EQ(le_crop(ctx.c), 64);
  EXPECT_EQ(le_drive_frames(ctx.c), 16);
  EXPECT_EQ(le_host_kp_rows(), 21);
  EXPECT_EQ(le_nt(nullptr), 0);
  EXPECT_EQ(le_width(nullptr), 0);
  EXPECT_EQ(le_height(nullptr), 0);
  EXPECT_EQ(le_crop(nullptr), 0);
  EXPECT_EQ(le_drive_frames(nullptr), 0);
  le_destroy(nullptr);
}

TEST(RenderAndPaste, BadArgumentsReturnTheirFailureValues) {
  StderrCapture quiet;
  Ctx ctx(bakeFixture("tiny"));
  ASSERT_NE(ctx.c, nullptr) << le_last_error();
  const size_t rgb = 320 * 240 * 3;
  std::vector<uint8_t> out(320 * 240 * 4);
  std::vector<float> kp(63, 0.f);

  EXPECT_EQ(le_paste_last(ctx.c, 0), nullptr);
  EXPECT_STREQ(le_last_error(), "le_paste_last: bad args / no prior render");
  EXPECT_EQ(le_render_kp_crop(ctx.c, 8, kp.data(), kp.data()), nullptr);
  EXPECT_STREQ(le_last_error(), "le_render_kp_crop: bad args");
  EXPECT_EQ(le_render_kp_crop(ctx.c, 0, nullptr, kp.data()), nullptr);
  EXPECT_EQ(le_render_kp_crop(nullptr, 0, kp.data(), kp.data()), nullptr);
  EXPECT_EQ(le_render_drive_crop(ctx.c, 16), nullptr);
  EXPECT_STREQ(le_last_error(), "le_render_drive_crop: bad frame index");
  EXPECT_EQ(le_render_drive_crop(ctx.c, -1), nullptr);
  EXPECT_EQ(le_target_frame(ctx.c, 8), nullptr);
  EXPECT_STREQ(le_last_error(), "le_target_frame: bad args");
  EXPECT_EQ(le_target_frame(nullptr, 0), nullptr);

  const float* crop = le_render_drive_crop(ctx.c, 3);
  ASSERT_NE(crop, nullptr) << le_last_error();
  EXPECT_EQ(le_paste_crop(ctx.c, 0, crop, out.data(), rgb - 1), 0);
  EXPECT_STREQ(le_last_error(), "le_paste_crop: bad args / out too small");
  EXPECT_EQ(le_paste_crop(ctx.c, 8, crop, out.data(), rgb), 0);
  EXPECT_EQ(le_paste_crop(ctx.c, 0, nullptr, out.data(), rgb), 0);
  EXPECT_EQ(le_paste_crop(ctx.c, 0, crop, out.data(), rgb), 1);
  EXPECT_STREQ(le_last_error(), "");

  // The RGBA calls report the message of the step that failed: the render's
  // own checks, or the conversion's buffer check under the caller's name.
  EXPECT_EQ(le_render_drive_rgba(ctx.c, 2, out.data(), out.size() - 1), 0);
  EXPECT_STREQ(le_last_error(), "le_render_drive_rgba: out buffer too small");
  EXPECT_EQ(le_render_kp_rgba(ctx.c, 1, kp.data(), kp.data(), nullptr, out.size()), 0);
  EXPECT_STREQ(le_last_error(), "le_render_kp_rgba: out buffer too small");
  EXPECT_EQ(le_render_drive_rgba(ctx.c, 99, out.data(), out.size()), 0);
  EXPECT_STREQ(le_last_error(), "le_render_drive_crop: bad frame index");
  EXPECT_EQ(le_render_kp_rgba(ctx.c, 8, kp.data(), kp.data(), out.data(), out.size()), 0);
  EXPECT_STREQ(le_last_error(), "le_render_kp_crop: bad args");
  EXPECT_EQ(le_render_kp_rgba(nullptr, 0, kp.data(), kp.data(), out.data(), out.size()), 0);
  EXPECT_STREQ(le_last_error(), "le_render_kp_crop: bad args");
  // Keypoints that are not finite would render a crop of NaN: refused, naming
  // the argument, the value and where it sits.
  std::vector<float> bad = kp;
  bad[3 * 3 + 1] = std::nanf("");
  EXPECT_EQ(le_render_kp_crop(ctx.c, 0, bad.data(), kp.data()), nullptr);
  EXPECT_STREQ(le_last_error(),
               "le_render_kp_crop: kp_source holds a non-finite value (nan at row 3, column 1): the "
               "director would render it into a crop of NaN. REFUSING to render");
  bad = kp;
  bad[62] = INFINITY;
  std::fill(out.begin(), out.end(), 7);
  EXPECT_EQ(le_render_kp_rgba(ctx.c, 0, kp.data(), bad.data(), out.data(), out.size()), 0);
  EXPECT_STREQ(le_last_error(),
               "le_render_kp_crop: kp_driving holds a non-finite value (inf at row 20, column 2): the "
               "director would render it into a crop of NaN. REFUSING to render");
  EXPECT_EQ(out[0], 7);
  // A success after those failures leaves no message.
  EXPECT_EQ(le_render_kp_rgba(ctx.c, 1, kp.data(), kp.data(), out.data(), out.size()), 1);
  EXPECT_STREQ(le_last_error(), "");
}

// Through the C entry points, the crops of every batch-1 reference of the
// tiny bundle are what the PyTorch director computed. References name no
// identity row: it is the row whose pooled features they fed.
TEST(RenderAndPaste, CropsMatchThePyTorchReferences) {
  const std::string dir = bakeFixture("tiny");
  Ctx ctx(dir);
  ASSERT_NE(ctx.c, nullptr) << le_last_error();
  le::Identity id(le::loadManifest(dir));
  std::vector<float> row(64 * 32 * 32);
  int cases = 0;
  for (const le::test::RefCase& c : le::test::loadReferences(dir + ".ref")) {
    if (c.key != "b1") continue;
    std::map<std::string, const float*> in;
    for (const auto& t : c.inputs) in[t.name] = t.data.data();
    ASSERT_TRUE(in.count("pooled64") && in.count("kp_source") && in.count("kp_driving")) << "case " << c.index;
    int si = -1;
    for (int i = 0; i < id.NT && si < 0; ++i) {
      le::simd::f16ToF32(id.pooled64(i), row.data(), row.size());
      if (std::equal(row.begin(), row.end(), in["pooled64"])) si = i;
    }
    ASSERT_GE(si, 0) << "reference " << c.index << " is no identity row";
    const float* crop = le_render_kp_crop(ctx.c, si, in["kp_source"], in["kp_driving"]);
    ASSERT_NE(crop, nullptr) << le_last_error();
    float worst = 0;
    for (size_t i = 0; i < c.output.data.size(); ++i) worst = std::max(worst, std::fabs(crop[i] - c.output.data[i]));
    EXPECT_LE(worst, 1e-4f) << "reference " << c.index;
    ++cases;
  }
  EXPECT_GT(cases, 0);
}

TEST(RenderAndPaste, DriveFramesPasteIntoTheFrameTheirEntryNames) {
  StderrCapture quiet;
  Ctx ctx(bakeFixture("tiny"));
  ASSERT_NE(ctx.c, nullptr) << le_last_error();
  const le::Manifest m = le::loadManifest(bakeFixture("tiny"));
  const le::Drive drive = le::loadDrive(m);
  const size_t pixels = 320 * 240;
  for (int i : {0, 9, 15}) {
    const int si = drive.si[i];
    ASSERT_EQ(si, i % 8);  // the bake's track walks the loop
    std::vector<uint8_t> rgba(pixels * 4), rgb(pixels * 3);
    ASSERT_EQ(le_render_drive_rgba(ctx.c, i, rgba.data(), rgba.size()), 1) << le_last_error();
    // The same crop pasted by hand into frame si gives the same pixels.
    const float* crop = le_render_drive_crop(ctx.c, i);
    ASSERT_NE(crop, nullptr);
    ASSERT_EQ(le_paste_crop(ctx.c, si, crop, rgb.data(), rgb.size()), 1);
    size_t differing = 0;
    for (size_t p = 0; p < pixels; ++p) {
      ASSERT_EQ(rgba[4 * p + 3], 255);
      for (int c = 0; c < 3; ++c) differing += rgba[4 * p + c] != rgb[3 * p + c];
    }
    EXPECT_EQ(differing, 0u) << "entry " << i;
    // The face changed the driver frame.
    const uint8_t* driver = le_target_frame(ctx.c, si);
    ASSERT_NE(driver, nullptr);
    EXPECT_NE(std::memcmp(driver, rgb.data(), rgb.size()), 0);
  }
  const uint8_t* last = le_paste_last(ctx.c, 4);
  ASSERT_NE(last, nullptr);
}

TEST(RenderAndPaste, ContextsOnSeveralThreads) {
  StderrCapture quiet;
  std::vector<std::thread> ts;
  std::vector<int> ok(2, 0);
  std::vector<std::string> why(2);
  const std::string dir = bakeFixture("tiny");
  for (int k = 0; k < 2; ++k)
    ts.emplace_back([k, &ok, &why, &dir] {
      Ctx ctx(dir, "b1", 1);
      if (!ctx.c) {
        why[k] = le_last_error();
        return;
      }
      std::vector<uint8_t> out(320 * 240 * 4);
      int good = 0;
      for (int i = 0; i < 16; ++i) {
        const int r = le_render_drive_rgba(ctx.c, (i + k * 5) % 16, out.data(), out.size());
        if (!r && why[k].empty()) why[k] = le_last_error();
        good += r;
      }
      ok[k] = good;
    });
  for (auto& t : ts) t.join();
  EXPECT_EQ(ok[0], 16) << why[0];
  EXPECT_EQ(ok[1], 16) << why[1];
}
