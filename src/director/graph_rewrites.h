// Load-time rewrites of the director graph, as pure functions over the model
// image. Each either changes the model and says how much it changed, or
// leaves it byte-identical (returning 0, with a reason where one is asked
// for). Malformed wire data raises the wire layer's errors and leaves the
// model as it was.
#pragma once

#include <array>
#include <cstdint>
#include <string>

#include "director/onnx_wire.h"

namespace le {

constexpr const char* kCorvaneDomain = "com.corvane";
constexpr const char* kCorvaneInt8Domain = "com.corvane.int8";

// The director's source-warp block as findWarpBlock sees it.
struct WarpBlock {
  std::string grid;  // the sampling grid the block reads
  std::string exit;  // the one value the block hands to the rest of the graph
  size_t nodes = 0;  // graph nodes that leave with the block
  size_t gridSampleIndex = 0;  // node index of the block's GridSample
};

bool graphHasBakedGridSampleFast(const Bytes& model);
size_t rewriteGridSampleToFast(Bytes& model);
size_t normaliseStudentBlend(Bytes& model);
size_t rewriteHeadCubicResize(Bytes& model);
size_t findWarpBlock(const Bytes& model, WarpBlock* out, std::string& reason);
size_t rewriteWarpBlockToCustomOp(Bytes& model, std::string& reason);
size_t findSourceConeBoundary(const Bytes& model, std::string& boundary);
bool buildSourceConePrep(const Bytes& model, const std::string& boundary, Bytes& prep,
                         std::string& reason);
bool buildSourceConePerFrame(const Bytes& model, const std::string& boundary,
                             const int64_t* dims, size_t dimsCount, Bytes& perFrame,
                             std::string& reason);

// The four Keys cubic taps for fractional position t (distances t+1, t, 1-t,
// 2-t), normalised to sum 1, in double precision.
std::array<double, 4> hcTaps(double t, double a);

}  // namespace le
