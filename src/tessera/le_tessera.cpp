#include "tessera/le_tessera.h"

#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>
#include <memory>
#include <stdexcept>

namespace le::tessera {

// ---------------------------------------------------------------- JSON

namespace json {

const JVal* JVal::get(const std::string& key) const {
  if (kind != Kind::Object) return nullptr;
  for (const auto& kv : obj) {
    if (kv.first == key) return &kv.second;
  }
  return nullptr;
}

namespace {
[[noreturn]] void fail(const char* what) { throw std::runtime_error(what); }
}  // namespace

void JParser::skipSpace() {
  while (p_ < end_ && (*p_ == ' ' || *p_ == '\t' || *p_ == '\n' || *p_ == '\r')) ++p_;
}

void JParser::enter() {
  if (++depth_ > kMaxDepth) {
    throw std::runtime_error("teeth: JSON nested deeper than " + std::to_string(kMaxDepth) +
                             " levels");
  }
}

JVal JParser::val() {
  skipSpace();
  if (p_ >= end_) fail("teeth: JSON truncated");
  const char c = *p_;
  if (c == '{') return objv();
  if (c == '[') return arrv();
  JVal v;
  if (c == '"') {
    v.kind = JVal::Kind::String;
    v.str = strv();
    return v;
  }
  const size_t left = static_cast<size_t>(end_ - p_);
  if (c == 't') {
    v.kind = JVal::Kind::Bool;
    v.b = true;
    p_ += left < 4 ? left : 4;
    return v;
  }
  if (c == 'f') {
    v.kind = JVal::Kind::Bool;
    p_ += left < 5 ? left : 5;
    return v;
  }
  if (c == 'n') {
    p_ += left < 4 ? left : 4;
    return v;
  }
  return number();
}

JVal JParser::number() {
  // strtod needs a terminated string; no number worth reading is longer.
  char buf[128];
  const size_t left = static_cast<size_t>(end_ - p_);
  const size_t n = left < sizeof buf - 1 ? left : sizeof buf - 1;
  std::memcpy(buf, p_, n);
  buf[n] = '\0';
  char* stop = nullptr;
  const double d = std::strtod(buf, &stop);
  if (stop == buf) fail("teeth: bad JSON number");
  p_ += stop - buf;
  JVal v;
  v.kind = JVal::Kind::Number;
  v.num = d;
  return v;
}

JVal JParser::objv() {
  enter();
  JVal v;
  v.kind = JVal::Kind::Object;
  if (p_ >= end_ || *p_ != '{') fail("teeth: malformed JSON object");
  ++p_;
  skipSpace();
  if (p_ < end_ && *p_ == '}') {
    ++p_;
    --depth_;
    return v;
  }
  for (;;) {
    skipSpace();
    if (p_ >= end_) fail("teeth: JSON truncated");
    if (*p_ != '"') fail("teeth: malformed JSON object");
    std::string key = strv();
    skipSpace();
    if (p_ >= end_) fail("teeth: JSON truncated");
    if (*p_ != ':') fail("teeth: malformed JSON object");
    ++p_;
    JVal item = val();
    v.obj.emplace_back(std::move(key), std::move(item));
    skipSpace();
    if (p_ >= end_) fail("teeth: JSON truncated");
    if (*p_ == ',') {
      ++p_;
      continue;
    }
    if (*p_ == '}') {
      ++p_;
      break;
    }
    fail("teeth: malformed JSON object");
  }
  --depth_;
  return v;
}

JVal JParser::arrv() {
  enter();
  JVal v;
  v.kind = JVal::Kind::Array;
  if (p_ >= end_ || *p_ != '[') fail("teeth: malformed JSON array");
  ++p_;
  skipSpace();
  if (p_ < end_ && *p_ == ']') {
    ++p_;
    --depth_;
    return v;
  }
  for (;;) {
    v.arr.push_back(val());
    skipSpace();
    if (p_ >= end_) fail("teeth: JSON truncated");
    if (*p_ == ',') {
      ++p_;
      continue;
    }
    if (*p_ == ']') {
      ++p_;
      break;
    }
    fail("teeth: malformed JSON array");
  }
  --depth_;
  return v;
}

std::string JParser::strv() {
  if (p_ >= end_ || *p_ != '"') fail("teeth: malformed JSON string");
  ++p_;
  std::string out;
  for (;;) {
    if (p_ >= end_) fail("teeth: JSON truncated");
    const char c = *p_++;
    if (c == '"') return out;
    if (c != '\\') {
      out.push_back(c);
      continue;
    }
    if (p_ >= end_) fail("teeth: JSON truncated");
    const char e = *p_++;
    switch (e) {
      case 'b': out.push_back('\b'); break;
      case 'f': out.push_back('\f'); break;
      case 'n': out.push_back('\n'); break;
      case 'r': out.push_back('\r'); break;
      case 't': out.push_back('\t'); break;
      case 'u': {
        // Member texts are ASCII; a code point is kept as a placeholder.
        const size_t left = static_cast<size_t>(end_ - p_);
        p_ += left < 4 ? left : 4;
        out.push_back('?');
        break;
      }
      default: out.push_back(e); break;
    }
  }
}

JVal parse(const std::string& text) {
  JParser p(text);
  p.skipSpace();
  return p.val();
}

std::string fmt2(double v) {
  char buf[64];
  std::snprintf(buf, sizeof buf, "%.2f", v);
  return buf;
}

int32_t toI32(double v) {
  if (!(v == v)) return 0;
  if (v >= 2147483647.0) return INT32_MAX;
  if (v <= -2147483648.0) return INT32_MIN;
  return static_cast<int32_t>(v);
}

}  // namespace json

// ---------------------------------------------------------------- zip

namespace {

[[noreturn]] void fail(const std::string& what) { throw std::runtime_error(what); }

uint16_t rd16(const uint8_t* p) { return static_cast<uint16_t>(p[0] | (p[1] << 8)); }
uint32_t rd32(const uint8_t* p) {
  return static_cast<uint32_t>(p[0]) | (static_cast<uint32_t>(p[1]) << 8) |
         (static_cast<uint32_t>(p[2]) << 16) | (static_cast<uint32_t>(p[3]) << 24);
}

struct ZipEntry {
  std::string name;
  uint64_t offset = 0;  // of the data
  uint64_t size = 0;
};

std::vector<ZipEntry> readZip(const std::vector<uint8_t>& z) {
  const uint64_t size = z.size();
  if (size < 22) fail("teeth: head .pt is not a zip");
  const uint8_t* b = z.data();
  uint64_t eocd = UINT64_MAX;
  for (uint64_t i = size - 22 + 1; i-- > 0;) {
    if (rd32(b + i) == 0x06054b50u) {
      eocd = i;
      break;
    }
  }
  if (eocd == UINT64_MAX) fail("teeth: head .pt has no zip EOCD");
  const uint32_t count = rd16(b + eocd + 10);
  uint64_t at = rd32(b + eocd + 16);
  std::vector<ZipEntry> out;
  for (uint32_t k = 0; k < count; ++k) {
    if (at > size || size - at < 46 || rd32(b + at) != 0x02014b50u) {
      fail("teeth: head .pt central directory is malformed");
    }
    const uint8_t* c = b + at;
    if (rd16(c + 10) != 0) {
      fail("teeth: head .pt entry is DEFLATEd; torch writes ZIP_STORED — refusing to guess at a "
           "compressed member");
    }
    const uint64_t csize = rd32(c + 20), usize = rd32(c + 24);
    const uint64_t nameLen = rd16(c + 28), extraLen = rd16(c + 30), commentLen = rd16(c + 32);
    const uint64_t local = rd32(c + 42);
    if (size - at - 46 < nameLen) fail("teeth: head .pt central directory is malformed");
    ZipEntry e;
    e.name.assign(reinterpret_cast<const char*>(c + 46), nameLen);
    if (local > size || size - local < 30) fail("teeth: head .pt local header out of range");
    const uint64_t dataAt = local + 30 + rd16(b + local + 26) + rd16(b + local + 28);
    e.size = csize != 0 ? csize : usize;
    if (dataAt > size || size - dataAt < e.size) fail("teeth: head .pt entry out of range");
    e.offset = dataAt;
    out.push_back(std::move(e));
    at += 46 + nameLen + extraLen + commentLen;
  }
  return out;
}

bool endsWith(const std::string& s, const std::string& tail) {
  return s.size() >= tail.size() && s.compare(s.size() - tail.size(), tail.size(), tail) == 0;
}

// ---------------------------------------------------------------- pickle

struct PVal {
  enum class Kind { None, Bool, Int, Str, Tuple, Dict, Global, Storage, Tensor };
  Kind kind = Kind::None;
  int64_t i = 0;                 // Int, Bool; Tensor: storage offset; Storage: element count
  std::string s, s2;             // Str; Global module/name; Storage/Tensor: storage key
  std::vector<const PVal*> items;                        // Tuple
  std::vector<std::pair<const PVal*, const PVal*>> dict;  // Dict
  std::vector<int64_t> sizes, strides;                   // Tensor
  bool storageIsFloat = false;
};

// Runs the subset of pickle a torch checkpoint's data.pkl uses. Every value
// lives in the arena for the unpickler's lifetime, so memo references and
// self-referencing dictionaries cost nothing and leak nothing.
class Unpickler {
 public:
  Unpickler(const uint8_t* p, size_t n) : p_(p), end_(p + n) {}

