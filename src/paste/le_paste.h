// The compositor: sharpens a rendered face crop and blends it into a full
// driver frame through the frame's paste transform, with a feather mask and
// Lanczos-8 resampling.
#pragma once

#include <cstdint>
#include <vector>

#include "bundle/le_bundle.h"

namespace le {

// The compositor's switches, parsed once at load.
struct PasteOptions {
  // Interpolation: 0 Lanczos-8, 1 bicubic (4 x 4), 2 bilinear (2 x 2); any
  // other value counts as 0.
  int fast = 0;
  // A smaller unsharp kernel: taken only when greater than 2, odd and not
  // larger than the manifest's ksize; 0 (or any other value) keeps the
  // manifest's.
  int ksize = 0;

  // LE_PASTE_FAST and LE_PASTE_KSIZE, as decimal integers.
  static PasteOptions fromEnvironment();
};

class Paste {
 public:
  // mask: side x side bytes (0 = crop invisible, 255 = opaque). Throws
  // "paste: mask size", "paste: ksize must be odd", "paste: ksize must be
  // positive" or "paste: ksize > 2047".
  Paste(std::vector<uint8_t> mask, int side, const Unsharp& unsharp,
        const PasteOptions& options = PasteOptions::fromEnvironment());

  // Pastes one crop (three planes of side x side floats, R, G, B, scaled by
  // `scale` to 0 ... 255) into `frame` (W x H packed RGB24) in place, through
  // M = [a b c; d e f] (crop to frame coordinates). A degenerate M or a box
  // outside the frame pastes nothing. Not re-entrant: one frame at a time.
  void composite(const float* crop, float scale, const float M[6], uint8_t* frame, int W, int H);

  // The steps of composite.
  void fillPlanes(const float* crop, float scale);
  void unsharpPlane(float* plane);
  // Blends the sharpened planes into the frame rows [y0, y1], columns
  // [x0, x1], using the per-column terms already computed for the box.
  void compositeTail(uint8_t* frame, int W, int x0, int x1, int y0, int y1);

  int side() const { return side_; }
  int ksize() const { return ksize_; }
  int fast() const { return fast_; }
  float* plane(int c) { return planes_[c].data(); }
  const std::vector<float>& gauss() const { return gauss_; }
  const std::vector<float>& lanczos() const { return lanczos_; }    // 32 x 8
  const std::vector<float>& bicubic() const { return bicubic_; }    // 32 x 4
  const std::vector<float>& bilinear() const { return bilinear_; }  // 32 x 2

 private:
  bool inverseTerms(const float M[6], int x0, int x1, int y0, int y1);

  int side_;
  int ksize_;
  int padded_;
  float amount_;
  int fast_;
  std::vector<float> maskPadded_;  // (side + 2)^2, zero border
  std::vector<float> gauss_;
  std::vector<float> lanczos_;
  std::vector<float> lanczosQuad_;  // each tap repeated over a pixel's 4 lanes
  std::vector<float> bilinear_;
  std::vector<float> bicubic_;
  std::vector<float> planes_[3];
  std::vector<float> interleaved_;  // side rows of side x {R, G, B, spare}, simd::interleavedStride apart
  std::vector<float> paddedBuf_;    // padded x padded
  std::vector<float> horizontal_;   // padded rows x side
  std::vector<int32_t> colX_, colY_;
  std::vector<int32_t> rowX_, rowY_;
};

}  // namespace le
