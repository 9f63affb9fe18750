// le_render_drive_rgba end to end at the demo bake's full size (1920x1080,
// 512 crop, batch-1 director), split into its two halves: the render
// (le_render_drive_crop) and the paste into the driver frame (le_paste_last).
//
// The whole frame also runs with this library's kernels forced to AVX2 where
// the processor has more (ONNX Runtime's own kernels keep their dispatch).
//
//   bench_context                                  (bundle: full/ of the baked test fixtures)
//   LE_BAKE_BUNDLE=/path/to/bundle bench_context
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <string>
#include <vector>

#include "hwy/targets.h"
#include "le/le.h"
#include "support/bench_support.h"
#include "support/ratio_main.h"

namespace {

std::string bundlePath() { return le::bench::fullBundle(); }

struct Context {
  le_ctx* ctx = nullptr;
  std::vector<int32_t> si;
  Context() {
    ctx = le_create(bundlePath().c_str(), "b1", 0, "");
    if (!ctx) {
      std::fprintf(stderr, "bench_context: no bundle at %s: %s (bake one with: ctest -R bake_full)\n",
                   bundlePath().c_str(), le_last_error());
      return;
    }
    char path[4096];
    if (le_bundle_resolve_member(bundlePath().c_str(), "drive/si.i32", path, sizeof path) == 1) {
      si.resize(le_drive_frames(ctx));
      std::ifstream(path, std::ios::binary).read(reinterpret_cast<char*>(si.data()),
                                                 static_cast<std::streamsize>(si.size() * 4));
    }
  }
  ~Context() { le_destroy(ctx); }
};

Context& context() {
  static Context c;
  return c;
}

// This library's kernels forced to one target (0: the chosen one).
class ForcedTarget {
 public:
  explicit ForcedTarget(int64_t target) { hwy::SetSupportedTargetsForTest(target); }
  ~ForcedTarget() { hwy::SetSupportedTargetsForTest(0); }
};

void BM_RenderDriveRgba(benchmark::State& state, int64_t target) {
  ForcedTarget forced(target);
  Context& c = context();
  if (!c.ctx) return state.SkipWithError("no bundle");
  std::vector<uint8_t> out(static_cast<size_t>(le_width(c.ctx)) * le_height(c.ctx) * 4);
  int i = 0;
  for (auto _ : state) {
    if (!le_render_drive_rgba(c.ctx, i, out.data(), out.size())) state.SkipWithError(le_last_error());
    i = (i + 1) % le_drive_frames(c.ctx);
  }
  state.counters["fps"] = benchmark::Counter(static_cast<double>(state.iterations()), benchmark::Counter::kIsRate);
}

void BM_RenderDriveCrop(benchmark::State& state) {
  Context& c = context();
  if (!c.ctx) return state.SkipWithError("no bundle");
  int i = 0;
  for (auto _ : state) {
    if (!le_render_drive_crop(c.ctx, i)) state.SkipWithError(le_last_error());
    i = (i + 1) % le_drive_frames(c.ctx);
  }
}

void BM_PasteLast(benchmark::State& state) {
  Context& c = context();
  if (!c.ctx || c.si.empty()) return state.SkipWithError("no bundle");
  if (!le_render_drive_crop(c.ctx, 0)) return state.SkipWithError(le_last_error());
  int i = 0;
  for (auto _ : state) {
    if (!le_paste_last(c.ctx, c.si[i])) state.SkipWithError(le_last_error());
    i = (i + 1) % static_cast<int>(c.si.size());
  }
}

BENCHMARK(BM_RenderDriveCrop)->Unit(benchmark::kMillisecond)->UseRealTime()->MinTime(3.0);
BENCHMARK(BM_PasteLast)->Unit(benchmark::kMillisecond)->UseRealTime()->MinTime(2.0);

}  // namespace

int main(int argc, char** argv) {
  const std::vector<int64_t> targets = hwy::SupportedAndGeneratedTargets();
  const int64_t best = targets.empty() ? 0 : targets.front();
  std::printf("CPU: %s, chosen target: %s\n", le::bench::cpuModel().c_str(), hwy::TargetName(best));
  std::vector<std::pair<std::string, std::string>> pairs = {{"BM_RenderDriveCrop", "BM_RenderDriveRgba/chosen"},
                                                            {"BM_PasteLast", "BM_RenderDriveRgba/chosen"}};
  benchmark::RegisterBenchmark("BM_RenderDriveRgba/chosen", BM_RenderDriveRgba, 0)
      ->Unit(benchmark::kMillisecond)->UseRealTime()->MinTime(3.0);
  if ((hwy::SupportedTargets() & HWY_AVX2) && best != HWY_AVX2) {
    benchmark::RegisterBenchmark("BM_RenderDriveRgba/AVX2", BM_RenderDriveRgba, HWY_AVX2)
        ->Unit(benchmark::kMillisecond)->UseRealTime()->MinTime(3.0);
    pairs.push_back({"BM_RenderDriveRgba/AVX2", "BM_RenderDriveRgba/chosen"});
  }
  return le::bench::runWithRatios(argc, argv, pairs);
}
