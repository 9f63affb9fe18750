#include "tessera/le_lip_contour.h"

#include <cmath>
#include <stdexcept>

#include "tessera/le_tessera.h"

namespace le::tessera {

namespace {

[[noreturn]] void refuse(const std::string& what) {
  throw std::runtime_error(std::string(kLipTemplateFile) + ": " + what);
}

// Integers in messages the way the bake wrote them (no ".00" tail).
std::string intText(double v) {
  char buf[64];
  std::snprintf(buf, sizeof buf, "%.0f", std::trunc(v));
  return buf;
}

}  // namespace

LipContour::LipContour(int canvas, float featherPx, const double* vertices, int nv,
                       const int32_t* rows, int nrows)
    : canvas_(canvas),
      feather_(featherPx),
      uCanon_(vertices, vertices + 2 * static_cast<size_t>(nv)),
      lipIdx_(rows, rows + nrows) {}

LipContour LipContour::fromTemplateJson(const std::string& text, int canvas) {
  json::JVal root;
  try {
    root = json::parse(text);
  } catch (const std::runtime_error& e) {
    refuse(std::string("is not parseable JSON (") + e.what() + ")");
  }
  if (!root.isObject()) refuse("is not a JSON object");

  const json::JVal* format = root.get("format");
  if (!format || !format->isString()) refuse("carries no string `format`");
  if (format->str != "lip-template-v1") {
    refuse("declares format '" + format->str +
           "', not 'lip-template-v1' — this runtime cannot read it");
  }

  const json::JVal* edge = root.get("edge");
  if (edge && edge->isString() && edge->str != "outward") {
    refuse("declares edge '" + edge->str +
           "', and the contour feather is OUTWARD — refusing to serve a mask this runtime does "
           "not compute");
  }

  const json::JVal* cv = root.get("canvas");
  if (!cv || !cv->isNumber()) refuse("carries no numeric `canvas`");
  if (json::toI32(cv->num) != canvas) {
    refuse("was baked on a " + intText(cv->num) + " canvas but this bundle composes on " +
           std::to_string(canvas) + " — refusing to deform a polygon onto a canvas it does not name");
  }

  const json::JVal* feather = root.get("feather_px");
  if (!feather || !feather->isNumber()) refuse("carries no numeric `feather_px`");
  if (!(feather->num > 0.0)) {
    refuse("declares feather_px " + json::fmt2(feather->num) + ", which is not positive");
  }

  const json::JVal* u = root.get("u_canon");
  if (!u || !u->isArray() || u->arr.empty()) refuse("carries no non-empty `u_canon` array");
  std::vector<double> verts;
  for (size_t i = 0; i < u->arr.size(); ++i) {
    const json::JVal& row = u->arr[i];
    if (!row.isArray() || row.arr.size() != 2 || !row.arr[0].isNumber() || !row.arr[1].isNumber()) {
      refuse("u_canon row " + std::to_string(i) + " is not a 2-vector — this is not an nv x 2 template");
    }
    verts.push_back(row.arr[0].num);
    verts.push_back(row.arr[1].num);
  }

  const json::JVal* idx = root.get("lip_idx");
  if (!idx || !idx->isArray() || idx->arr.empty()) {
    refuse("carries a `lip_idx` that is not a non-empty array");
  }
  std::vector<int32_t> rows;
  for (const json::JVal& v : idx->arr) {
    const double d = v.isNumber() ? v.num : -1.0;
    if (!(d >= 0.0 && d < 21.0)) {
      refuse("lip_idx names keypoint row " + (v.isNumber() ? intText(d) : std::string("null")) +
             ", and a kd row is 0..20");
    }
    rows.push_back(static_cast<int32_t>(d));
  }

  return LipContour(canvas, static_cast<float>(feather->num), verts.data(),
                    static_cast<int>(verts.size() / 2), rows.data(), static_cast<int>(rows.size()));
}

}  // namespace le::tessera
