#include "director/le_director_rewrites.h"

#include <cstdio>

#include "director/graph_rewrites.h"

namespace le {

DirectorRewrites rewriteDirector(Bytes& model, bool warpNode, bool gridSampleFast) {
  DirectorRewrites r;
  if (warpNode) {
    r.warpTried = true;
    r.warpNodesRemoved = rewriteWarpBlockToCustomOp(model, r.warpReason);
  }
  if (gridSampleFast) r.gridSample = rewriteGridSampleToFast(model);
  r.blend = normaliseStudentBlend(model);
  r.cubicHead = rewriteHeadCubicResize(model);
  return r;
}

void DirectorRewrites::logWarp() const {
  if (!warpTried) return;
  if (warpApplied())
    std::fprintf(stderr,
                 "[le] director warp -> com.corvane::WarpDirector (%zu nodes removed, the source "
                 "cone with them)\n",
                 warpNodesRemoved);
  else
    std::fprintf(stderr,
                 "[le] director warp NOT moved to one node (%s) \xE2\x80\x94 the graph loads "
                 "exactly as it did before\n",
                 warpReason.empty() ? "no reason given" : warpReason.c_str());
}

void DirectorRewrites::logCounts(const std::string& tag) const {
  // Each line takes the node count, then the model.
  const struct {
    size_t count;
    const char* format;
  } lines[] = {
      {gridSample,
       "[le] std GridSample -> com.corvane::GridSampleFast load-time rewrite: %zu node(s) (%s)\n"},
      {blend,
       "[le] L3 student blend MatMul -> Gemm load-time normalisation: %zu node(s) (%s) \xE2\x80\x94 a "
       "pre-2026-09-11 student; as MatMul this graph aborts Apple's MPSGraph compiler on every CoreML "
       "unit that includes the GPU\n"},
      {cubicHead,
       "[le] head cubic x2 -> Pad(edge,2)+Conv5x5(dw)+DepthToSpace(2,CRD) load-time rewrite: %zu "
       "node(s) (%s) \xE2\x80\x94 the same filter to fp32 round-off; ORT's cubic Resize kernel is the "
       "pole on every CPU-class EP and no CoreML/NNAPI EP can claim it\n"},
  };
  for (const auto& line : lines)
    if (line.count) std::fprintf(stderr, line.format, line.count, tag.c_str());
}

}  // namespace le
