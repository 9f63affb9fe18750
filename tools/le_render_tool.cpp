// le_render: renders a bundle's drive track (or a range of it) into an H.264
// MP4 (yuv420p, 25 fps) and/or PNG frames, through the library's C API.
//
//   le_render <bundle> [--out video.mp4] [--png-dir DIR] [--model KEY]
//             [--first N] [--count N] [--threads N] [--ep EP] [--crf N] [--quiet]
//
// Each frame is rendered with le_render_drive_crop and pasted with
// le_paste_last into the driver frame the entry names: the two halves of
// le_render_drive_rgba, timed separately for the closing summary.
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <memory>
#include <stdexcept>
#include <string>
#include <vector>

extern "C" {
#include <libavutil/log.h>
}

#include "core/le_image.h"
#include "le/le.h"
#include "media/mp4_writer.h"

namespace {

struct Args {
  std::string bundle, out, pngDir, model = "b1", ep;
  int first = 0, count = -1, threads = 0, crf = 18;
  bool quiet = false;
};

int usage() {
  std::fprintf(stderr,
               "usage: le_render <bundle> [--out video.mp4] [--png-dir DIR] [--model KEY]\n"
               "                 [--first N] [--count N] [--threads N] [--ep EP] [--crf N] [--quiet]\n");
  return 2;
}

void progress(int done, int total, double msPerFrame) {
  const int width = 40;
  const int filled = total ? done * width / total : width;
  std::fprintf(stderr, "\r[%.*s%*s] %d/%d frames, %.1f ms/frame", filled,
               "########################################", width - filled, "", done, total,
               msPerFrame);
  std::fflush(stderr);
}

// The drive track's identity frame per entry, read the way any host can:
// resolve the member through the library, then read the int32 array.
std::vector<int32_t> readSourceIndex(const std::string& bundle, int frames) {
  char path[4096];
  if (le_bundle_resolve_member(bundle.c_str(), "drive/si.i32", path, sizeof path) != 1)
    throw std::runtime_error("cannot open the drive track's drive/si.i32");
  std::vector<int32_t> si(static_cast<size_t>(frames));
  std::FILE* f = std::fopen(path, "rb");
  const bool ok = f && std::fread(si.data(), sizeof(int32_t), si.size(), f) == si.size();
  if (f) std::fclose(f);
  if (!ok) throw std::runtime_error(std::string("short read ") + path);
  return si;
}

double msSince(std::chrono::steady_clock::time_point t) {
  return std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - t).count();
}

int run(const Args& a) {
  av_log_set_level(AV_LOG_ERROR);
  le_ctx* ctx = le_create(a.bundle.c_str(), a.model.c_str(), a.threads, a.ep.c_str());
  if (!ctx) {
    std::fprintf(stderr, "le_render: %s\n", le_last_error());
    return 1;
  }
  struct Closer {
    le_ctx* c;
    ~Closer() { le_destroy(c); }
  } closer{ctx};

  const int W = le_width(ctx), H = le_height(ctx), frames = le_drive_frames(ctx);
  if (a.first < 0 || a.first >= frames) {
    std::fprintf(stderr, "le_render: --first %d outside the drive track (0 ... %d)\n", a.first, frames - 1);
    return 1;
  }
  const int count = a.count < 0 ? frames - a.first : std::min(a.count, frames - a.first);
  const std::vector<int32_t> si = readSourceIndex(a.bundle, frames);
  if (!a.pngDir.empty()) std::filesystem::create_directories(a.pngDir);
  std::unique_ptr<le::tools::Mp4Writer> mp4;
  if (!a.out.empty()) mp4 = std::make_unique<le::tools::Mp4Writer>(a.out, W, H, 3, a.crf);

  // The bar redraws one line; it is for terminals, not logs.
  const bool showProgress = !a.quiet && isatty(2);
  double renderMs = 0, pasteMs = 0;
  const auto start = std::chrono::steady_clock::now();
  for (int k = 0; k < count; ++k) {
    const int i = a.first + k;
    auto t = std::chrono::steady_clock::now();
    if (!le_render_drive_crop(ctx, i)) {
      std::fprintf(stderr, "\nle_render: frame %d: %s\n", i, le_last_error());
      return 1;
    }
    renderMs += msSince(t);
    t = std::chrono::steady_clock::now();
    // The drive entry's own identity frame names the driver frame to paste into.
    const uint8_t* rgb = le_paste_last(ctx, si[i]);
    pasteMs += msSince(t);
    if (!rgb) {
      std::fprintf(stderr, "\nle_render: frame %d: %s\n", i, le_last_error());
      return 1;
    }
    if (mp4) mp4->writeVideo(rgb);
    if (!a.pngDir.empty()) {
      char name[64];
      std::snprintf(name, sizeof name, "/frame_%06d.png", i);
      le::writePNG(a.pngDir + name, rgb, W, H, 3);
    }
    if (showProgress) progress(k + 1, count, (renderMs + pasteMs) / (k + 1));
  }
  if (mp4) mp4->finish();
  const double wall = msSince(start);
  if (showProgress) std::fprintf(stderr, "\n");
  std::printf("le_render: %d frames of %dx%d (drive %d ... %d) in %.2f s: %.2f ms/frame "
              "(render %.2f, paste %.2f), %.1f frames/s\n",
              count, W, H, a.first, a.first + count - 1, wall / 1000, count ? (renderMs + pasteMs) / count : 0.0,
              count ? renderMs / count : 0.0, count ? pasteMs / count : 0.0,
              wall > 0 ? count * 1000.0 / wall : 0.0);
  if (mp4) std::printf("le_render: wrote %s\n", a.out.c_str());
  if (!a.pngDir.empty()) std::printf("le_render: wrote PNG frames to %s\n", a.pngDir.c_str());
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  Args a;
  if (argc < 2) return usage();
  a.bundle = argv[1];
  for (int i = 2; i < argc; ++i) {
    const std::string opt = argv[i];
    auto value = [&]() -> std::string {
      if (i + 1 >= argc) throw std::runtime_error(opt + " needs a value");
      return argv[++i];
    };
    try {
      if (opt == "--out") a.out = value();
      else if (opt == "--png-dir") a.pngDir = value();
      else if (opt == "--model") a.model = value();
      else if (opt == "--ep") a.ep = value();
      else if (opt == "--first") a.first = std::stoi(value());
      else if (opt == "--count") a.count = std::stoi(value());
      else if (opt == "--threads") a.threads = std::stoi(value());
      else if (opt == "--crf") a.crf = std::stoi(value());
      else if (opt == "--quiet") a.quiet = true;
      else return usage();
    } catch (const std::exception& e) {
      std::fprintf(stderr, "le_render: %s\n", e.what());
      return usage();
    }
  }
  if (a.out.empty() && a.pngDir.empty()) {
    std::fprintf(stderr, "le_render: nothing to write: give --out and/or --png-dir\n");
    return usage();
  }
  try {
    return run(a);
  } catch (const std::exception& e) {
    std::fprintf(stderr, "\nle_render: %s\n", e.what());
    return 1;
  }
}