  const PVal* run() {
    for (;;) {
      const uint8_t op = byte();
      switch (op) {
        case 0x80: (void)byte(); break;  // PROTO
        case '(': marks_.push_back(stack_.size()); break;
        case '.': return pop();
        case ')': push(make(PVal::Kind::Tuple)); break;
        case 't': {
          PVal* t = make(PVal::Kind::Tuple);
          t->items = popToMark();
          push(t);
          break;
        }
        case 0x85: case 0x86: case 0x87: {
          const size_t k = op - 0x84u;
          if (stack_.size() < k) underflow();
          PVal* t = make(PVal::Kind::Tuple);
          t->items.assign(stack_.end() - static_cast<long>(k), stack_.end());
          stack_.resize(stack_.size() - k);
          push(t);
          break;
        }
        case '}': push(make(PVal::Kind::Dict)); break;
        case 's': {
          const PVal* v = pop();
          const PVal* k = pop();
          dictAt(top())->dict.emplace_back(k, v);
          break;
        }
        case 'u': {
          std::vector<const PVal*> kv = popToMark();
          if (kv.size() % 2) fail("teeth: pickle SETITEMS with an odd item count in head .pt");
          PVal* d = dictAt(top());
          for (size_t i = 0; i < kv.size(); i += 2) d->dict.emplace_back(kv[i], kv[i + 1]);
          break;
        }
        case 'J': pushInt(static_cast<int32_t>(rd32(take(4)))); break;
        case 'K': pushInt(byte()); break;
        case 'M': pushInt(rd16(take(2))); break;
        case 'N': push(make(PVal::Kind::None)); break;
        case 0x88: case 0x89: {
          PVal* v = make(PVal::Kind::Bool);
          v->i = op == 0x88;
          push(v);
          break;
        }
        case 'X': {
          const uint32_t n = rd32(take(4));
          PVal* v = make(PVal::Kind::Str);
          v->s.assign(reinterpret_cast<const char*>(take(n)), n);
          push(v);
          break;
        }
        case 'c': {
          PVal* v = make(PVal::Kind::Global);
          v->s = line();
          v->s2 = line();
          push(v);
          break;
        }
        case 'q': memo_[byte()] = top(); break;
        case 'r': memo_[rd32(take(4))] = top(); break;
        case 'h': get(byte(), "teeth: pickle BINGET out of range"); break;
        case 'j': get(rd32(take(4)), "teeth: pickle LONG_BINGET out of range"); break;
        case 'Q': push(persistent(pop())); break;
        case 'R': {
          const PVal* args = pop();
          const PVal* fn = pop();
          push(reduce(fn, args));
          break;
        }
        case 'b': (void)pop(); break;  // BUILD: state is not needed
        default: {
          char hex[8];
          std::snprintf(hex, sizeof hex, "%02x", op);
          fail(std::string("teeth: unsupported pickle opcode 0x") + hex + " in head .pt");
        }
      }
    }
  }

