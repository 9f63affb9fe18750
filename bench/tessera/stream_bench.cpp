// One frame of the borrow pass at the full profile's geometry (512 crop,
// 256x128 window, 32 donors, BlendHead(16) with seeded weights, lip contour),
// per pool size.
//
//   bench_tessera_stream
#include <benchmark/benchmark.h>

#include <random>
#include <vector>

#include "tessera/le_tessera_stream.h"

namespace {

constexpr int kCrop = 512, kDonors = 32;

std::vector<float> seeded(size_t n, std::mt19937& rng, float scale) {
  std::uniform_real_distribution<float> u(-scale, scale);
  std::vector<float> v(n);
  for (float& x : v) x = u(rng);
  return v;
}

void BM_StreamBorrowFrame(benchmark::State& state) {
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
  le::tessera::HeadWeights h;
  h.cand0_w = seeded(16 * 7 * 9, rng, 0.1f);
  h.cand0_b = seeded(16, rng, 0.1f);
  h.cand2_w = seeded(16 * 16 * 9, rng, 0.1f);
  h.cand2_b = seeded(16, rng, 0.1f);
  h.cand4_w = seeded(16 * 9, rng, 0.1f);
  h.cand4_b = seeded(1, rng, 0.1f);
  h.syn0_w = seeded(16 * 3 * 9, rng, 0.1f);
  h.syn0_b = seeded(16, rng, 0.1f);
  h.syn2_w = seeded(16 * 9, rng, 0.1f);
  h.syn2_b = seeded(1, rng, 0.1f);
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
  for (auto _ : state) {
    auto out = borrow.push(seq++, crop.data(), kp.data(), kp.data());
    borrow.writeWindowDelta(out.front(), crop.data());
    benchmark::DoNotOptimize(crop.data());
  }
}
BENCHMARK(BM_StreamBorrowFrame)->Unit(benchmark::kMillisecond);

}  // namespace

BENCHMARK_MAIN();
