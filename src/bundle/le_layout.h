// The bundle's fixed layout: how many values each member holds per frame, and
// how far the frame cursors over its movies read ahead and keep behind. Every
// reader of these members sizes its rows from here.
#pragma once

#include <cstddef>

namespace le {

// Keypoint rows a host passes per frame (le_host_kp_rows), each of 3 floats.
constexpr int kHostKpRows = 21;
// Floats of one keypoint row set (drive/xs.f32, drive/xd.f32, one director
// keypoint input per frame).
constexpr size_t kKeypointFloats = static_cast<size_t>(kHostKpRows) * 3;

// float16 values per identity frame of pooled64.f16 (64 x 32 x 32, 128 KiB).
constexpr size_t kPooledHalves = 64 * 32 * 32;
// float16 values per identity frame of fs_red.f16 (512 KiB).
constexpr size_t kFsRedHalves = 262144;
// float32 values per identity frame of M.f32 (a 2x3 affine).
constexpr size_t kPasteTransformFloats = 6;
// Bytes of one float16 value as stored.
constexpr size_t kHalfBytes = 2;

// The frame cursors a context opens over the driver movie and the HEVC prior:
// frames decoded ahead of the reader, and frames kept behind it.
constexpr int kCursorLookAhead = 2;
constexpr int kCursorHistory = 11;

}  // namespace le
