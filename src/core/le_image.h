// Still-image files: JPEG/PNG decoding to packed RGB24 and PNG writing.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace le {

struct ImageRGB {
  int width = 0;
  int height = 0;
  std::vector<uint8_t> rgb;  // width * height * 3, rows packed
};

// Decodes a JPEG or PNG file to RGB24; a missing or undecodable file throws
// "decode failed: <path>".
ImageRGB loadImageRGB(const std::string& path);

// Writes packed pixels (channels 3 = RGB, 4 = RGBA) as a PNG file; a file that
// cannot be written throws "png write failed: <path>".
void writePNG(const std::string& path, const uint8_t* pixels, int width, int height,
              int channels);

}  // namespace le
