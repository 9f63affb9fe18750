// The director's load-time switches, parsed once from the environment into a
// plain record that the renderer takes (tests pass their own).
#pragma once

#include <string>

namespace le {

struct DirectorOptions {
  // LE_CONV_BACKEND is "neon": the fp16 engine, when no ep is named.
  bool convBackendNeon = false;
  // LE_ORT_SPIN begins with "1": ONNX Runtime's intra-op threads keep spinning.
  bool ortSpin = false;
  // LE_ORT_PROFILE, when set and not empty: ONNX Runtime profiling with this
  // file prefix.
  std::string ortProfile;
  // False when LE_GS_FAST (or, when that is unset, CORVANE_VELLUM2_GRIDSAMPLE_FAST)
  // begins with "0": GridSampleFast is not registered and nothing is
  // rewritten to it.
  bool gridSampleFast = true;
  // False when LE_GS_REWRITE begins with "0": standard GridSample nodes stay
  // (the operator is still registered). Only counts with gridSampleFast.
  bool gridSampleRewrite = true;
  // LE_WARP_NODE set, not empty and not beginning with "0": collapse the warp
  // block into one WarpDirector node.
  bool warpNode = false;

  static DirectorOptions fromEnvironment();
};

}  // namespace le
