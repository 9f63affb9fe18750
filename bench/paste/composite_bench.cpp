// Paste::composite of a 512 crop into a 1920x1080 frame against OpenCV doing
// the same job: GaussianBlur-based unsharp with the same sigma and kernel,
// warpAffine with INTER_LANCZOS4 into the pasted box, and a feathered alpha
// blend over that box only. Both sides use 2 threads (LE_CORE_THREADS=1
// runs both on one, steadier on a busy machine). Each paste mode also
// runs forced to every vector target the processor supports (OpenCV keeps its
// own dispatch).
//
//   bench_paste_composite
#include <opencv2/core.hpp>
#include <opencv2/imgproc.hpp>

#include <cmath>
#include <cstdio>
#include <random>
#include <vector>

#include "hwy/targets.h"
#include "paste/le_paste.h"
#include "paste/le_pool.h"
#include "paste/le_simd.h"
#include "support/bench_support.h"
#include "support/ratio_main.h"

namespace {

constexpr int kSide = 512, kW = 1920, kH = 1080;
const le::Unsharp kUnsharp{1.3f, 2.0f, 13};

struct Inputs {
  std::vector<float> crop;  // 3 planes, 0 ... 1
  std::vector<uint8_t> mask, frame;
  float M[6];
  Inputs() : crop(3 * kSide * kSide), mask(kSide * kSide), frame(kW * kH * 3) {
    std::mt19937 rng(1);
    for (int c = 0; c < 3; ++c)
      for (int y = 0; y < kSide; ++y)
        for (int x = 0; x < kSide; ++x)
          crop[(c * kSide + y) * kSide + x] =
              0.5f + 0.4f * std::sin(0.03f * x + 0.05f * y + c) * std::cos(0.02f * y - 0.01f * x);
    const double cc = (kSide - 1) / 2.0;
    for (int y = 0; y < kSide; ++y)
      for (int x = 0; x < kSide; ++x) {
        const double r = std::hypot((x - cc) / (0.46 * kSide), (y - cc) / (0.5 * kSide));
        mask[y * kSide + x] = static_cast<uint8_t>(std::lround(255 * std::min(1.0, std::max(0.0, (1 - r) / 0.25))));
      }
    for (auto& b : frame) b = static_cast<uint8_t>(rng() & 0xff);
    const double s = 1.3, a = 0.08;
    const float m[6] = {float(s * std::cos(a)), float(-s * std::sin(a)), 640.f,
                        float(s * std::sin(a)), float(s * std::cos(a)), 160.f};
    std::copy(m, m + 6, M);
  }
};

const Inputs& inputs() {
  static Inputs in;
  return in;
}

// The kernels forced to one target for the benchmark's body (0: the chosen one).
class ForcedTarget {
 public:
  explicit ForcedTarget(int64_t target) { hwy::SetSupportedTargetsForTest(target); }
  ~ForcedTarget() { hwy::SetSupportedTargetsForTest(0); }
};

void compositeWith(benchmark::State& state, int fast, int64_t target) {
  ForcedTarget forced(target);
  const Inputs& in = inputs();
  const std::string mode = std::to_string(fast);
  setenv("LE_PASTE_FAST", mode.c_str(), 1);
  le::Paste paste(in.mask, kSide, kUnsharp);
  unsetenv("LE_PASTE_FAST");
  std::vector<uint8_t> frame = in.frame;
  for (auto _ : state) {
    paste.composite(in.crop.data(), 255.f, in.M, frame.data(), kW, kH);
    benchmark::DoNotOptimize(frame.data());
  }
  state.counters["threads"] = le::pool::threads();
}

// The same job with OpenCV, set up as a careful user would: float crop,
// reflect-101 border (the mirror without repeating the edge), inverse map of
// the box only, blend restricted to the box.
void BM_OpenCV(benchmark::State& state) {
  const Inputs& in = inputs();
  cv::setNumThreads(le::pool::threads());
  std::vector<cv::Mat> planes;
  for (int c = 0; c < 3; ++c)
    planes.emplace_back(kSide, kSide, CV_32F, const_cast<float*>(in.crop.data()) + c * kSide * kSide);
  cv::Mat cropF, blur, sharp, maskF;
  cv::Mat(kSide, kSide, CV_8U, const_cast<uint8_t*>(in.mask.data())).convertTo(maskF, CV_32F, 1 / 255.0);
  // The pasted box, as the library computes it.
  double minX = 1e9, maxX = -1e9, minY = 1e9, maxY = -1e9;
  for (double cx : {-4.0, kSide + 3.0})
    for (double cy : {-4.0, kSide + 3.0}) {
      const double x = in.M[0] * cx + in.M[1] * cy + in.M[2], y = in.M[3] * cx + in.M[4] * cy + in.M[5];
      minX = std::min(minX, x), maxX = std::max(maxX, x), minY = std::min(minY, y), maxY = std::max(maxY, y);
    }
  const cv::Rect box(int(std::floor(minX)), int(std::floor(minY)), int(std::ceil(maxX) - std::floor(minX)) + 1,
                     int(std::ceil(maxY) - std::floor(minY)) + 1);
  cv::Mat warpM = (cv::Mat_<double>(2, 3) << in.M[0], in.M[1], in.M[2] - box.x, in.M[3], in.M[4], in.M[5] - box.y);
  std::vector<uint8_t> frameBytes = in.frame;
  cv::Mat frame(kH, kW, CV_8UC3, frameBytes.data());
  cv::Mat warped, alpha, alpha3, roiF, blended;
  for (auto _ : state) {
    cv::merge(planes, cropF);
    cropF *= 255.0;
    cv::GaussianBlur(cropF, blur, cv::Size(13, 13), 2.0, 2.0, cv::BORDER_REFLECT_101);
    cv::addWeighted(cropF, 1.0 + kUnsharp.amount, blur, -kUnsharp.amount, 0.0, sharp);
    cv::min(cv::max(sharp, 0.0), 255.0, sharp);
    cv::warpAffine(sharp, warped, warpM, box.size(), cv::INTER_LANCZOS4, cv::BORDER_CONSTANT);
    cv::warpAffine(maskF, alpha, warpM, box.size(), cv::INTER_LINEAR, cv::BORDER_CONSTANT);
    cv::Mat roi = frame(box);
    roi.convertTo(roiF, CV_32F);
    cv::merge(std::vector<cv::Mat>{alpha, alpha, alpha}, alpha3);
    cv::subtract(warped, roiF, blended);
    cv::multiply(blended, alpha3, blended);
    cv::add(blended, roiF, blended);
    blended.convertTo(roi, CV_8U);
    benchmark::DoNotOptimize(frameBytes.data());
  }
  state.counters["threads"] = cv::getNumThreads();
}


}  // namespace

