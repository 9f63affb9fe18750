// Frame sources and identity loading, side by side with the obvious
// alternatives:
//   - the driver cursor pulling a 1920x1080 H.264 clip as RGB24, against the
//     ffmpeg CLI decoding the same file to rgb24 rawvideo into /dev/null;
//   - HEVC 4:4:4 prior rows at 512x512 through the prior cursor, against the
//     CLI decoding the same file to planar RGB, and the cost of a backward seek;
//   - Identity open time for a bundle with a 150 MB P.f16 against one with a
//     1.5 MB P.f16, and against reading the 150 MB file.
//
//   bench_driver [--benchmark_filter=...]
// The media is encoded once with the ffmpeg CLI into LE_BENCH_DIR (default
// /tmp)/le_bench_driver and reused by later runs.
#include <sys/stat.h>

#include <cstdio>
#include <cstdlib>
#include <memory>
#include <stdexcept>
#include <string>
#include <vector>

#include "bundle/le_bundle.h"
#include "bundle/le_fs.h"
#include "bundle/le_identity.h"
#include "driver/le_driver.h"
#include "driver/le_driver_ff.h"
#include "support/ratio_main.h"

namespace {

constexpr int kClipFrames = 200;  // 1920x1080, 8 s at 25 fps
constexpr int kPriorFrames = 100;  // 512x512 HEVC 4:4:4
constexpr int kPriorSide = 512;

std::string benchDir() {
  const char* base = std::getenv("LE_BENCH_DIR");
  return std::string(base && *base ? base : "/tmp") + "/le_bench_driver";
}

bool exists(const std::string& path) {
  struct stat st;
  return ::stat(path.c_str(), &st) == 0;
}

void run(const std::string& cmd) {
  if (std::system(cmd.c_str()) != 0) throw std::runtime_error("failed: " + cmd);
}

const std::string kQuiet = "ffmpeg -hide_banner -loglevel error -nostdin -y ";

// A moving test pattern at camera-like quality, B-frames and all.
std::string clip1080() {
  const std::string path = benchDir() + "/clip1080.mp4";
  if (!exists(path)) {
    le::fs::mkdirs(benchDir());
    run(kQuiet + "-f lavfi -i testsrc2=size=1920x1080:rate=25 -frames:v " +
        std::to_string(kClipFrames) +
        " -c:v libx264 -preset veryfast -crf 20 -pix_fmt yuv420p " + path + ".part.mp4 && mv " +
        path + ".part.mp4 " + path);
  }
  return path;
}

std::string prior512() {
  const std::string path = benchDir() + "/prior512.mov";
  if (!exists(path)) {
    le::fs::mkdirs(benchDir());
    run(kQuiet + "-f lavfi -i testsrc2=size=512x512:rate=25 -frames:v " +
        std::to_string(kPriorFrames) +
        " -pix_fmt yuv444p -c:v libx265 -preset fast -x265-params log-level=error:crf=10 "
        "-tag:v hvc1 " + path + ".part.mov && mv " + path + ".part.mov " + path);
  }
  return path;
}

void writeZeros(const std::string& path, size_t bytes) {
  le::fs::File f(path, "wb");
  std::vector<char> chunk(size_t{1} << 20, 1);
  while (bytes > 0) {
    const size_t n = std::min(bytes, chunk.size());
    if (std::fwrite(chunk.data(), 1, n, f.get()) != n) throw std::runtime_error("write " + path);
    bytes -= n;
  }
}

// A bundle with NT identity rows at crop 512: P.f16 is NT x 1.5 MiB.
std::string identityBundle(int NT) {
  const std::string dir = benchDir() + "/identity" + std::to_string(NT);
  if (!exists(dir + "/manifest.json")) {
    le::fs::mkdirs(dir);
    writeZeros(dir + "/P.f16", size_t{6} * 512 * 512 * NT);
    writeZeros(dir + "/pooled64.f16", size_t{131072} * NT);
    writeZeros(dir + "/M.f32", size_t{24} * NT);
    le::fs::File f(dir + "/manifest.json", "wb");
    std::fprintf(f.get(),
                 "{\"format\": \"le-bundle-v0\", \"agent\": \"bench\", \"NT\": %d, \"H\": 1080, "
                 "\"W\": 1920, \"crop\": 512, \"frames\": %d, \"M_src_w\": 1920, \"M_src_h\": "
                 "1080, \"unsharp\": {\"amount\": 1.3, \"sigma\": 2.0, \"ksize\": 13}}\n",
                 NT, NT);
  }
  return dir;
}

// ---- 1080p driver --------------------------------------------------------------------

// Whole clip: open, pull every frame, close (what the CLI run does too).
void BM_CursorClip1080p(benchmark::State& state) {
  const std::string path = clip1080();
  for (auto _ : state) {
    auto c = le::DriverCursor::over(le::driver::openMp4(path, kClipFrames, 1920, 1080), 4, 2);
    int index = -1;
    for (int f = 0; f < kClipFrames; ++f) benchmark::DoNotOptimize(c->pull(&index));
  }
  state.SetItemsProcessed(state.iterations() * kClipFrames);
}

// The same clip from a running cursor: the steady state of a session.
void BM_CursorSteady1080p(benchmark::State& state) {
  const std::string path = clip1080();
  auto c = le::DriverCursor::over(le::driver::openMp4(path, kClipFrames, 1920, 1080), 4, 2);
  int index = -1;
  for (int f = 0; f < 8; ++f) c->pull(&index);
  for (auto _ : state)
    for (int f = 0; f < kClipFrames; ++f) benchmark::DoNotOptimize(c->pull(&index));
  state.SetItemsProcessed(state.iterations() * kClipFrames);
}

void BM_FfmpegCli1080pRgb24(benchmark::State& state) {
  const std::string cmd = kQuiet + "-i " + clip1080() + " -f rawvideo -pix_fmt rgb24 /dev/null";
  for (auto _ : state) run(cmd);
  state.SetItemsProcessed(state.iterations() * kClipFrames);
}

// ---- 512x512 HEVC 4:4:4 prior ----------------------------------------------------------

void BM_PriorRows512(benchmark::State& state) {
  const std::string path = prior512();
  for (auto _ : state) {
    auto c = le::DriverCursor::over(le::driver::openPriorHevc(path, kPriorFrames, kPriorSide), 2, 11);
    int index = -1;
    for (int f = 0; f < kPriorFrames; ++f) benchmark::DoNotOptimize(c->pullAt(f, &index));
  }
  state.SetItemsProcessed(state.iterations() * kPriorFrames);
}

void BM_FfmpegCliPrior512Gbrp(benchmark::State& state) {
  const std::string cmd = kQuiet + "-i " + prior512() + " -f rawvideo -pix_fmt gbrp /dev/null";
  for (auto _ : state) run(cmd);
  state.SetItemsProcessed(state.iterations() * kPriorFrames);
}

// One row the cursor already holds ahead: the cost of a sequential pull.
void BM_PriorSequentialRow(benchmark::State& state) {
  auto c = le::DriverCursor::over(le::driver::openPriorHevc(prior512(), kPriorFrames, kPriorSide), 2, 11);
  int index = -1;
  int f = 0;
  for (auto _ : state) {
    benchmark::DoNotOptimize(c->pullAt(f, &index));
    f = (f + 1) % kPriorFrames;
  }
  state.SetItemsProcessed(state.iterations());
}

// A backward jump to row `target`, outside the ring: the source rewinds and
// decodes target + 1 rows. Before each timed jump the reader walks to the end
// of the member, so the target has left the ring's history.
void BM_PriorBackwardSeek(benchmark::State& state) {
  const int target = static_cast<int>(state.range(0));
  auto c = le::DriverCursor::over(le::driver::openPriorHevc(prior512(), kPriorFrames, kPriorSide), 2, 11);
  int index = -1;
  const uint64_t seeksBefore = c->seeks();
  for (auto _ : state) {
    state.PauseTiming();
    c->pullAt(kPriorFrames - 16, &index);
    for (int f = kPriorFrames - 15; f < kPriorFrames; ++f) c->pullAt(f, &index);
    state.ResumeTiming();
    benchmark::DoNotOptimize(c->pullAt(target, &index));
  }
  state.counters["seeks_per_jump"] =
      static_cast<double>(c->seeks() - seeksBefore) / static_cast<double>(2 * state.iterations());
}

// ---- Identity ---------------------------------------------------------------------------

void BM_IdentityOpen(benchmark::State& state) {
  const le::Manifest m = le::loadManifest(identityBundle(static_cast<int>(state.range(0))));
  for (auto _ : state) {
    le::Identity id(m);
    benchmark::DoNotOptimize(id.P(0));
  }
}

// What copying the 150 MB prior into memory would cost instead of mapping it.
void BM_ReadWholeP150MB(benchmark::State& state) {
  const std::string path = identityBundle(100) + "/P.f16";
  for (auto _ : state) benchmark::DoNotOptimize(le::readFile(path).size());
}

BENCHMARK(BM_CursorClip1080p)->Unit(benchmark::kMillisecond)->UseRealTime()->MinTime(4.0);
BENCHMARK(BM_CursorSteady1080p)->Unit(benchmark::kMillisecond)->UseRealTime()->MinTime(4.0);
BENCHMARK(BM_FfmpegCli1080pRgb24)->Unit(benchmark::kMillisecond)->UseRealTime()->MinTime(4.0);
BENCHMARK(BM_PriorRows512)->Unit(benchmark::kMillisecond)->UseRealTime()->MinTime(3.0);
BENCHMARK(BM_FfmpegCliPrior512Gbrp)->Unit(benchmark::kMillisecond)->UseRealTime()->MinTime(3.0);
BENCHMARK(BM_PriorSequentialRow)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK(BM_PriorBackwardSeek)->Arg(10)->Arg(50)->Arg(80)->Unit(benchmark::kMillisecond)->UseRealTime()->Iterations(6);
BENCHMARK(BM_IdentityOpen)->Arg(1)->Arg(100)->Unit(benchmark::kMicrosecond)->UseRealTime();
// Same unit as BM_IdentityOpen: the ratio compares the raw times.
BENCHMARK(BM_ReadWholeP150MB)->Unit(benchmark::kMicrosecond)->UseRealTime();

}  // namespace

int main(int argc, char** argv) {
  return le::bench::runWithRatios(argc, argv,
                                  {{"BM_CursorClip1080p", "BM_FfmpegCli1080pRgb24"},
                                   {"BM_CursorSteady1080p", "BM_FfmpegCli1080pRgb24"},
                                   {"BM_PriorRows512", "BM_FfmpegCliPrior512Gbrp"},
                                   {"BM_PriorBackwardSeek/10", "BM_PriorSequentialRow"},
                                   {"BM_PriorBackwardSeek/80", "BM_PriorSequentialRow"},
                                   {"BM_IdentityOpen/100", "BM_IdentityOpen/1"},
                                   {"BM_IdentityOpen/100", "BM_ReadWholeP150MB"}});
}
