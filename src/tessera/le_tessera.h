// The teeth borrow's small readers: the JSON reader its members are written
// in, the head checkpoint (a stored zip holding a pickled state dictionary)
// and the head's serve configuration.
#pragma once

#include <cstdint>
#include <string>
#include <utility>
#include <vector>

namespace le::tessera {

namespace json {

// One JSON value. Objects keep their pairs in document order, duplicates
// included; get() answers with the first.
struct JVal {
  enum class Kind { Null, Bool, Number, String, Array, Object };
  Kind kind = Kind::Null;
  bool b = false;
  double num = 0.0;
  std::string str;
  std::vector<JVal> arr;
  std::vector<std::pair<std::string, JVal>> obj;

  bool isNull() const { return kind == Kind::Null; }
  bool isNumber() const { return kind == Kind::Number; }
  bool isString() const { return kind == Kind::String; }
  bool isArray() const { return kind == Kind::Array; }
  bool isObject() const { return kind == Kind::Object; }
  // The first value under `key` of an object; nullptr when absent or when
  // this is not an object.
  const JVal* get(const std::string& key) const;
};

// Nesting deeper than this is refused rather than followed, so a hostile
// member cannot exhaust the stack.
constexpr int kMaxDepth = 256;

// A cursor over [begin, end). Every parse failure throws std::runtime_error.
class JParser {
 public:
  JParser(const char* begin, const char* end) : p_(begin), end_(end) {}
  explicit JParser(const std::string& text) : JParser(text.data(), text.data() + text.size()) {}

  void skipSpace();
  JVal val();
  JVal objv();
  JVal arrv();
  std::string strv();

 private:
  JVal number();
  void enter();

  const char* p_;
  const char* end_;
  int depth_ = 0;
};

// Leading white space skipped, then one value; what follows it is ignored.
JVal parse(const std::string& text);

// "%.2f": how numbers appear in the subsystem's messages.
std::string fmt2(double v);

// A JSON number truncated toward zero to int32; NaN reads as 0 and values
// beyond the range stop at its ends (a cast would be undefined there).
int32_t toI32(double v);

}  // namespace json

// The borrow head's tensors, each float32 in PyTorch's row-major order. The
// synthesis vectors stay empty for a candidate-only (BlendHead8) checkpoint.
struct HeadWeights {
  std::vector<float> cand0_w, cand0_b;
  std::vector<float> cand2_w, cand2_b;
  std::vector<float> cand4_w, cand4_b;
  std::vector<float> syn0_w, syn0_b;
  std::vector<float> syn2_w, syn2_b;
  float envelope = 12.0f / 255.0f;

  int params() const;
  bool hasSynthesis() const { return !syn0_w.empty(); }
};

constexpr int kBlendHeadParams = 4082;
constexpr int kBlendHead8Params = 3489;

// Parses a torch.save checkpoint of either head; throws on anything it does
// not know.
HeadWeights loadHeadPt(const std::vector<uint8_t>& bytes);

struct ServeConfig {
  int32_t kshort = 0;          // donors kept by the short list
  double aperture_tol = 0.0;   // aperture gate of the short list
  int32_t cut = 0;             // frames a donor must hold before a switch
  int32_t K = 0;               // donors blended per frame
  int32_t hysteresis = 0;      // frames a better donor must win before it replaces
  int32_t lookahead = 0;       // frames the pass may hold back
  double position_scale = 100.0;   // pixels per unit of centre distance
  double fps = 25.0;
  int32_t pool = 32;               // side of the pooled retrieval grid
  double blend_floor = 0.6;        // least weight the nearest donor keeps
  bool v1 = false;

  static ServeConfig fromHeadMemberJson(const std::string& json);
};

}  // namespace le::tessera
