// Decoding the reference bank track from memory into donor-ordered RGB24
// patches.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "le/le.h"

namespace le::tessera {

// n x h x w x 3 bytes, donor d's patch at d x h x w x 3; frame i of the track
// lands in slot order[i]. Throws std::runtime_error on every disagreement
// with the declared geometry.
// Exported for hosts (nothing inside the library calls it).
LE_API std::vector<uint8_t> decodeBankTrack(const uint8_t* bytes, size_t size, int n, int h,
                                            int w, const std::vector<int32_t>& order);

// "libavcodec M.m.u / <configuration>" of the FFmpeg built against.
LE_API std::string bankDecoderBuild();

// The in-memory reader behind the decoder's I/O context.
struct MemReader {
  const uint8_t* data = nullptr;
  int64_t size = 0;
  int64_t pos = 0;
};
int memRead(void* opaque, uint8_t* buf, int size);
int64_t memSeek(void* opaque, int64_t offset, int whence);

}  // namespace le::tessera
