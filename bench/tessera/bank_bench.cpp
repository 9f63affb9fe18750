// The reference bank decode (decodeBankTrack: from memory, one decoder thread,
// each frame converted straight into its donor slot) against the ffmpeg CLI
// decoding the same track to rgb24 (one decoder thread, raw frames to
// /dev/null). Two tracks: the tiny_tessera fixture's bank, and a bank of the
// full profile's geometry (32 donors of 224 x 128, H.264 RGB at qp 0 like the
// bake's) encoded by the ffmpeg CLI at set-up. The CLI's time includes
// starting the process, which is what a host that shells out pays.
//
//   bench_tessera_bank
#include <benchmark/benchmark.h>

#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <iterator>
#include <random>
#include <string>
#include <vector>

#include <unistd.h>

#include "support/bench_support.h"
#include "support/ratio_main.h"
#include "tessera/le_bankdec_ff.h"
#include "tessera/le_bundle_tessera.h"

namespace {

struct Track {
  std::string path;
  std::vector<uint8_t> bytes;
  int n = 0, h = 0, w = 0;
  std::vector<int32_t> order;
  std::string error;
};

std::vector<uint8_t> readBytes(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

Track tinyTrack() {
  Track t;
  try {
    const le::TesseraAttachInputs in =
        le::loadTesseraMembers(le::bench::fixturesHolding("tiny_tessera") + "/tiny_tessera");
    t.path = in.bank_track_path;
    t.n = in.n_donors;
    t.h = in.band_h;
    t.w = in.band_w;
    t.order = in.track_order;
    t.bytes = readBytes(t.path);
  } catch (const std::exception& e) {
    t.error = e.what();
  }
  return t;
}

// Mouth-like patches: a dark opening of graded height with a light band of
// teeth, on lips with a little grain.
Track fullTrack() {
  Track t;
  t.n = 32;
  t.h = 128;
  t.w = 224;
  char dir[] = "/tmp/le_bench_bank_XXXXXX";
  if (!::mkdtemp(dir)) {
    t.error = "cannot make a temporary directory";
    return t;
  }
  const std::string raw = std::string(dir) + "/bank.rgb";
  t.path = std::string(dir) + "/bank.mp4";
  std::mt19937 rng(7);
  std::uniform_int_distribution<int> noise(-2, 2);
  std::vector<uint8_t> frames(static_cast<size_t>(t.n) * t.h * t.w * 3);
  for (int f = 0; f < t.n; ++f) {
    const double open = 4 + 40.0 * f / (t.n - 1);
    for (int y = 0; y < t.h; ++y)
      for (int x = 0; x < t.w; ++x) {
        const double ex = (x - t.w / 2.0) / (t.w * 0.38), ey = (y - t.h / 2.0) / open;
        const bool mouth = ex * ex + ey * ey < 1.0;
        const bool teeth = mouth && y < t.h / 2 - open * 0.35 && (x / 14) % 2 == 0;
        int rgb[3] = {170, 90, 95};
        if (mouth) rgb[0] = 60, rgb[1] = 20, rgb[2] = 25;
        if (teeth) rgb[0] = 235, rgb[1] = 230, rgb[2] = 215;
        uint8_t* p = &frames[((static_cast<size_t>(f) * t.h + y) * t.w + x) * 3];
        for (int c = 0; c < 3; ++c) p[c] = static_cast<uint8_t>(std::min(255, std::max(0, rgb[c] + noise(rng))));
      }
  }
  std::ofstream(raw, std::ios::binary).write(reinterpret_cast<const char*>(frames.data()),
                                             static_cast<std::streamsize>(frames.size()));
  const std::string cmd = "ffmpeg -v error -nostdin -y -f rawvideo -pix_fmt rgb24 -s " + std::to_string(t.w) + "x" +
                          std::to_string(t.h) + " -r 25 -i " + raw +
                          " -c:v libx264rgb -qp 0 -preset veryslow -pix_fmt gbrp " + t.path;
  if (std::system(cmd.c_str()) != 0) {
    t.error = "could not encode the bank: " + cmd;
    return t;
  }
  std::remove(raw.c_str());
  t.bytes = readBytes(t.path);
  for (int i = 0; i < t.n; ++i) t.order.push_back(i);
  return t;
}

const Track& track(bool full) {
  static const Track tiny = tinyTrack();
  static const Track big = fullTrack();
  return full ? big : tiny;
}

void BM_DecodeBankTrack(benchmark::State& state, bool full) {
  const Track& t = track(full);
  if (!t.error.empty() || t.bytes.empty()) return state.SkipWithError(t.error.empty() ? "empty track" : t.error.c_str());
  for (auto _ : state) {
    std::vector<uint8_t> out = le::tessera::decodeBankTrack(t.bytes.data(), t.bytes.size(), t.n, t.h, t.w, t.order);
    benchmark::DoNotOptimize(out.data());
  }
  state.SetLabel(std::to_string(t.n) + " x " + std::to_string(t.w) + "x" + std::to_string(t.h));
}

void BM_FfmpegCli(benchmark::State& state, bool full) {
  const Track& t = track(full);
  if (!t.error.empty() || t.bytes.empty()) return state.SkipWithError(t.error.empty() ? "empty track" : t.error.c_str());
  const std::string cmd =
      "ffmpeg -v error -nostdin -threads 1 -i " + t.path + " -f rawvideo -pix_fmt rgb24 -y /dev/null";
  for (auto _ : state) {
    if (std::system(cmd.c_str()) != 0) return state.SkipWithError(("failed: " + cmd).c_str());
  }
  state.SetLabel(std::to_string(t.n) + " x " + std::to_string(t.w) + "x" + std::to_string(t.h));
}

}  // namespace

int main(int argc, char** argv) {
  const std::string build = le::tessera::bankDecoderBuild();
  std::printf("CPU: %s, %s\n", le::bench::cpuModel().c_str(), build.substr(0, build.find(" / ")).c_str());
  for (bool full : {false, true}) {
    const std::string which = full ? "full" : "tiny";
    benchmark::RegisterBenchmark(("BM_DecodeBankTrack/" + which).c_str(), BM_DecodeBankTrack, full)
        ->Unit(benchmark::kMillisecond)->UseRealTime()->MinTime(1.0);
    benchmark::RegisterBenchmark(("BM_FfmpegCli/" + which).c_str(), BM_FfmpegCli, full)
        ->Unit(benchmark::kMillisecond)->UseRealTime()->MinTime(1.0);
  }
  const int rc = le::bench::runWithRatios(argc, argv,
                                          {{"BM_DecodeBankTrack/tiny", "BM_FfmpegCli/tiny"},
                                           {"BM_DecodeBankTrack/full", "BM_FfmpegCli/full"}});
  const Track& big = track(true);
  if (!big.path.empty()) {
    std::remove(big.path.c_str());
    ::rmdir(big.path.substr(0, big.path.rfind('/')).c_str());
  }
  return rc;
}
