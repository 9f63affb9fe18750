// Running model images in ONNX Runtime from tests and benchmarks.
#pragma once

#include <onnxruntime_cxx_api.h>

#include <cstdint>
#include <map>
#include <string>
#include <vector>

#include "director/onnx_wire.h"

namespace le::test {

struct Tensor {
  std::vector<int64_t> shape;
  std::vector<float> data;
};
using Feeds = std::map<std::string, Tensor>;

Ort::Env& ortEnv();

// A CPU session over a model image with the library's session options
// (le::ort::sessionOptions, as the renderer builds them) and its custom
// operators registered, `threads` intra-op threads.
Ort::Session makeSession(const Bytes& model, int threads = 1);

// Runs `session` on `feeds` (inputs the model does not declare are ignored)
// and returns output `name`.
Tensor run(Ort::Session& session, const Feeds& feeds, const std::string& name);
// The same for several outputs of one run, in the order named.
std::vector<Tensor> run(Ort::Session& session, const Feeds& feeds, const std::vector<std::string>& names);
inline Tensor run(const Bytes& model, const Feeds& feeds, const std::string& name) {
  Ort::Session s = makeSession(model);
  return run(s, feeds, name);
}

// A session run through an I/O binding set up once: inputs bound to the
// feeds (which must outlive it), the output to a buffer of its static shape
// (or left to ONNX Runtime when the shape is not static), so that run() moves
// no data of its own. For timing.
class BoundRun {
 public:
  BoundRun(Ort::Session& session, const Feeds& feeds, const std::string& output);
  void run();

 private:
  Ort::Session& session_;
  Ort::IoBinding binding_;
  std::vector<Ort::Value> inputs_;
  std::vector<float> out_;
  Ort::Value outValue_{nullptr};
};

// Seeded inputs for every graph input of a director: images in 0..1,
// pooled features around 0, driving keypoints inside the crop and source
// keypoints up to 0.15 away from them.
Feeds directorFeeds(const Bytes& model, uint32_t seed);

float maxAbsDiff(const Tensor& a, const Tensor& b);
Bytes readModel(const std::string& path);

}  // namespace le::test