 private:
  [[noreturn]] static void underflow() { fail("teeth: pickle stack underflow in head .pt"); }

  uint8_t byte() { return *take(1); }
  const uint8_t* take(size_t n) {
    if (static_cast<size_t>(end_ - p_) < n) fail("teeth: pickle truncated");
    const uint8_t* at = p_;
    p_ += n;
    return at;
  }
  std::string line() {
    const uint8_t* nl = static_cast<const uint8_t*>(std::memchr(p_, '\n', end_ - p_));
    if (!nl) fail("teeth: pickle truncated");
    std::string s(reinterpret_cast<const char*>(p_), nl - p_);
    p_ = nl + 1;
    return s;
  }

  PVal* make(PVal::Kind k) {
    arena_.push_back(std::make_unique<PVal>());
    arena_.back()->kind = k;
    return arena_.back().get();
  }
  void push(const PVal* v) { stack_.push_back(v); }
  void pushInt(int64_t i) {
    PVal* v = make(PVal::Kind::Int);
    v->i = i;
    push(v);
  }
  const PVal* pop() {
    if (stack_.empty() || (!marks_.empty() && stack_.size() <= marks_.back())) underflow();
    const PVal* v = stack_.back();
    stack_.pop_back();
    return v;
  }
  const PVal* top() const {
    if (stack_.empty()) underflow();
    return stack_.back();
  }
  std::vector<const PVal*> popToMark() {
    if (marks_.empty() || marks_.back() > stack_.size()) underflow();
    const size_t m = marks_.back();
    marks_.pop_back();
    std::vector<const PVal*> out(stack_.begin() + static_cast<long>(m), stack_.end());
    stack_.resize(m);
    return out;
  }
  PVal* dictAt(const PVal* v) {
    if (v->kind != PVal::Kind::Dict) fail("teeth: pickle SETITEM on a non-dictionary in head .pt");
    // Only dictionaries are ever mutated, and every one came from make().
    return const_cast<PVal*>(v);
  }
  void get(uint32_t idx, const char* err) {
    auto it = memo_.find(idx);
    if (it == memo_.end()) fail(err);
    push(it->second);
  }

