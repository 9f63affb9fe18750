// Vector kernels and the worker pool against their obvious alternatives.
//
//   bench_paste_kernels [--benchmark_filter=...]
//
// float16 conversions of one 512 x 512 x 3 prior row (1.5 MB of float16)
// against memcpy of the row and against memcpy of as many bytes as the
// conversion moves; YUV 4:2:0 -> RGB24 of a 1920 x 1080 frame against libswscale
// (BT.601 limited range, single thread both); parallelRange per-job overhead
// against starting a thread per job; two real loops (the YUV frame by rows,
// memory-bound, and a 3x3 convolution by output channel, compute-bound) on one
// thread and over the pool.
// Each kernel also runs forced to every other target the processor supports.
extern "C" {
#include <libavutil/pixfmt.h>
#include <libswscale/swscale.h>
}

#include <cstdio>
#include <cstring>
#include <random>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "hwy/targets.h"
#include "paste/le_pool.h"
#include "paste/le_simd.h"
#include "support/ratio_main.h"

namespace {

constexpr size_t kPriorValues = size_t{512} * 512 * 3;  // one prior row: 1.5 MB as float16
constexpr int kW = 1920, kH = 1080;

std::vector<uint16_t> priorHalves() {
  std::vector<float> f(kPriorValues);
  std::mt19937 rng(1);
  std::uniform_real_distribution<float> dist(-1.0f, 1.0f);
  for (float& x : f) x = dist(rng);
  std::vector<uint16_t> h(kPriorValues);
  le::simd::f32ToF16(f.data(), h.data(), f.size());
  return h;
}

struct Frame {
  std::vector<uint8_t> y, u, v, rgb;
  Frame() : y(size_t{kW} * kH), u(size_t{kW / 2} * (kH / 2)), v(u.size()), rgb(size_t{kW} * kH * 3) {
    std::mt19937 rng(2);
    for (auto* plane : {&y, &u, &v})
      for (uint8_t& b : *plane) b = static_cast<uint8_t>(rng());
  }
  void convertRows(size_t begin, size_t end) {
    for (size_t r = begin; r < end; ++r)
      le::simd::yuv420RowToRgb24(y.data() + r * kW, u.data() + (r / 2) * (kW / 2),
                                 v.data() + (r / 2) * (kW / 2), kW, 1, rgb.data() + r * kW * 3);
  }
};

// Runs the benchmark body with the kernels forced to one target (0: the
// processor's own choice).
class ForcedTarget {
 public:
  explicit ForcedTarget(int64_t target) { hwy::SetSupportedTargetsForTest(target); }
  ~ForcedTarget() { hwy::SetSupportedTargetsForTest(0); }
};

void F16ToF32(benchmark::State& state, int64_t target) {
  ForcedTarget forced(target);
  const auto h = priorHalves();
  std::vector<float> f(h.size());
  for (auto _ : state) {
    le::simd::f16ToF32(h.data(), f.data(), h.size());
    benchmark::DoNotOptimize(f.data());
    benchmark::ClobberMemory();
  }
  state.SetBytesProcessed(state.iterations() * int64_t(h.size() * 6));  // read 2 + write 4
}

void F32ToF16(benchmark::State& state, int64_t target) {
  ForcedTarget forced(target);
  std::vector<float> f(kPriorValues);
  le::simd::f16ToF32(priorHalves().data(), f.data(), f.size());
  std::vector<uint16_t> h(f.size());
  for (auto _ : state) {
    le::simd::f32ToF16(f.data(), h.data(), f.size());
    benchmark::DoNotOptimize(h.data());
    benchmark::ClobberMemory();
  }
  state.SetBytesProcessed(state.iterations() * int64_t(f.size() * 6));
}

// memcpy of the float16 row itself (1.5 MB), and of 2.25 MB, which reads and
// writes as many bytes as a conversion does (1.5 MB one way, 3 MB the other).
void Memcpy(benchmark::State& state, size_t bytes) {
  std::vector<uint8_t> src(bytes, 1), dst(bytes);
  for (auto _ : state) {
    std::memcpy(dst.data(), src.data(), bytes);
    benchmark::DoNotOptimize(dst.data());
    benchmark::ClobberMemory();
  }
  state.SetBytesProcessed(state.iterations() * int64_t(bytes * 2));
}

void YuvFrame(benchmark::State& state, int64_t target) {
  ForcedTarget forced(target);
  Frame frame;
  for (auto _ : state) {
    frame.convertRows(0, kH);
    benchmark::DoNotOptimize(frame.rgb.data());
    benchmark::ClobberMemory();
  }
  state.SetItemsProcessed(state.iterations() * int64_t(kW) * kH);
}

void SwscaleFrame(benchmark::State& state) {
  Frame frame;
  SwsContext* sws = sws_getContext(kW, kH, AV_PIX_FMT_YUV420P, kW, kH, AV_PIX_FMT_RGB24,
                                   SWS_BILINEAR, nullptr, nullptr, nullptr);
  if (!sws) {
    state.SkipWithError("sws_getContext failed");
    return;
  }
  const uint8_t* src[3] = {frame.y.data(), frame.u.data(), frame.v.data()};
  const int srcStride[3] = {kW, kW / 2, kW / 2};
  uint8_t* dst[1] = {frame.rgb.data()};
  const int dstStride[1] = {kW * 3};
  for (auto _ : state) {
    sws_scale(sws, src, srcStride, 0, kH, dst, dstStride);
    benchmark::DoNotOptimize(frame.rgb.data());
    benchmark::ClobberMemory();
  }
  state.SetItemsProcessed(state.iterations() * int64_t(kW) * kH);
  // Both use BT.601 limited range; swscale's fixed-point path differs by a few levels.
  std::vector<uint8_t> ours(frame.rgb.size());
  std::swap(ours, frame.rgb);
  frame.convertRows(0, kH);
  std::swap(ours, frame.rgb);
  int maxDiff = 0;
  for (size_t i = 0; i < ours.size(); ++i)
    maxDiff = std::max(maxDiff, std::abs(int(ours[i]) - int(frame.rgb[i])));
  state.counters["max_diff_vs_le"] = maxDiff;
  sws_freeContext(sws);
}

// The same frame with rows split over the calling thread's pool (grain 64 rows).
void YuvFramePooled(benchmark::State& state) {
  Frame frame;
  for (auto _ : state) {
    le::pool::parallelRange(kH, 64, [&](size_t b, size_t e) { frame.convertRows(b, e); });
    benchmark::DoNotOptimize(frame.rgb.data());
    benchmark::ClobberMemory();
  }
  state.counters["threads"] = le::pool::threads();
  state.SetItemsProcessed(state.iterations() * int64_t(kW) * kH);
}

// A compute-bound loop: a 3x3 convolution, 16 -> 32 channels over 96 x 96,
// split by output channel, on one thread and over the pool.
struct ConvLayer {
  static constexpr int kIn = 16, kOut = 32, kSide = 96;
  std::vector<float> in, weight, bias, out;
  ConvLayer()
      : in(size_t{kIn} * kSide * kSide), weight(size_t{kOut} * kIn * 9), bias(kOut),
        out(size_t{kOut} * kSide * kSide) {
    std::mt19937 rng(3);
    std::uniform_real_distribution<float> dist(-1.0f, 1.0f);
    for (auto* v : {&in, &weight, &bias})
      for (float& x : *v) x = dist(rng);
  }
  void run(size_t begin, size_t end) {
    le::simd::conv3x3Range(in.data(), 1, kIn, kSide, kSide, weight.data(), bias.data(), 0,
                           out.data(), static_cast<int>(begin), static_cast<int>(end));
  }
};

void ConvSerial(benchmark::State& state) {
  ConvLayer layer;
  for (auto _ : state) {
    layer.run(0, ConvLayer::kOut);
    benchmark::DoNotOptimize(layer.out.data());
  }
}

void ConvPooled(benchmark::State& state) {
  ConvLayer layer;
  for (auto _ : state) {
    le::pool::parallelRange(ConvLayer::kOut, 1, [&](size_t b, size_t e) { layer.run(b, e); });
    benchmark::DoNotOptimize(layer.out.data());
  }
  state.counters["threads"] = le::pool::threads();
}

// One job of empty parts: wake the workers, run, wait for all of them.
void PoolEmptyJob(benchmark::State& state) {
  const size_t n = static_cast<size_t>(le::pool::threads());
  for (auto _ : state) le::pool::parallelRange(n, 1, [](size_t b, size_t e) { benchmark::DoNotOptimize(b + e); });
  state.counters["parts"] = le::pool::parts(n, 1);
}

// The alternative without a pool: a fresh thread per extra part.
void ThreadPerJob(benchmark::State& state) {
  const int n = le::pool::threads();
  std::vector<std::thread> workers;
  workers.reserve(static_cast<size_t>(n));
  for (auto _ : state) {
    for (int i = 1; i < n; ++i) workers.emplace_back([i] { benchmark::DoNotOptimize(i); });
    benchmark::DoNotOptimize(n);
    for (auto& t : workers) t.join();
    workers.clear();
  }
}

}  // namespace

