// Each load-time rewrite's effect on the whole director, in ms per frame on
// ONNX Runtime's CPU provider (session set up as the renderer does: graph
// optimisation "all", one inter-op thread, no spinning, the custom operators
// registered), batch 1, the demo bake's full-size director and its own
// identity row and drive keypoints as inputs.
//
//   bench_director_rewrites                         (bundle: full/ of the baked test fixtures)
//   LE_BAKE_BUNDLE=/path/to/bundle bench_director_rewrites
//
// Without a baked bundle (ctest -R bake_full bakes it) it times the
// synthetic 512 director of the test graphs instead, on seeded inputs.
// Variants, each against the graph as baked:
//   GridSampleFast, Gemm, HeadCubic, WarpDirector   one rewrite alone
//   Renderer        GridSample, blend and head rewrites (the default load)
//   RendererWarp    the same after the warp block collapse (LE_WARP_NODE=1)
//   ConeHoist       the default load split at the source cone: the per-frame
//                   graph only (the prep graph runs once per source frame on
//                   a spare core; BM_ConePrep times it)
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <functional>
#include <memory>

#include "bundle/le_bundle.h"
#include "director/graph_rewrites.h"
#include "ort_harness.h"
#include "paste/le_simd.h"
#include "support/bench_support.h"
#include "support/ratio_main.h"

