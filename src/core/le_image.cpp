#include "core/le_image.h"

#include <climits>
#include <stdexcept>

#include "bundle/le_fs.h"

#define STB_IMAGE_IMPLEMENTATION
#define STB_IMAGE_STATIC
#define STBI_ONLY_JPEG
#define STBI_ONLY_PNG
#define STB_IMAGE_WRITE_IMPLEMENTATION
#define STB_IMAGE_WRITE_STATIC
#if defined(__GNUC__)
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wunused-function"
#pragma GCC diagnostic ignored "-Wmissing-field-initializers"
#pragma GCC diagnostic ignored "-Wsign-compare"
#endif
#include <stb_image.h>
#include <stb_image_write.h>
#if defined(__GNUC__)
#pragma GCC diagnostic pop
#endif

namespace le {

ImageRGB loadImageRGB(const std::string& path) {
  // Read through the member opener (regular files only, never blocking on a
  // FIFO), then decoded from memory.
  std::vector<unsigned char> file;
  try {
    file = fs::readWhole<std::vector<unsigned char>>(path);
  } catch (const std::runtime_error&) {
    throw std::runtime_error("decode failed: " + path);
  }
  if (file.size() > static_cast<size_t>(INT_MAX)) throw std::runtime_error("decode failed: " + path);
  int w = 0, h = 0, n = 0;
  unsigned char* data =
      stbi_load_from_memory(file.data(), static_cast<int>(file.size()), &w, &h, &n, 3);
  if (!data) throw std::runtime_error("decode failed: " + path);
  ImageRGB img;
  img.width = w;
  img.height = h;
  try {
    img.rgb.assign(data, data + static_cast<size_t>(w) * static_cast<size_t>(h) * 3);
  } catch (...) {
    stbi_image_free(data);
    throw;
  }
  stbi_image_free(data);
  return img;
}

void writePNG(const std::string& path, const uint8_t* pixels, int width, int height,
              int channels) {
  if (!pixels || width < 1 || height < 1 || (channels != 3 && channels != 4))
    throw std::runtime_error("writePNG: bad image for " + path);
  if (!stbi_write_png(path.c_str(), width, height, channels, pixels, width * channels))
    throw std::runtime_error("png write failed: " + path);
}

}  // namespace le
