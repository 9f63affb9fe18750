// BlendHead(16) with seeded weights, for the borrow benchmarks: the same
// draws from the same generator give the same network in every benchmark.
#pragma once

#include <random>
#include <vector>

#include "tessera/le_tessera.h"

namespace le::bench {

inline std::vector<float> seeded(size_t n, std::mt19937& rng, float scale) {
  std::uniform_real_distribution<float> u(-scale, scale);
  std::vector<float> v(n);
  for (float& x : v) x = u(rng);
  return v;
}

inline le::tessera::HeadWeights seededHead(std::mt19937& rng) {
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
  return h;
}

}  // namespace le::bench