int main(int argc, char** argv) {
  std::printf("chosen target: %s, pool threads: %d\n", le::simd::target(), le::pool::threads());
  std::vector<std::pair<std::string, std::string>> pairs;
  benchmark::RegisterBenchmark("memcpy_f16_row", Memcpy, kPriorValues * 2);
  benchmark::RegisterBenchmark("memcpy_same_traffic", Memcpy, kPriorValues * 3);
  benchmark::RegisterBenchmark("swscale_yuv420p_rgb24_1080p", SwscaleFrame)->Unit(benchmark::kMicrosecond);
  std::vector<std::pair<std::string, int64_t>> targets = {{"chosen", 0}};
  for (int64_t t : hwy::SupportedAndGeneratedTargets()) targets.emplace_back(hwy::TargetName(t), t);
  for (const auto& [name, t] : targets) {
    benchmark::RegisterBenchmark(("f16ToF32/" + name).c_str(), F16ToF32, t);
    benchmark::RegisterBenchmark(("f32ToF16/" + name).c_str(), F32ToF16, t);
    benchmark::RegisterBenchmark(("yuv420RowToRgb24_1080p/" + name).c_str(), YuvFrame, t)
        ->Unit(benchmark::kMicrosecond);
    pairs.emplace_back("f16ToF32/" + name, "memcpy_f16_row");
    pairs.emplace_back("f32ToF16/" + name, "memcpy_f16_row");
    pairs.emplace_back("yuv420RowToRgb24_1080p/" + name, "swscale_yuv420p_rgb24_1080p");
  }
  pairs.emplace_back("f16ToF32/chosen", "memcpy_same_traffic");
  pairs.emplace_back("f32ToF16/chosen", "memcpy_same_traffic");
  benchmark::RegisterBenchmark("yuv420RowToRgb24_1080p_pool", YuvFramePooled)->Unit(benchmark::kMicrosecond)->UseRealTime();
  benchmark::RegisterBenchmark("conv3x3_channels_1thread", ConvSerial)->Unit(benchmark::kMicrosecond)->UseRealTime();
  benchmark::RegisterBenchmark("conv3x3_channels_pool", ConvPooled)->Unit(benchmark::kMicrosecond)->UseRealTime();
  benchmark::RegisterBenchmark("pool_empty_job", PoolEmptyJob)->UseRealTime();
  benchmark::RegisterBenchmark("thread_per_job", ThreadPerJob)->UseRealTime();
  pairs.emplace_back("yuv420RowToRgb24_1080p_pool", "yuv420RowToRgb24_1080p/chosen");
  pairs.emplace_back("conv3x3_channels_pool", "conv3x3_channels_1thread");
  pairs.emplace_back("pool_empty_job", "thread_per_job");
  return le::bench::runWithRatios(argc, argv, pairs);
}
