// Fuzzes the fp16 engine's model loading and m4b resolution. The first input
// byte picks the mode:
// - even: the rest is a model image for loadOnnx / readTensorShapes /
//   graphSupported. Each either succeeds or fails with one of the loader's
//   own messages (never an allocation failure or another exception); the
//   two readers agree on success, message and shapes; every loaded tensor
//   holds exactly the product of its dims; the batch is 1 ... 4096; and
//   graphSupported is exactly "shapes read and m4bResolve accepts them".
// - odd: the rest edits the m4b shapes (3 bytes per edit: drop, change a
//   dim, duplicate, rename, change the rank; the first 64 edits count).
//   m4bResolve never throws, refuses with one of its reasons, and what it
//   accepts really resolves.
#include <algorithm>
#include <cstdint>
#include <iterator>
#include <stdexcept>
#include <string>
#include <vector>

#include "director/le_conv.h"

namespace {

using Image = std::vector<unsigned char>;

void check(bool ok) {
  if (!ok) __builtin_trap();
}

bool startsWith(const std::string& s, const std::string& prefix) { return s.rfind(prefix, 0) == 0; }
bool endsWith(const std::string& s, const std::string& suffix) {
  return s.size() >= suffix.size() && s.compare(s.size() - suffix.size(), suffix.size(), suffix) == 0;
}

bool isLoadError(const std::string& e) {
  return e == "onnx: bad varint" || e == "onnx: truncated" || e == "onnx: bad wire type" ||
         e == "le_conv: pooled64 input not found" || startsWith(e, "onnx: non-fp32 initializer ") ||
         startsWith(e, "onnx: raw size mismatch ") || startsWith(e, "onnx: no data for ");
}

// The loader's message, or "" on success; any other escape is a finding.
template <typename Fn>
std::string loadError(Fn&& fn) {
  try {
    fn();
    return {};
  } catch (const std::runtime_error& e) {
    check(isLoadError(e.what()));
    return e.what();
  } catch (...) {
    check(false);
    return {};
  }
}

int64_t product(const std::vector<int64_t>& dims) {
  int64_t n = 1;
  for (int64_t d : dims) n *= d;
  return n;
}

void modelImage(const Image& image) {
  le::OnnxModel model;
  le::TensorShapes shapes;
  const std::string loaded = loadError([&] { model = le::loadOnnxImage(image); });
  const std::string read = loadError([&] { shapes = le::readTensorShapesImage(image); });
  check(loaded == read);
  bool supported = false;
  if (loaded.empty()) {
    check(model.batch >= 1 && model.batch <= 4096);
    check(model.tensors.size() == shapes.size());
    for (const auto& [name, t] : model.tensors) {
      check(shapes.count(name) == 1 && shapes.at(name) == t.dims);
      check(static_cast<int64_t>(t.data.size()) == product(t.dims));
    }
    le::M4bNames names;
    std::string reason;
    supported = le::m4bResolve(shapes, names, reason);
  }
  check(le::m4bImageSupported(image) == supported);
}

bool isResolveReason(const std::string& r) {
  return startsWith(r, "missing ") || startsWith(r, "shape ") ||
         r == "pre weight (96,85,1,1) absent or ambiguous" || r == "grid32 (1,1,32,32,2) absent or ambiguous" ||
         r == "basis (64,196608) absent or ambiguous" || r == "pre weight name carries no SSA counter" ||
         (startsWith(r, "pre bias ") && endsWith(r, " absent or not (96)"));
}

// At most this many edits: the m4b table has some forty entries, so a few
// dozen edits reach any mix of dropped, reshaped, duplicated and renamed
// ones, while the thousands a model-sized input would give only cost time.
constexpr size_t kMaxEdits = 64;

void editedShapes(const uint8_t* data, size_t size) {
  static const le::TensorShapes nominal = le::m4bNominalShapes();
  le::TensorShapes shapes = nominal;
  size = std::min(size, 3 * kMaxEdits);
  for (size_t at = 0; at + 3 <= size && !shapes.empty(); at += 3) {
    const uint8_t op = data[at] % 5, value = data[at + 2];
    auto it = shapes.begin();
    std::advance(it, data[at + 1] % shapes.size());
    std::vector<int64_t>& dims = it->second;
    switch (op) {
      case 0:
        shapes.erase(it);
        break;
      case 1:
        if (!dims.empty()) dims[value % dims.size()] = static_cast<int64_t>(value >> 2) - 8;
        break;
      case 2:
        shapes[it->first.substr(0, it->first.size() - (value & 3)) + std::to_string(value)] = dims;
        break;
      case 3: {
        std::string name = it->first;
        const std::vector<int64_t> kept = dims;
        shapes.erase(it);
        name.resize(name.size() - std::min<size_t>(name.size(), value & 7));
        if (value & 8) name += std::to_string(value >> 4);
        shapes[name] = kept;
        break;
      }
      default:
        if (value & 1) dims.push_back(value >> 1);
        else if (!dims.empty()) dims.pop_back();
    }
  }
  le::M4bNames names;
  std::string reason;
  bool ok = false;
  try {
    ok = le::m4bResolve(shapes, names, reason);
  } catch (...) {
    check(false);
  }
  if (!ok) {
    check(isResolveReason(reason));
    return;
  }
  const auto has = [&](const std::string& name, const std::vector<int64_t>& dims) {
    return shapes.count(name) == 1 && shapes.at(name) == dims;
  };
  check(has(names.preWeight, {96, 85, 1, 1}) && has(names.preBias, {96}) && has(names.grid32, {1, 1, 32, 32, 2}) &&
        has(names.basis, {64, 196608}));
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size == 0) return 0;
  if (data[0] & 1)
    editedShapes(data + 1, size - 1);
  else
    modelImage(Image(data + 1, data + size));
  return 0;
}
