// IMX unwrap throughput against a plain copy of the same bytes.
//
//   bench_imx_unwrap [--benchmark_filter=...]
// Environment: LE_BENCH_DIR (default /tmp) holds the ~256 MiB test container.
#include <fcntl.h>
#include <sys/sendfile.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <stdexcept>
#include <string>
#include <vector>

#include "bundle/le_fs.h"
#include "bundle/le_imx.h"
#include "support/ratio_main.h"

namespace {

constexpr size_t kMember = size_t{64} << 20;
constexpr int kMembers = 4;

struct Fixture {
  std::string root;
  std::string container;
  uint64_t payload = 0;

  Fixture() {
    const char* base = std::getenv("LE_BENCH_DIR");
    root = std::string(base && *base ? base : "/tmp") + "/le_bench_imx";
    le::fs::rmTree(root);
    le::fs::mkdirs(root + "/src");
    std::vector<le::ImxSource> members;
    std::vector<char> data(kMember);
    for (int m = 0; m < kMembers; ++m) {
      for (size_t i = 0; i < data.size(); ++i) data[i] = static_cast<char>((i * 2654435761u) >> (m + 3));
      const std::string path = root + "/src/m" + std::to_string(m) + ".bin";
      le::fs::File f(path, "wb");
      std::fwrite(data.data(), 1, data.size(), f.get());
      members.push_back({"d/m" + std::to_string(m) + ".bin", path});
      payload += data.size();
    }
    container = root + "/bench.imx";
    le::writeImxContainer(container, members);
  }
  ~Fixture() { le::fs::rmTree(root); }
};

Fixture& fixture() {
  static Fixture f;
  return f;
}

void BM_ImxUnwrap(benchmark::State& state) {
  Fixture& fx = fixture();
  const std::string dir = le::imxUnwrapDir(fx.container);
  for (auto _ : state) {
    state.PauseTiming();
    std::remove((dir + ".imx_unwrapped").c_str());
    le::fs::rmTree(dir);
    state.ResumeTiming();
    benchmark::DoNotOptimize(le::unwrapOnce(fx.container));
  }
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * fx.payload));
}

// The same bytes through read/write with the same 8 MiB buffer.
void BM_PlainCopyReadWrite(benchmark::State& state) {
  Fixture& fx = fixture();
  const std::string out = fx.root + "/copy.bin";
  std::vector<char> buf(size_t{8} << 20);
  for (auto _ : state) {
    state.PauseTiming();
    std::remove(out.c_str());
    state.ResumeTiming();
    le::fs::File src(fx.container, "rb");
    le::fs::File dst(out, "wb");
    size_t got;
    while ((got = std::fread(buf.data(), 1, buf.size(), src.get())) > 0)
      if (std::fwrite(buf.data(), 1, got, dst.get()) != got) state.SkipWithError("write");
  }
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * fx.payload));
}

// The kernel's own copy path (sendfile), the fastest a copy can be here.
void BM_PlainCopySendfile(benchmark::State& state) {
  Fixture& fx = fixture();
  const std::string out = fx.root + "/copy.bin";
  for (auto _ : state) {
    state.PauseTiming();
    std::remove(out.c_str());
    state.ResumeTiming();
    const int in = ::open(fx.container.c_str(), O_RDONLY);
    const int to = ::open(out.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    struct stat st;
    ::fstat(in, &st);
    off_t left = st.st_size;
    while (left > 0) {
      const ssize_t n = ::sendfile(to, in, nullptr, static_cast<size_t>(left));
      if (n <= 0) break;
      left -= n;
    }
    ::close(in);
    ::close(to);
  }
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * fx.payload));
}

BENCHMARK(BM_ImxUnwrap)->Unit(benchmark::kMillisecond)->UseRealTime()->MinTime(2.0);
BENCHMARK(BM_PlainCopyReadWrite)->Unit(benchmark::kMillisecond)->UseRealTime()->MinTime(2.0);
BENCHMARK(BM_PlainCopySendfile)->Unit(benchmark::kMillisecond)->UseRealTime()->MinTime(2.0);

}  // namespace

int main(int argc, char** argv) {
  return le::bench::runWithRatios(argc, argv,
                                  {{"BM_ImxUnwrap", "BM_PlainCopyReadWrite"},
                                   {"BM_ImxUnwrap", "BM_PlainCopySendfile"}});
}
