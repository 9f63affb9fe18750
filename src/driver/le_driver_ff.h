// Movie members decoded with FFmpeg: the driver video (H.264 or any 4:2:0
// stream, delivered as RGB24) and the warp prior (HEVC 4:4:4, delivered as
// three float16 planes R, G, B of value / 255).
#pragma once

#include <memory>
#include <string>

#include "driver/le_driver.h"

namespace le::driver {

// Opens the movie at once, so a member that disagrees with the manifest (size,
// frame count, pixel layout) fails here rather than part way through a session.
std::unique_ptr<Source> openMp4(const std::string& path, int NT, int W, int H);

// The prior kind: W = H = side; frameBytes() = side * side * 3 * 2.
std::unique_ptr<Source> openPriorHevc(const std::string& path, int NT, int side);

}  // namespace le::driver
