// Every one of the 2^32 float bit patterns through f32ToF16 on every target,
// against the scalar conversion (which the quick tests check against an
// independent reference at every rounding tie).
#include <gtest/gtest.h>

#include <cstring>
#include <vector>

#include "hwy/targets.h"
#include "hwy/tests/hwy_gtest.h"
#include "paste/le_pool.h"
#include "paste/le_simd.h"

namespace {

// Instrumented builds are slow; there every 64th block of patterns is enough to
// exercise the same code.
#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
constexpr uint64_t kChunkStride = 64;
#else
constexpr uint64_t kChunkStride = 1;
#endif

TEST(HalfExhaustive, EveryFloatOnEveryTargetMatchesTheScalarConversion) {
  const std::vector<int64_t> targets = hwy::SupportedAndGeneratedTargets();
  constexpr size_t kChunk = size_t{1} << 20;
  std::vector<float> in(kChunk);
  std::vector<uint16_t> expected(kChunk), out(kChunk);
  for (uint64_t base = 0; base < (uint64_t{1} << 32); base += kChunk * kChunkStride) {
    le::pool::parallelRange(kChunk, 4096, [&](size_t begin, size_t end) {
      for (size_t i = begin; i < end; ++i) {
        const uint32_t bits = static_cast<uint32_t>(base + i);
        std::memcpy(&in[i], &bits, sizeof bits);
        expected[i] = le::f32ToF16(in[i]);
      }
    });
    for (int64_t target : targets) {
      hwy::SetSupportedTargetsForTest(target);
      le::simd::f32ToF16(in.data(), out.data(), kChunk);
      if (out != expected) {
        size_t i = 0;
        while (out[i] == expected[i]) ++i;
        hwy::SetSupportedTargetsForTest(0);
        FAIL() << hwy::TargetName(target) << ": bits " << std::hex << base + i << " gave "
               << out[i] << ", expected " << expected[i];
      }
    }
  }
  hwy::SetSupportedTargetsForTest(0);
}

}  // namespace