namespace {

using le::Bytes;
namespace t = le::test;

std::vector<float> floatRow(const std::string& path, size_t row, size_t count, bool half) {
  std::ifstream f(path, std::ios::binary);
  const size_t elem = half ? 2 : 4;
  f.seekg(static_cast<std::streamoff>(row * count * elem));
  std::vector<char> raw(count * elem);
  if (!f.read(raw.data(), static_cast<std::streamsize>(raw.size()))) throw std::runtime_error("short member " + path);
  std::vector<float> out(count);
  if (half) {
    std::vector<uint16_t> h(count);
    std::memcpy(h.data(), raw.data(), raw.size());
    le::simd::f16ToF32(h.data(), out.data(), count);
  } else {
    std::memcpy(out.data(), raw.data(), raw.size());
  }
  return out;
}

struct Director {
  Bytes model;
  t::Feeds feeds;
  std::string source;  // what is being timed, for the log
};

// The baked full director with a real identity row and drive row, or the
// synthetic one.
const Director& director() {
  static const Director d = [] {
    Director d;
    const std::string dir = le::bench::fullBundle();
    try {
      const le::Manifest m = le::loadManifest(dir);
      d.model = t::readModel(le::resolveMember(m.dir, "model_b1.onnx"));
      const size_t crop = static_cast<size_t>(m.crop);
      const size_t row = static_cast<size_t>(m.frames / 4);
      d.feeds["pooled64"] = {{1, 64, 32, 32}, floatRow(le::resolveMember(m.dir, "pooled64.f16"), 0, 65536, true)};
      d.feeds["P_rgb"] = {{1, 3, static_cast<int64_t>(crop), static_cast<int64_t>(crop)},
                          floatRow(le::resolveMember(m.dir, "P.f16"), 0, 3 * crop * crop, true)};
      d.feeds["kp_source"] = {{1, 21, 3}, floatRow(le::resolveMember(m.dir, "drive/xs.f32"), row, 63, false)};
      d.feeds["kp_driving"] = {{1, 21, 3}, floatRow(le::resolveMember(m.dir, "drive/xd.f32"), row, 63, false)};
      d.source = dir + "/model_b1.onnx";
    } catch (const std::exception& e) {
      std::printf("[bench] no baked full bundle (%s): timing the synthetic 512 director\n", e.what());
      d.model = t::readModel(std::string(LE_BENCH_GRAPHS) + "/director_b1.onnx");
      d.feeds = t::directorFeeds(d.model, 3);
      d.source = std::string(LE_BENCH_GRAPHS) + "/director_b1.onnx";
    }
    return d;
  }();
  return d;
}

size_t rendererLoad(Bytes& m) {
  return le::rewriteGridSampleToFast(m) + le::normaliseStudentBlend(m) + le::rewriteHeadCubicResize(m);
}

void timeModel(benchmark::State& state, const Bytes& model, const t::Feeds& feeds) {
  const int threads = static_cast<int>(state.range(0));
  Ort::Session s = t::makeSession(model, threads);
  t::BoundRun run(s, feeds, "rgb");
  run.run();
  for (auto _ : state) run.run();
  state.counters["threads"] = threads;
}

void rewritten(benchmark::State& state, const std::function<size_t(Bytes&)>& rewrite) {
  Bytes m = director().model;
  if (rewrite && rewrite(m) == 0) {
    state.SkipWithError("the rewrite does not apply to this director");
    return;
  }
  timeModel(state, m, director().feeds);
}

void BM_AsBaked(benchmark::State& s) { rewritten(s, nullptr); }
void BM_GridSampleFast(benchmark::State& s) { rewritten(s, le::rewriteGridSampleToFast); }
void BM_Gemm(benchmark::State& s) { rewritten(s, le::normaliseStudentBlend); }
void BM_HeadCubic(benchmark::State& s) { rewritten(s, le::rewriteHeadCubicResize); }
void BM_WarpDirector(benchmark::State& s) {
  rewritten(s, [](Bytes& m) {
    std::string why;
    return le::rewriteWarpBlockToCustomOp(m, why);
  });
}
void BM_Renderer(benchmark::State& s) { rewritten(s, rendererLoad); }
void BM_RendererWarp(benchmark::State& s) {
  rewritten(s, [](Bytes& m) {
    std::string why;
    return le::rewriteWarpBlockToCustomOp(m, why) + rendererLoad(m);
  });
}

// The default load split at the source cone: prep and per-frame graphs.
struct Hoisted {
  Bytes prep, perFrame;
  t::Feeds prepFeeds, frameFeeds;
  std::string boundary;
};

const Hoisted& hoisted() {
  static const Hoisted h = [] {
    Hoisted h;
    Bytes m = director().model;
    rendererLoad(m);
    std::string why;
    if (le::findSourceConeBoundary(m, h.boundary) != 1 || !le::buildSourceConePrep(m, h.boundary, h.prep, why))
      throw std::runtime_error("no source cone: " + why);
    h.prepFeeds = director().feeds;
    const t::Tensor tip = t::run(h.prep, h.prepFeeds, h.boundary);
    if (!le::buildSourceConePerFrame(m, h.boundary, tip.shape.data(), tip.shape.size(), h.perFrame, why))
      throw std::runtime_error(why);
    h.frameFeeds = director().feeds;
    h.frameFeeds.erase("P_rgb");
    h.frameFeeds[h.boundary] = tip;
    return h;
  }();
  return h;
}

void BM_ConeHoist(benchmark::State& state) { timeModel(state, hoisted().perFrame, hoisted().frameFeeds); }
void BM_ConePrep(benchmark::State& state) {
  const int threads = static_cast<int>(state.range(0));
  Ort::Session s = t::makeSession(hoisted().prep, threads);
  t::BoundRun run(s, hoisted().prepFeeds, hoisted().boundary);
  run.run();
  for (auto _ : state) run.run();
  state.counters["threads"] = threads;
}

#define LE_VARIANT(fn) BENCHMARK(fn)->Arg(1)->Arg(2)->Unit(benchmark::kMillisecond)->UseRealTime()->MinTime(2.0)
LE_VARIANT(BM_AsBaked);
LE_VARIANT(BM_GridSampleFast);
LE_VARIANT(BM_Gemm);
LE_VARIANT(BM_HeadCubic);
LE_VARIANT(BM_WarpDirector);
LE_VARIANT(BM_Renderer);
LE_VARIANT(BM_RendererWarp);
LE_VARIANT(BM_ConeHoist);
LE_VARIANT(BM_ConePrep);
#undef LE_VARIANT

}  // namespace

int main(int argc, char** argv) {
  std::printf("[bench] director: %s\n", director().source.c_str());
  std::vector<std::pair<std::string, std::string>> pairs;
  for (const char* n : {"/1", "/2"})
    for (const char* v : {"BM_GridSampleFast", "BM_Gemm", "BM_HeadCubic", "BM_WarpDirector", "BM_Renderer",
                          "BM_RendererWarp", "BM_ConeHoist"})
      pairs.push_back({std::string(v) + n, std::string("BM_AsBaked") + n});
  return le::bench::runWithRatios(argc, argv, pairs);
}