  const PVal* persistent(const PVal* pid) {
    if (pid->kind != PVal::Kind::Tuple || pid->items.size() != 5 ||
        pid->items[0]->kind != PVal::Kind::Str || pid->items[0]->s != "storage" ||
        pid->items[1]->kind != PVal::Kind::Global || pid->items[2]->kind != PVal::Kind::Str ||
        pid->items[4]->kind != PVal::Kind::Int) {
      fail("teeth: unexpected persistent id in head .pt");
    }
    const PVal* type = pid->items[1];
    if (type->s != "torch" || type->s2 != "FloatStorage") {
      fail("teeth: head .pt storage is " + type->s + "." + type->s2 +
           ", not torch FloatStorage — refusing to reinterpret it");
    }
    PVal* st = make(PVal::Kind::Storage);
    st->s = pid->items[2]->s;
    st->i = pid->items[4]->i;
    return st;
  }

  static bool intTuple(const PVal* v, std::vector<int64_t>& out) {
    if (v->kind != PVal::Kind::Tuple) return false;
    for (const PVal* e : v->items) {
      if (e->kind != PVal::Kind::Int) return false;
      out.push_back(e->i);
    }
    return true;
  }

  const PVal* reduce(const PVal* fn, const PVal* args) {
    if (fn->kind != PVal::Kind::Global) fail("teeth: pickle REDUCE of a non-global in head .pt");
    if (fn->s == "torch._utils" && fn->s2 == "_rebuild_tensor_v2") {
      PVal* t = make(PVal::Kind::Tensor);
      if (args->kind != PVal::Kind::Tuple || args->items.size() < 4 ||
          args->items[0]->kind != PVal::Kind::Storage || args->items[1]->kind != PVal::Kind::Int ||
          !intTuple(args->items[2], t->sizes) || !intTuple(args->items[3], t->strides)) {
        fail("teeth: malformed _rebuild_tensor_v2");
      }
      t->s = args->items[0]->s;
      t->i = args->items[1]->i;
      return t;
    }
    if (fn->s == "collections" && fn->s2 == "OrderedDict") return make(PVal::Kind::Dict);
    fail("teeth: head .pt calls " + fn->s + "." + fn->s2);
  }

