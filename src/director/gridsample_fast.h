// The "com.corvane" custom operators for ONNX Runtime's CPU provider:
// GridSampleFast (bilinear, border, align_corners = 0) and WarpDirector, and
// their registration into session options.
#pragma once

#include <onnxruntime_cxx_api.h>

#include <cstddef>

namespace le {

// The shared "com.corvane" domain (opset 1) holding both operators. Created on
// first call, thread-safe; it lives until the process exits.
Ort::CustomOpDomain& corvaneDomain();

// Both add the shared domain to `options`; either makes both operators
// available. ONNX Runtime errors are raised as Ort::Exception.
void registerGridSampleFast(Ort::SessionOptions& options);
void registerWarpDirector(Ort::SessionOptions& options);

// GridSampleFast for one batch item: image (C, H, W), grid (H, W, 2), out
// (C, H, W). The band form covers output rows [row0, row1) (row1 clipped to
// H, row0 raised to 0).
void gridsample_fast(const float* image, const float* grid, float* out, int C, int H, int W);
void gridsample_fast_band(const float* image, const float* grid, float* out, int C, int H, int W,
                          int row0, int row1);

}  // namespace le
