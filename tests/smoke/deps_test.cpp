// The third-party libraries are wired into the build and usable at run time.
#include <gtest/gtest.h>
#include <onnxruntime_cxx_api.h>

#include <cstdio>

extern "C" {
#include <libavcodec/avcodec.h>
#include <libswscale/swscale.h>
}
#include <hwy/targets.h>

TEST(Dependencies, OnnxRuntimeEnvironmentOpens) {
  Ort::Env env(ORT_LOGGING_LEVEL_WARNING, "le_smoke");
  const std::string version = Ort::GetVersionString();
  std::printf("ONNX Runtime %s\n", version.c_str());
  EXPECT_FALSE(version.empty());
  // Headers and runtime must agree on the API level we compile against.
  EXPECT_NE(OrtGetApiBase()->GetApi(ORT_API_VERSION), nullptr);
}

TEST(Dependencies, LibavcodecOpensAnH264Decoder) {
  const AVCodec* codec = avcodec_find_decoder(AV_CODEC_ID_H264);
  ASSERT_NE(codec, nullptr);
  AVCodecContext* ctx = avcodec_alloc_context3(codec);
  ASSERT_NE(ctx, nullptr);
  EXPECT_EQ(avcodec_open2(ctx, codec, nullptr), 0);
  std::printf("libavcodec %s, decoder %s\n", av_version_info(), codec->name);
  avcodec_free_context(&ctx);
}

TEST(Dependencies, SwscaleAndHighwayPresent) {
  EXPECT_GT(swscale_version(), 0u);
  EXPECT_NE(hwy::SupportedTargets(), 0);
}