  const uint8_t* p_;
  const uint8_t* end_;
  std::vector<const PVal*> stack_;
  std::vector<size_t> marks_;
  std::map<uint32_t, const PVal*> memo_;
  std::vector<std::unique_ptr<PVal>> arena_;
};

struct TensorSpec {
  const char* name;
  std::vector<int64_t> shape;
  std::vector<float> HeadWeights::*field;
};

std::string joinShape(const std::vector<int64_t>& s) {
  std::string out;
  for (size_t i = 0; i < s.size(); ++i) out += (i ? "," : "") + std::to_string(s[i]);
  return out;
}

}  // namespace

int HeadWeights::params() const {
  size_t n = cand0_w.size() + cand0_b.size() + cand2_w.size() + cand2_b.size() + cand4_w.size() +
             cand4_b.size() + syn0_w.size() + syn0_b.size() + syn2_w.size() + syn2_b.size();
  return static_cast<int>(n);
}

HeadWeights loadHeadPt(const std::vector<uint8_t>& bytes) {
  const std::vector<ZipEntry> entries = readZip(bytes);
  const ZipEntry* pkl = nullptr;
  for (const ZipEntry& e : entries) {
    if (endsWith(e.name, "/data.pkl")) {
      pkl = &e;
      break;
    }
  }
  if (!pkl) fail("teeth: head .pt has no data.pkl");
  const std::string root = pkl->name.substr(0, pkl->name.size() - 9);

  Unpickler up(bytes.data() + pkl->offset, pkl->size);
  const PVal* sd = up.run();
  if (sd->kind != PVal::Kind::Dict || sd->dict.empty()) fail("teeth: head .pt state_dict is empty");

  static const TensorSpec kCand[] = {
      {"cand.0.weight", {16, 7, 3, 3}, &HeadWeights::cand0_w},
      {"cand.0.bias", {16}, &HeadWeights::cand0_b},
      {"cand.2.weight", {16, 16, 3, 3}, &HeadWeights::cand2_w},
      {"cand.2.bias", {16}, &HeadWeights::cand2_b},
      {"cand.4.weight", {1, 16, 3, 3}, &HeadWeights::cand4_w},
      {"cand.4.bias", {1}, &HeadWeights::cand4_b},
  };
  static const TensorSpec kSyn[] = {
      {"syn.0.weight", {16, 3, 3, 3}, &HeadWeights::syn0_w},
      {"syn.0.bias", {16}, &HeadWeights::syn0_b},
      {"syn.2.weight", {1, 16, 3, 3}, &HeadWeights::syn2_w},
      {"syn.2.bias", {1}, &HeadWeights::syn2_b},
  };
  auto keyed = [&](const char* name, int& count) -> const PVal* {
    const PVal* found = nullptr;
    count = 0;
    for (const auto& kv : sd->dict) {
      if (kv.first->kind == PVal::Kind::Str && kv.first->s == name) {
        if (!found) found = kv.second;
        ++count;
      }
    }
    return found;
  };
  bool synthesis = false;
  for (const TensorSpec& t : kSyn) {
    int c = 0;
    if (keyed(t.name, c)) synthesis = true;
  }

  HeadWeights w;
  auto load = [&](const TensorSpec& t) {
    int count = 0;
    const PVal* v = keyed(t.name, count);
    if (count == 0) fail(std::string("teeth: head .pt lacks '") + t.name + "'");
    if (count > 1) {
      fail(std::string("teeth: head .pt names '") + t.name + "' " + std::to_string(count) +
           " times — ambiguous");
    }
    if (v->kind != PVal::Kind::Tensor) fail(std::string("teeth: '") + t.name + "' is not a tensor");
    if (v->sizes != t.shape) {
      fail(std::string("teeth: head '") + t.name + "' has shape [" + joinShape(v->sizes) +
           "], expected [" + joinShape(t.shape) + "]");
    }
    uint64_t numel = 1;
    for (int64_t s : t.shape) numel *= static_cast<uint64_t>(s);
    const std::string entry = root + "/data/" + v->s;
    const ZipEntry* st = nullptr;
    for (const ZipEntry& e : entries) {
      if (e.name == entry) {
        st = &e;
        break;
      }
    }
    if (!st) fail("teeth: head storage " + v->s + " missing");
    if (v->i < 0 || static_cast<uint64_t>(v->i) > st->size / 4 ||
        st->size / 4 - static_cast<uint64_t>(v->i) < numel) {
      fail("teeth: head storage " + v->s + " too small");
    }
    std::vector<float>& out = w.*(t.field);
    out.resize(numel);
    const uint8_t* src = bytes.data() + st->offset + static_cast<uint64_t>(v->i) * 4;
    for (uint64_t i = 0; i < numel; ++i) {
      const uint32_t bits = rd32(src + 4 * i);
      std::memcpy(&out[i], &bits, 4);
    }
  };
  for (const TensorSpec& t : kCand) load(t);
  if (synthesis) {
    for (const TensorSpec& t : kSyn) load(t);
  }
  const int total = w.params();
  if (total != kBlendHeadParams && total != kBlendHead8Params) {
    fail("teeth: head has " + std::to_string(total) +
         " params, not the 4,082 of BlendHead(16) nor the 3,489 of BlendHead8(16)");
  }
  w.envelope = 12.0f / 255.0f;
  return w;
}

ServeConfig ServeConfig::fromHeadMemberJson(const std::string& text) {
  const json::JVal root = json::parse(text);
  const json::JVal* retrieval = root.get("retrieval");
  const json::JVal* temporal = root.get("temporal");
  if (!retrieval || !retrieval->isObject() || !temporal || !temporal->isObject()) {
    fail("teeth: tessera_head.v1 config lacks the retrieval/temporal blocks of the v1 schema — "
         "refusing to serve defaults (W3-01)");
  }
  // Retrieval keys live in "retrieval", timing keys in "temporal"; a key is
  // also found in the other block or at the root, where older bakes kept it.
  auto num = [&](const char* key, const json::JVal* home) {
    for (const json::JVal* block : {home, home == retrieval ? temporal : retrieval, &root}) {
      const json::JVal* v = block->get(key);
      if (v && v->isNumber()) return v->num;
    }
    fail(std::string("teeth: member JSON lacks key '") + key + "'");
  };
  ServeConfig c;
  c.kshort = json::toI32(num("kshort", retrieval));
  c.aperture_tol = num("aperture_tol", retrieval);
  c.cut = json::toI32(num("cut", temporal));
  c.K = json::toI32(num("K", retrieval));
  c.hysteresis = json::toI32(num("hysteresis", temporal));
  c.lookahead = json::toI32(num("lookahead", temporal));
  if (const json::JVal* decode = root.get("decode")) {
    const json::JVal* env = decode->get("envelope_clamp_255");
    if (env && (!env->isNumber() || std::fabs(env->num - 12.0) > 1e-6)) {
      fail("teeth: member envelope_clamp_255 != the envelope of record (12/255) — the envelope is "
           "a gated quantity");
    }
  }
  c.v1 = true;
  return c;
}

}  // namespace le::tessera
