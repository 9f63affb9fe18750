// Per-bundle identity data (warp prior, pooled features, paste transforms) and
// the driving keypoint track, loaded once per context with exact size checks.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "bundle/le_bundle.h"

namespace le {

class DriverCursor;

// A whole file mapped read-only and private; unmapped on destruction.
class Mapping {
 public:
  Mapping() = default;
  ~Mapping() { reset(); }
  Mapping(const Mapping&) = delete;
  Mapping& operator=(const Mapping&) = delete;
  Mapping(Mapping&& o) noexcept { *this = std::move(o); }
  Mapping& operator=(Mapping&& o) noexcept;

  const uint8_t* base() const { return base_; }
  size_t length() const { return length_; }
  explicit operator bool() const { return base_ != nullptr; }
  void reset();

 private:
  friend Mapping mapFile(const std::string& path, uint64_t expectedBytes);
  const uint8_t* base_ = nullptr;  // first byte of the file's data
  void* address_ = nullptr;        // what mmap returned
  size_t length_ = 0;
};

// Maps `path`, whose size must be exactly expectedBytes. Throws "cannot open",
// "size mismatch" or "mmap failed" followed by the path.
Mapping mapFile(const std::string& path, uint64_t expectedBytes);

// Reads exactly `count` elements of T; a file of any other size is "size
// mismatch <path>".
template <typename T>
std::vector<T> readRaw(const std::string& path, int64_t count);

// IEEE 754 half precision to single precision, count values, each exactly
// (subnormals, infinities and NaN payloads included).
void halfToFloat(const uint16_t* src, float* dst, size_t count);

// Refuses a bundle that offers no warp prior: neither P.f16, fs_red.f16 nor
// an HEVC prior named by the manifest's "P_hevc".
void ensureIdentityMembers(const Manifest& manifest);

class Identity {
 public:
  explicit Identity(const Manifest& manifest);
  ~Identity();
  Identity(const Identity&) = delete;
  Identity& operator=(const Identity&) = delete;

  // Rows of the identity arrays (float16 as stored); i in [0, NT).
  const uint16_t* pooled64(int i) const;
  // The warp prior of identity frame i, 3 x crop x crop float16. Without a
  // mapped P.f16 it is frame i of the prior cursor, valid until the cursor
  // has served 12 further frames.
  const uint16_t* P(int i);
  const uint16_t* fsRed(int i) const;
  // The 2x3 paste transform of frame i, already in output canvas pixels.
  const float* M(int i) const;

  // The HEVC prior's cursor, created on first use (thread-safe).
  DriverCursor& prior();
  // Pulls frame i through the prior cursor when the prior is a movie.
  void walkP(int i);
  std::string priorBackend();
  size_t priorResidentBytes() const;
  uint64_t priorSeeks() const;

  bool hasMappedP() const { return static_cast<bool>(P_); }
  const std::string& priorPath() const { return priorPath_; }

  const int32_t NT;
  const int32_t crop;

 private:
  void checkRow(int i, const char* what) const;

  Mapping pooled64_;
  Mapping P_;
  Mapping fsRed_;
  std::vector<float> M_;
  std::string priorPath_;
  Manifest manifest_;
  std::once_flag priorOnce_;
  std::unique_ptr<DriverCursor> prior_;
  // Set once the cursor exists, so queries can look without creating it.
  std::atomic<DriverCursor*> priorReady_{nullptr};
};

// Multiplies the x row of every 2x3 transform by W / msrcW and the y row by
// H / msrcH (ratios in double precision); equal sizes leave M untouched.
void rescaleM(std::vector<float>& M, const Manifest& manifest);

struct Drive {
  std::vector<float> xs;  // frames x 63 source keypoints
  std::vector<float> xd;  // frames x 63 driven keypoints
  std::vector<int32_t> si;  // identity row of each drive frame
  int32_t frames = 0;
};

// Reads the drive track; every si must name an identity row.
Drive loadDrive(const Manifest& manifest);

}  // namespace le
