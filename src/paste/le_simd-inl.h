// Per-target building blocks shared by the kernel files (float16 loads and
// stores, fixed-order float sums). Included once per target from each dispatch
// unit after hwy/foreach_target.h.

// Include guard that lets foreach_target include this once per target.
#if defined(LE_PASTE_SIMD_INL_H_) == defined(HWY_TARGET_TOGGLE)
#ifdef LE_PASTE_SIMD_INL_H_
#undef LE_PASTE_SIMD_INL_H_
#else
#define LE_PASTE_SIMD_INL_H_
#endif

#include <cstddef>
#include <cstdint>

#include "hwy/highway.h"

HWY_BEFORE_NAMESPACE();
namespace le::simd::HWY_NAMESPACE {
namespace hn = hwy::HWY_NAMESPACE;

// Hardware half conversions (x86 F16C, Arm FCVT) round to nearest even and
// quiet NaNs. Elsewhere Highway's fallback truncates and mishandles infinities
// and NaN, so those targets use the integer versions below, which reproduce
// the hardware result bit for bit.
#if HWY_TARGET == HWY_AVX2 || HWY_TARGET == HWY_AVX3 || HWY_TARGET == HWY_AVX3_DL || \
    (HWY_ARCH_ARM_A64 && HWY_TARGET != HWY_SCALAR && HWY_TARGET != HWY_EMU128)
constexpr bool kHardwareF16 = true;
#else
constexpr bool kHardwareF16 = false;
#endif

template <class DF>
HWY_INLINE hn::Vec<DF> HalfBitsToF32(DF df, hn::Vec<hn::Rebind<uint16_t, DF>> half) {
  const hn::RebindToSigned<DF> di;
  const auto h = hn::PromoteTo(di, half);
  const auto magnitude = hn::And(h, hn::Set(di, 0x7FFF));
  const auto shifted = hn::ShiftLeft<13>(magnitude);
  const auto exponent = hn::And(shifted, hn::Set(di, 0x0F800000));
  // Rebias the exponent from 15 to 127.
  const auto normal = hn::Add(shifted, hn::Set(di, 0x38000000));
  // Infinity and NaN: exponent all ones; NaNs come out quiet.
  const auto quiet = hn::IfThenElseZero(hn::Gt(magnitude, hn::Set(di, 0x7C00)),
                                        hn::Set(di, 0x00400000));
  const auto special = hn::Or(hn::Add(normal, hn::Set(di, 0x38000000)), quiet);
  // Zero and subnormals: m * 2^-24, formed exactly as (2^-14 + m * 2^-24) - 2^-14.
  const auto subnormal = hn::BitCast(
      di, hn::Sub(hn::BitCast(df, hn::Add(normal, hn::Set(di, 0x00800000))),
                  hn::Set(df, 6.103515625e-05f)));
  auto bits = hn::IfThenElse(hn::Eq(exponent, hn::Zero(di)), subnormal, normal);
  bits = hn::IfThenElse(hn::Eq(exponent, hn::Set(di, 0x0F800000)), special, bits);
  const auto sign = hn::ShiftLeft<16>(hn::And(h, hn::Set(di, 0x8000)));
  return hn::BitCast(df, hn::Or(bits, sign));
}

template <class DF>
HWY_INLINE hn::Vec<hn::Rebind<uint16_t, DF>> F32ToHalfBits(DF df, hn::Vec<DF> v) {
  const hn::RebindToSigned<DF> di;
  const auto bits = hn::BitCast(di, v);
  const auto a = hn::And(bits, hn::Set(di, 0x7FFFFFFF));
  const auto sign = hn::And(hn::ShiftRight<16>(bits), hn::Set(di, 0x8000));
  // NaN keeps its upper payload bits and becomes quiet.
  const auto nan = hn::Or(hn::Set(di, 0x7E00), hn::And(hn::ShiftRight<13>(a), hn::Set(di, 0x3FF)));
  // Normal results: rebias, then round the 13 dropped bits to nearest even; a
  // carry out of the mantissa correctly bumps the exponent.
  const auto odd = hn::And(hn::ShiftRight<13>(a), hn::Set(di, 1));
  const auto normal =
      hn::ShiftRight<13>(hn::Add(hn::Sub(a, hn::Set(di, 0x38000000 - 0xFFF)), odd));
  // Subnormal results: adding 0.5 aligns the value to the 2^-24 grid with the
  // processor's round-to-nearest-even, and the low bits are the half.
  const auto subnormal = hn::Sub(hn::BitCast(di, hn::Add(hn::BitCast(df, a), hn::Set(df, 0.5f))),
                                 hn::Set(di, 0x3F000000));
  auto h = hn::IfThenElse(hn::Lt(a, hn::Set(di, 0x38800000)), subnormal, normal);
  // From 65520 up everything rounds to infinity.
  h = hn::IfThenElse(hn::Lt(a, hn::Set(di, 0x477FF000)), h, hn::Set(di, 0x7C00));
  h = hn::IfThenElse(hn::Gt(a, hn::Set(di, 0x7F800000)), nan, h);
  return hn::DemoteTo(hn::Rebind<uint16_t, DF>(), hn::Or(h, sign));
}

// Loads Lanes(df) float16 values as float32.
template <class DF>
HWY_INLINE hn::Vec<DF> LoadHalfU(DF df, const uint16_t* HWY_RESTRICT p) {
  if constexpr (kHardwareF16) {
    const hn::Rebind<hwy::float16_t, DF> dh;
    return hn::PromoteTo(df, hn::LoadU(dh, reinterpret_cast<const hwy::float16_t*>(p)));
  } else {
    return HalfBitsToF32(df, hn::LoadU(hn::Rebind<uint16_t, DF>(), p));
  }
}

// Stores Lanes(df) float32 values as float16, rounding to nearest even.
template <class DF>
HWY_INLINE void StoreHalfU(DF df, hn::Vec<DF> v, uint16_t* HWY_RESTRICT p) {
  if constexpr (kHardwareF16) {
    const hn::Rebind<hwy::float16_t, DF> dh;
    hn::StoreU(hn::DemoteTo(dh, v), dh, reinterpret_cast<hwy::float16_t*>(p));
  } else {
    hn::StoreU(F32ToHalfBits(df, v), hn::Rebind<uint16_t, DF>(), p);
  }
}

// Float sums that come out bit-identical on every target: element i of a
// series always goes to partial sum i % kSumLanes, each partial sum adds its
// elements in index order, and the partial sums are combined in one fixed
// tree. kSumLanes is a multiple of every vector width in use (scalable vectors
// are capped to it), so wider vectors only change how many partial sums are
// updated per instruction, never the order of the additions.
constexpr size_t kSumLanes = 16;
using SumTag = hn::CappedTag<float, kSumLanes>;

// Sums term(d, i) (a vector of Lanes(d) terms for elements i, i + 1, ...) over
// i in [0, n).
template <class TermFn>
HWY_INLINE float FixedOrderSum(size_t n, const TermFn& term) {
  const SumTag d;
  const size_t lanes = hn::Lanes(d);
  HWY_ALIGN float partial[kSumLanes] = {};
  size_t i = 0;
  if (lanes >= 4 && kSumLanes % lanes == 0) {
    auto s0 = hn::Zero(d);
    auto s1 = hn::Zero(d);
    auto s2 = hn::Zero(d);
    auto s3 = hn::Zero(d);
    for (; i + kSumLanes <= n; i += kSumLanes) {
      s0 = hn::Add(s0, term(d, i));
      if (lanes <= kSumLanes / 2) s1 = hn::Add(s1, term(d, i + lanes));
      if (lanes <= kSumLanes / 4) {
        s2 = hn::Add(s2, term(d, i + 2 * lanes));
        s3 = hn::Add(s3, term(d, i + 3 * lanes));
      }
    }
    hn::Store(s0, d, partial);
    if (lanes <= kSumLanes / 2) hn::Store(s1, d, partial + lanes);
    if (lanes <= kSumLanes / 4) {
      hn::Store(s2, d, partial + 2 * lanes);
      hn::Store(s3, d, partial + 3 * lanes);
    }
  }
  const hn::CappedTag<float, 1> d1;
  for (; i < n; ++i) partial[i % kSumLanes] += hn::GetLane(term(d1, i));
  for (size_t half = kSumLanes / 2; half > 0; half /= 2)
    for (size_t j = 0; j < half; ++j) partial[j] += partial[j + half];
  return partial[0];
}

}  // namespace le::simd::HWY_NAMESPACE
HWY_AFTER_NAMESPACE();

#endif  // LE_PASTE_SIMD_INL_H_
