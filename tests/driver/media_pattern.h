// Deterministic YUV pictures shared by the fixture generator (which feeds them
// to the ffmpeg CLI) and the tests (which know what each decoded pixel must
// be). All patterns depend on the frame index, so a frame delivered at the
// wrong position never matches.
#pragma once

#include <cstdint>
#include <vector>

namespace le::test {

enum class Pattern {
  Sharp,   // busy texture for lossless streams: every pixel checked exactly
  Smooth,  // flat per-frame colour with a gentle gradient: survives lossy codecs
  Sweep,   // 4:4:4 values covering the whole 0..255 range of each plane
};

// The value of plane p (0 = Y, 1 = U, 2 = V) at (x, y) of frame f; for
// subsampled layouts (x, y) are chroma-plane coordinates.
inline uint8_t patternValue(Pattern pat, int p, int f, int x, int y) {
  switch (pat) {
    case Pattern::Sharp: {
      const int mul[3][3] = {{7, 3, 11}, {5, 9, 13}, {3, 7, 17}};
      return static_cast<uint8_t>(16 + (x * mul[p][0] + y * mul[p][1] + f * mul[p][2]) % 220);
    }
    case Pattern::Smooth: {
      if (p == 0) return static_cast<uint8_t>(40 + 5 * f + (x + y) / 8);
      return static_cast<uint8_t>(p == 1 ? 110 + 2 * f : 150 - 2 * f);
    }
    case Pattern::Sweep: {
      // Two anchors the conversion must map to exactly 0.0 and 1.0.
      if (f == 0 && y == 0 && x < 2) return p == 0 ? (x == 0 ? 16 : 235) : 128;
      const int i = x + y * 61 + f * 97;
      const int mul[3] = {1, 37, 101};
      return static_cast<uint8_t>((i * mul[p] + p * 19) & 255);
    }
  }
  return 0;
}

// One frame as the planes of yuv420p (Y, U, V) or yuv444p; chroma of a 4:2:0
// frame is ceil(W/2) x ceil(H/2).
inline std::vector<uint8_t> patternFrame(Pattern pat, bool chroma444, int f, int W, int H) {
  const int cw = chroma444 ? W : (W + 1) / 2;
  const int ch = chroma444 ? H : (H + 1) / 2;
  std::vector<uint8_t> out;
  out.reserve(static_cast<size_t>(W) * H + 2 * static_cast<size_t>(cw) * ch);
  for (int y = 0; y < H; ++y)
    for (int x = 0; x < W; ++x) out.push_back(patternValue(pat, 0, f, x, y));
  for (int p = 1; p < 3; ++p)
    for (int y = 0; y < ch; ++y)
      for (int x = 0; x < cw; ++x) out.push_back(patternValue(pat, p, f, x, y));
  return out;
}

// Integer BT.601 limited range, 8-bit intermediate (the driver's canvas
// conversion), written out independently of the library's kernel.
inline void bt601Rgb8(int Y, int U, int V, uint8_t* rgb) {
  const int c = 298 * (Y - 16) + 128;
  const int d = U - 128;
  const int e = V - 128;
  const int v[3] = {(c + 409 * e) >> 8, (c - 100 * d - 208 * e) >> 8, (c + 516 * d) >> 8};
  for (int k = 0; k < 3; ++k) rgb[k] = static_cast<uint8_t>(v[k] < 0 ? 0 : (v[k] > 255 ? 255 : v[k]));
}

// The prior's 16.16 fixed-point conversion, likewise written out here.
inline void bt601Fixed(int Y, int U, int V, int* rgb) {
  const int64_t c = 76312LL * (Y - 16);
  const int64_t d = U - 128;
  const int64_t e = V - 128;
  const int64_t v[3] = {c + 104600 * e, c - 53280 * e - 25672 * d, c + 132200 * d};
  for (int k = 0; k < 3; ++k) {
    // Floor division by 65536 after rounding: the arithmetic shift.
    int64_t q = v[k] + 32768;
    q = q >= 0 ? q / 65536 : -((-q + 65535) / 65536);
    rgb[k] = static_cast<int>(q < 0 ? 0 : (q > 255 ? 255 : q));
  }
}

// Expected RGB24 of a 4:2:0 pattern frame.
inline std::vector<uint8_t> expectedRgb420(Pattern pat, int f, int W, int H) {
  std::vector<uint8_t> rgb(static_cast<size_t>(W) * H * 3);
  for (int y = 0; y < H; ++y)
    for (int x = 0; x < W; ++x)
      bt601Rgb8(patternValue(pat, 0, f, x, y), patternValue(pat, 1, f, x / 2, y / 2),
                patternValue(pat, 2, f, x / 2, y / 2), &rgb[(static_cast<size_t>(y) * W + x) * 3]);
  return rgb;
}

}  // namespace le::test
