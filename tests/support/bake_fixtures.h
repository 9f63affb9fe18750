// The demo bundles baked at test set-up (tools/bake): where they live and
// how to read the director reference outputs baked beside them.
//
// Fixture bundle <variant> is the directory bakeFixture(variant); the
// PyTorch reference outputs of its director models, when it has them, are
// in bakeFixture(variant) + ".ref" (index.txt plus raw float32 files).
#pragma once

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <sstream>
#include <stdexcept>
#include <string>
#include <vector>

namespace le::test {

// $LE_BAKE_FIXTURES when set, else the build tree's fixtures directory
// (compiled in by le_add_bake_test).
inline std::string bakeFixturesRoot() {
  const char* env = std::getenv("LE_BAKE_FIXTURES");
  if (env && *env) return env;
#ifdef LE_BAKE_FIXTURES_DIR
  return LE_BAKE_FIXTURES_DIR;
#else
  throw std::runtime_error("LE_BAKE_FIXTURES is not set: run this test through ctest");
#endif
}

inline std::string bakeFixture(const std::string& variant) { return bakeFixturesRoot() + "/" + variant; }

struct RefTensor {
  std::string name;
  std::vector<int64_t> shape;
  std::vector<float> data;  // C order
};

// One batch of inputs of one director model and PyTorch's output for it.
struct RefCase {
  std::string key;  // model key: the model is member "model_" + key + ".onnx"
  int index = 0;
  std::vector<RefTensor> inputs;  // in the graph's input order
  RefTensor output;               // "rgb"
};

// One case of a reference index whose cases may have several outputs (the
// audio index, <ref>/audio/index.txt): inputs and outputs in index order.
struct RefCaseN {
  std::string key;
  int index = 0;
  std::vector<RefTensor> inputs;
  std::vector<RefTensor> outputs;
};

// Reads <refDir>/index.txt: lines "<key> <case> <in|out> <tensor> f32 <d0>x<d1>... <file>",
// '#' starts a comment line. Throws on a malformed line or a file of the wrong size.
inline std::vector<RefCaseN> loadReferenceCases(const std::string& refDir) {
  std::ifstream index(refDir + "/index.txt");
  if (!index) throw std::runtime_error("cannot open " + refDir + "/index.txt");
  std::vector<RefCaseN> cases;
  std::string line;
  while (std::getline(index, line)) {
    if (line.empty() || line[0] == '#') continue;
    std::istringstream in(line);
    std::string key, io, name, dtype, shape, file;
    int idx = -1;
    if (!(in >> key >> idx >> io >> name >> dtype >> shape >> file) || dtype != "f32" || (io != "in" && io != "out"))
      throw std::runtime_error("bad reference index line: " + line);
    RefTensor t;
    t.name = name;
    size_t count = 1;
    std::istringstream dims(shape);
    for (std::string d; std::getline(dims, d, 'x');) {
      t.shape.push_back(std::stoll(d));
      count *= static_cast<size_t>(t.shape.back());
    }
    t.data.resize(count);
    std::ifstream raw(refDir + "/" + file, std::ios::binary | std::ios::ate);
    if (!raw || static_cast<size_t>(raw.tellg()) != count * sizeof(float))
      throw std::runtime_error("reference tensor " + file + " is missing or not " + shape + " float32");
    raw.seekg(0);
    raw.read(reinterpret_cast<char*>(t.data.data()), static_cast<std::streamsize>(count * sizeof(float)));
    if (cases.empty() || cases.back().key != key || cases.back().index != idx) {
      cases.push_back(RefCaseN{});
      cases.back().key = key;
      cases.back().index = idx;
    }
    (io == "in" ? cases.back().inputs : cases.back().outputs).push_back(std::move(t));
  }
  return cases;
}

// The director references (one output per case, the last one listed).
inline std::vector<RefCase> loadReferences(const std::string& refDir) {
  std::vector<RefCase> cases;
  for (RefCaseN& c : loadReferenceCases(refDir)) {
    RefCase r;
    r.key = c.key;
    r.index = c.index;
    r.inputs = std::move(c.inputs);
    if (!c.outputs.empty()) r.output = std::move(c.outputs.back());
    cases.push_back(std::move(r));
  }
  return cases;
}

}  // namespace le::test
