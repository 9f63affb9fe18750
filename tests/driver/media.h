// The encoded test media (fixture driver_media) and what its frames decode to.
#pragma once

#include <dirent.h>
#include <sys/stat.h>

#include <chrono>
#include <cstdint>
#include <cstdlib>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "media_pattern.h"
#include "paste/le_simd.h"
#include "support/error_text.h"
#include "support/test_support.h"

namespace le::test {

// A file of the fixture; fails the test when the fixture has not run.
inline std::string media(const std::string& name) {
  const std::string path = std::string(LE_DRIVER_MEDIA) + "/" + name;
  struct stat st;
  if (::stat(path.c_str(), &st) != 0)
    ADD_FAILURE() << path << " missing: run the tests through ctest (fixture driver_media)";
  return path;
}

// Prior frame f as float16 CHW, from planar yuv444p samples through the
// 16.16 formula and the nearest float16 of value / 255.
inline std::vector<uint16_t> priorFromYuv444(const uint8_t* yuv, int side) {
  const size_t plane = static_cast<size_t>(side) * side;
  std::vector<uint16_t> out(plane * 3);
  for (size_t i = 0; i < plane; ++i) {
    int rgb[3];
    bt601Fixed(yuv[i], yuv[plane + i], yuv[2 * plane + i], rgb);
    for (int c = 0; c < 3; ++c) out[c * plane + i] = le::f32ToF16(static_cast<float>(rgb[c]) / 255.0f);
  }
  return out;
}

// Frame f of prior444.mov as the ffmpeg CLI decodes it (prior444.yuv).
inline std::vector<uint16_t> expectedPrior(int f, int side = 32) {
  static const std::string yuv = readWhole(media("prior444.yuv"));
  const size_t frame = static_cast<size_t>(side) * side * 3;
  if (yuv.size() < frame * (f + 1)) throw std::runtime_error("prior444.yuv too short");
  return priorFromYuv444(reinterpret_cast<const uint8_t*>(yuv.data()) + frame * f, side);
}

// The same from the Sweep pattern that was encoded: equal up to the codec's loss.
inline std::vector<uint16_t> patternPrior(int f, int side = 32) {
  const std::vector<uint8_t> yuv = patternFrame(Pattern::Sweep, true, f, side, side);
  return priorFromYuv444(yuv.data(), side);
}

inline int countDirEntries(const char* dir) {
  int n = 0;
  if (DIR* d = ::opendir(dir)) {
    while (::readdir(d)) ++n;
    ::closedir(d);
  }
  return n;
}

inline int openDescriptors() { return countDirEntries("/proc/self/fd"); }
inline int liveThreads() { return countDirEntries("/proc/self/task"); }

// liveThreads() once no more than `expected` are listed, waiting up to 10 s:
// a joined thread may stay listed for a moment after its join returns (the
// kernel, or under qemu the host thread behind it, is still finishing the
// exit). A thread that was never joined stays, and is counted.
inline int liveThreadsSettled(int expected) {
  int n = liveThreads();
  for (int i = 0; i < 2000 && n > expected; ++i) {
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
    n = liveThreads();
  }
  return n;
}

// The live thread count once it has stopped changing for 100 ms (at most
// 10 s): a baseline taken while a just-destroyed object's threads are still
// exiting would be too high, and under emulation they exit slowly.
inline int liveThreadsQuiet() {
  int n = liveThreads();
  for (int i = 0, same = 0; i < 2000 && same < 20; ++i) {
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
    const int m = liveThreads();
    same = m == n ? same + 1 : 0;
    n = m;
  }
  return n;
}

// The library's own lines of a captured log (FFmpeg's may surround them);
// without the hardware-decoder lines when withHardware is false.
inline std::string ownLines(const std::string& log, bool withHardware = true) {
  std::string out;
  size_t at = 0;
  while (at < log.size()) {
    size_t end = log.find('\n', at);
    end = end == std::string::npos ? log.size() : end + 1;
    const std::string line = log.substr(at, end - at);
    const bool hardware = line.rfind("[le-driver] LE_DRIVER_HWDEC", 0) == 0 ||
                          line.find(" refused ") != std::string::npos;
    if (line.rfind("[le-", 0) == 0 && (withHardware || !hardware)) out += line;
    at = end;
  }
  return out;
}

// Mean absolute difference of two byte images of the same size.
inline double meanAbsDiff(const uint8_t* a, const uint8_t* b, size_t n) {
  double sum = 0;
  for (size_t i = 0; i < n; ++i) sum += std::abs(int(a[i]) - int(b[i]));
  return sum / static_cast<double>(n);
}

}  // namespace le::test