int main(int argc, char** argv) {
  // Two threads on both sides unless LE_CORE_THREADS asks for another count
  // (the pool reads it once, on first use).
  setenv("LE_CORE_THREADS", "2", 0);
  std::printf("CPU: %s, chosen target: %s, pool threads: %d\n", le::bench::cpuModel().c_str(),
              le::simd::target(), le::pool::threads());
  std::vector<std::pair<std::string, std::string>> pairs;
  benchmark::RegisterBenchmark("BM_OpenCV", BM_OpenCV)->Unit(benchmark::kMillisecond)->UseRealTime();
  std::vector<std::pair<std::string, int64_t>> targets = {{"chosen", 0}};
  for (int64_t t : hwy::SupportedAndGeneratedTargets()) targets.emplace_back(hwy::TargetName(t), t);
  const char* modes[3] = {"BM_PasteLanczos8", "BM_PasteBicubic", "BM_PasteBilinear"};
  for (const auto& [name, t] : targets)
    for (int mode = 0; mode < 3; ++mode) {
      const std::string bench = std::string(modes[mode]) + "/" + name;
      benchmark::RegisterBenchmark(bench.c_str(), compositeWith, mode, t)
          ->Unit(benchmark::kMillisecond)
          ->UseRealTime();
      pairs.emplace_back(bench, "BM_OpenCV");
    }
  return le::bench::runWithRatios(argc, argv, pairs);
}
