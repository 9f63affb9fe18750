// The load-time rewrites the renderer applies to a director graph, as one step
// that reports what it did. The renderer prints its log lines and builds its
// note from the report, so the rewrites themselves print nothing.
#pragma once

#include <cstddef>
#include <string>

#include "director/onnx_wire.h"

namespace le {

struct DirectorRewrites {
  bool warpTried = false;       // the warp collapse was asked for
  size_t warpNodesRemoved = 0;  // non-zero: the warp block is now one WarpDirector node
  std::string warpReason;       // why the collapse did not apply ("" when none was given)
  size_t gridSample = 0;        // GridSample -> GridSampleFast
  size_t blend = 0;             // student blend MatMul -> Gemm
  size_t cubicHead = 0;         // head cubic x2 resize -> Pad + depthwise Conv + DepthToSpace

  bool warpApplied() const { return warpNodesRemoved > 0; }
  // Whether the model bytes differ from the file's.
  bool changedGraph() const { return warpApplied() || gridSample || blend || cubicHead; }

  // "[le] director warp ..." when the collapse was tried, applied or not.
  void logWarp() const;
  // One "[le] ..." line per rewrite that changed something; `tag` names the model.
  void logCounts(const std::string& tag) const;
};

// In this order: the warp block to WarpDirector (when `warpNode`), GridSample
// to GridSampleFast (when `gridSampleFast`), then always the student blend
// and head cubic normalisations.
DirectorRewrites rewriteDirector(Bytes& model, bool warpNode, bool gridSampleFast);

}  // namespace le
