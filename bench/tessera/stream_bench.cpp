// One frame of the borrow pass at the full profile's geometry (512 crop,
// 256x128 window, 32 donors, BlendHead(16) with seeded weights, lip contour),
// with the kernels on the target Highway chooses and forced to AVX2 (when the
// processor has something better). "Time" is wall time per frame; "CPU" is
// the CPU time of the whole process (every pool thread) per frame, which
// bounds the wall time on an idle machine when the machine is shared.
//
//   bench_tessera_stream
#include <benchmark/benchmark.h>

#include <cstdio>
#include <random>
#include <vector>

#include "hwy/targets.h"
#include "paste/le_pool.h"
#include "paste/le_simd.h"
#include "support/bench_support.h"
#include "support/ratio_main.h"
#include "seeded_head.h"
#include "tessera/le_tessera_stream.h"

namespace {

constexpr int kCrop = 512, kDonors = 32;


// This library's kernels forced to one target (0: the chosen one).
class ForcedTarget {
 public:
  explicit ForcedTarget(int64_t target) { hwy::SetSupportedTargetsForTest(target); }
  ~ForcedTarget() { hwy::SetSupportedTargetsForTest(0); }
};

void BM_StreamBorrowFrame(benchmark::State& state, int64_t target) {
  ForcedTarget forced(target);
  std::mt19937 rng(3);
  le::TesseraAttachInputs in;
  in.n_donors = kDonors;
  in.stamp = {kCrop, kCrop, 128, 272, 256, 128, 16, 16, 112, 32, 224, 16};
  in.band_w = 224 - 32 + 32;
  in.band_h = 112 - 16 + 32;
  for (int d = 0; d < kDonors; ++d) {
    in.track_order.push_back(d);
    in.aperture.push_back(0.4 * d / (kDonors - 1));
    in.cent.push_back(255.5);
    in.cent.push_back(335.5);
  }
  std::vector<uint8_t> bank(static_cast<size_t>(kDonors) * in.patchBytes());
  for (auto& b : bank) b = static_cast<uint8_t>(rng());
  le::tessera::HeadWeights h = le::bench::seededHead(rng);
  le::tessera::ServeConfig c;
  c.kshort = 8;
  c.aperture_tol = 0.15;
  c.K = 2;
  c.cut = 3;
  c.hysteresis = 2;
  c.lookahead = 0;
  c.v1 = true;
  const std::string lip =
      R"({"format":"lip-template-v1","canvas":512,"feather_px":8,"u_canon":[[-0.25,0.3],[0,0.2],)"
      R"([0.25,0.3],[0,0.42]],"lip_idx":[11,12,13,14,15,16]})";
  le::tessera::StreamBorrow borrow(in, bank, kCrop, h, c, lip);
  std::vector<float> crop(3 * kCrop * kCrop, 0.5f), kp(63, 0.0f);
  kp[33] = -0.3f, kp[34] = 0.3f, kp[36] = 0.3f, kp[37] = 0.3f, kp[43] = 0.25f, kp[46] = 0.35f;
  int64_t seq = 0;
  state.SetLabel(le::simd::target());
  for (auto _ : state) {
    auto out = borrow.push(seq++, crop.data(), kp.data(), kp.data());
    borrow.writeWindowDelta(out.front(), crop.data());
    borrow.recycle(std::move(out.front()));
    benchmark::DoNotOptimize(crop.data());
  }
}
}  // namespace

int main(int argc, char** argv) {
  const std::vector<int64_t> targets = hwy::SupportedAndGeneratedTargets();
  const int64_t best = targets.empty() ? 0 : targets.front();
  std::printf("CPU: %s, chosen target: %s, pool threads: %d (budget: <= 3 ms per frame on 2 cores)\n",
              le::bench::cpuModel().c_str(), hwy::TargetName(best), le::pool::threads());
  std::vector<std::pair<std::string, std::string>> pairs;
  auto add = [](const char* name, int64_t target) {
    benchmark::RegisterBenchmark(name, BM_StreamBorrowFrame, target)
        ->Unit(benchmark::kMillisecond)
        ->UseRealTime()
        ->MeasureProcessCPUTime()
        ->MinTime(2.0);
  };
  add("BM_StreamBorrowFrame/chosen", 0);
  if ((hwy::SupportedTargets() & HWY_AVX2) && best != HWY_AVX2) {
    add("BM_StreamBorrowFrame/AVX2", HWY_AVX2);
    pairs.push_back({"BM_StreamBorrowFrame/AVX2", "BM_StreamBorrowFrame/chosen"});
  }
  return le::bench::runWithRatios(argc, argv, pairs);
}
