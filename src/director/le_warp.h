// The WarpDirector kernel: the director's 3-channel source warp with a
// curvature-corrected bilinear sampler,
//   Y = B(v) - hx B(Dxx) - hy B(Dyy) + hx hy B(Dxxyy),
// where B blends the four bilinear corners (coordinates clamped to the image),
// D are second differences over replicated borders, and hx, hy = (1 - f) f / 2
// come from the fractional parts of the unclamped sample coordinates.
#pragma once

namespace le {

// One batch item: source (3, H, W), grid (H, W, 2) in [-1, 1], out (3, H, W).
void warpDirector(const float* source, const float* grid, float* out, int W, int H);
// The same over output rows [row0, row1) (row1 clipped to H, row0 raised to 0).
void warpDirectorBand(const float* source, const float* grid, float* out, int W, int H, int row0,
                      int row1);

}  // namespace le
