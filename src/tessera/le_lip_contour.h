// The baked lip contour ("lip_template.v1.json"): a canonical polygon and the
// keypoint rows that deform it, with the feather width of the mask drawn
// from it.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace le::tessera {

constexpr const char* kLipTemplateFile = "lip_template.v1.json";

class LipContour {
 public:
  LipContour(int canvas, float featherPx, const double* vertices, int nv, const int32_t* rows,
             int nrows);

  // Refuses (std::runtime_error) any template this runtime cannot serve.
  static LipContour fromTemplateJson(const std::string& text, int canvas);

  int canvas() const { return canvas_; }
  float featherPx() const { return feather_; }
  int vertexCount() const { return static_cast<int>(uCanon_.size() / 2); }
  const std::vector<double>& uCanon() const { return uCanon_; }  // nv x 2
  const std::vector<int32_t>& lipIdx() const { return lipIdx_; }

 private:
  int canvas_;
  float feather_;
  std::vector<double> uCanon_;
  std::vector<int32_t> lipIdx_;
};

}  // namespace le::tessera
