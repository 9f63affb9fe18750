// Member names under the welded and the manifest naming layouts.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include "bundle/le_bundle.h"
#include "bundle/le_fs.h"
#include "support/error_text.h"
#include "support/test_support.h"

using le::manifestLayoutName;
using le::resolveMember;
using le::test::TempDir;
using le::test::writeFile;

TEST(MemberNames, FixedPairs) {
  const std::pair<const char*, const char*> pairs[] = {
      {"P.f16", "source_frames.f16"},
      {"P_hevc.mov", "source_frames.hevc"},
      {"a2x_enc_stream.onnx", "audio_motion_encoder.onnx"},
      {"a2x_dec.onnx", "audio_motion_decoder.onnx"},
      {"M.f32", "paste_transform.f32"},
      {"mask_512.u8", "paste_mask.u8"},
      {"pooled64.f16", "pooled_features.f16"},
      {"fs_red.f16", "feature_synth.f16"},
      {"xs_target.bin", "target_keypoints.bin"},
  };
  for (const auto& p : pairs) EXPECT_EQ(manifestLayoutName(p.first), p.second);
  // Whole-name matches only.
  EXPECT_EQ(manifestLayoutName("P.f16.bak"), "P.f16.bak");
  EXPECT_EQ(manifestLayoutName("sub/P.f16"), "sub/P.f16");
}

TEST(MemberNames, DirectorModels) {
  EXPECT_EQ(manifestLayoutName("model_b1.onnx"), "render_model.batch1.onnx");
  EXPECT_EQ(manifestLayoutName("model_b4.onnx"), "render_model.batch4.onnx");
  EXPECT_EQ(manifestLayoutName("model_b4_fp16.onnx"), "render_model.batch4.fp16.onnx");
  EXPECT_EQ(manifestLayoutName("model_b24_fp32.onnx"), "render_model.batch24.fp32.onnx");
  // Only the first "_" splits; the tag keeps the rest.
  EXPECT_EQ(manifestLayoutName("model_b1_a_b.onnx"), "render_model.batch1.a_b.onnx");
  // 12 characters is too short to carry a batch part.
  EXPECT_EQ(manifestLayoutName("model_b.onnx"), "model_b.onnx");
  EXPECT_EQ(manifestLayoutName("model_render.onnx"), "model_render.onnx");
  EXPECT_EQ(manifestLayoutName("model_b1.onnx.gz"), "model_b1.onnx.gz");
}

TEST(MemberNames, DriveTrack) {
  EXPECT_EQ(manifestLayoutName("drive/xs.f32"), "idle_loop/source_keypoints.f32");
  EXPECT_EQ(manifestLayoutName("drive/xd.f32"), "idle_loop/driven_keypoints.f32");
  EXPECT_EQ(manifestLayoutName("drive/si.i32"), "idle_loop/source_index.i32");
  EXPECT_EQ(manifestLayoutName("drive/other.f32"), "idle_loop/other.f32");
  // The stem ends at the first dot; the extension keeps the rest.
  EXPECT_EQ(manifestLayoutName("drive/xs.v2.f32"), "idle_loop/source_keypoints.v2.f32");
  EXPECT_EQ(manifestLayoutName("drive/xs"), "idle_loop/source_keypoints");
  EXPECT_EQ(manifestLayoutName("drive/xsx.f32"), "idle_loop/xsx.f32");
}

TEST(MemberResolve, WeldedWinsLayoutIsTheFallback) {
  TempDir t;
  const std::string d = t.path();
  // Nothing present: the welded path, so the error that follows names it.
  EXPECT_EQ(resolveMember(d, "P.f16"), d + "/P.f16");
  writeFile(d + "/source_frames.f16", "layout");
  EXPECT_EQ(resolveMember(d, "P.f16"), d + "/source_frames.f16");
  writeFile(d + "/P.f16", "welded");
  EXPECT_EQ(resolveMember(d, "P.f16"), d + "/P.f16");

  writeFile(d + "/idle_loop/source_index.i32", "si");
  EXPECT_EQ(resolveMember(d, "drive/si.i32"), d + "/idle_loop/source_index.i32");
  writeFile(d + "/render_model.batch4.fp16.onnx", "m");
  EXPECT_EQ(resolveMember(d, "model_b4_fp16.onnx"), d + "/render_model.batch4.fp16.onnx");
  // Names without a layout twin are joined as they are.
  EXPECT_EQ(resolveMember(d, "manifest.json"), d + "/manifest.json");
}

TEST(MemberFile, RegularFilesAndLinksOpenAnythingElseIsRefusedAtOnce) {
  TempDir t;
  writeFile(t / "data.bin", "abcdef");
  ASSERT_EQ(::symlink((t / "data.bin").c_str(), (t / "link.bin").c_str()), 0);
  for (const std::string& path : {t / "data.bin", t / "link.bin"}) {
    le::fs::MemberFile f(path);
    EXPECT_EQ(f.size(), 6u);
    char head[2];
    ASSERT_TRUE(f.read(head, 2));
    EXPECT_EQ(f.readToEnd(), "cdef");
    EXPECT_TRUE(f.atEnd());
    EXPECT_FALSE(f.read(head, 1));  // the file has ended
  }
  // A FIFO without a writer, a directory, a link to a directory, nothing.
  ASSERT_EQ(::mkfifo((t / "pipe").c_str(), 0600), 0);
  ASSERT_EQ(::mkdir((t / "dir").c_str(), 0755), 0);
  ASSERT_EQ(::symlink((t / "dir").c_str(), (t / "dirlink").c_str()), 0);
  for (const std::string& path : {t / "pipe", t / "dir", t / "dirlink", t / "missing"}) {
    EXPECT_EQ(le::test::errorOf([&] { le::fs::MemberFile f(path); }), "cannot open " + path);
    EXPECT_FALSE(le::fs::opensForReading(path)) << path;
  }
  EXPECT_TRUE(le::fs::memberExists(t / "pipe"));
  EXPECT_FALSE(le::fs::memberExists(t / "missing"));
  // Resolution asks without blocking: a FIFO under the welded name is not
  // taken for the member, and the bundle's own reader refuses it.
  ASSERT_EQ(::mkfifo((t / "M.f32").c_str(), 0600), 0);
  EXPECT_EQ(resolveMember(t.path(), "M.f32"), t / "M.f32");
  EXPECT_EQ(le::test::errorOf([&] { le::readFile(t / "M.f32"); }), "cannot open " + (t / "M.f32"));
}
