#include "tessera/le_bundle_tessera.h"

#include <cstring>
#include <set>

#include "bundle/le_fs.h"
#include "tessera/le_tessera.h"

namespace le {

namespace js = tessera::json;

namespace {

constexpr int32_t kDonorCap = 1024;
const char* const kStampKeys[12] = {"canvas_w", "canvas_h", "window_x0", "window_y0",
                                    "window_w", "window_h", "pad",       "band_r0",
                                    "band_r1",  "band_c0",  "band_c1",   "shift_margin"};

[[noreturn]] void fail(const std::string& what) { throw std::runtime_error(what); }

// "manifest.json" when it opens, else "meta.json" when it opens, else "".
std::string manifestFileOf(const std::string& dir) {
  for (const char* name : {"manifest.json", "meta.json"}) {
    const std::string p = dir + "/" + name;
    if (fs::opensForReading(p)) return p;
  }
  return "";
}

// A member read whole; sizes are checked before anything is allocated.
std::string readMember(const std::string& path) {
  fs::File f(path, "rb");
  if (!f || fs::isDirectory(path)) fail("teeth: cannot open " + path);
  if (std::fseek(f.get(), 0, SEEK_END) != 0) fail("teeth: short read " + path);
  const long size = std::ftell(f.get());
  if (size < 0 || std::fseek(f.get(), 0, SEEK_SET) != 0) fail("teeth: short read " + path);
  std::string out(static_cast<size_t>(size), '\0');
  if (size > 0 && std::fread(&out[0], 1, out.size(), f.get()) != out.size()) {
    fail("teeth: short read " + path);
  }
  return out;
}

js::JVal parseNamed(const std::string& text, const std::string& name) {
  try {
    return js::parse(text);
  } catch (const std::runtime_error& e) {
    fail("teeth: " + name + " is not readable JSON: " + e.what());
  }
}

GeometryStamp readStamp(const js::JVal& geometry, const std::string& where) {
  GeometryStamp s;
  for (int i = 0; i < 12; ++i) {
    const js::JVal* v = geometry.get(kStampKeys[i]);
    if (!v || !v->isNumber()) {
      fail("teeth: " + where + " lacks numeric '" + kStampKeys[i] + "'");
    }
    s.value(i) = js::toI32(v->num);
  }
  return s;
}

bool isPair(const js::JVal& v) {
  return v.isArray() && v.arr.size() == 2 && v.arr[0].isNumber() && v.arr[1].isNumber();
}

// A string value under `key` of an object (nullptr-safe).
bool stringAt(const js::JVal* obj, const char* key, std::string& out) {
  if (!obj) return false;
  const js::JVal* v = obj->get(key);
  if (!v || !v->isString()) return false;
  out = v->str;
  return true;
}

}  // namespace

const std::vector<std::string>& tesseraSlotKeys() {
  static const std::vector<std::string> keys = {"bank_track", "bank_sidecar", "head_weights",
                                                "head_config"};
  return keys;
}

int tesseraSlotCount() { return 4; }

std::string& TesseraSlots::at(int slot) {
  switch (slot) {
    case 0: return bank_track;
    case 1: return bank_sidecar;
    case 2: return head_weights;
    default: return head_config;
  }
}

const std::string& TesseraSlots::at(int slot) const {
  return const_cast<TesseraSlots*>(this)->at(slot);
}

const std::string& TesseraCarriage::path(const std::string& slotKey) const {
  const auto& keys = tesseraSlotKeys();
  for (size_t i = 0; i < keys.size(); ++i) {
    if (keys[i] == slotKey) return paths[i];
  }
  fail("teeth: no such member slot '" + slotKey + "'");
}

const char* const* GeometryStamp::keys() { return kStampKeys; }

int32_t& GeometryStamp::value(int i) {
  int32_t* f[12] = {&canvas_w, &canvas_h, &window_x0, &window_y0, &window_w, &window_h,
                    &pad,      &band_r0,  &band_r1,   &band_c0,   &band_c1,  &shift_margin};
  return *f[i];
}

int32_t GeometryStamp::value(int i) const { return const_cast<GeometryStamp*>(this)->value(i); }

bool GeometryStamp::operator==(const GeometryStamp& o) const {
  for (int i = 0; i < 12; ++i) {
    if (value(i) != o.value(i)) return false;
  }
  return true;
}

void GeometryStamp::validate() const {
  // 64-bit sums: a stamp near the int32 limits must be refused, not wrap.
  using I = int64_t;
  std::vector<const char*> bad;
  if (window_w < 1 || window_h < 1) bad.push_back("window dims must be positive");
  if (window_x0 < 0 || I(window_x0) + window_w > canvas_w) bad.push_back("window x-range escapes canvas");
  if (window_y0 < 0 || I(window_y0) + window_h > canvas_h) bad.push_back("window y-range escapes canvas");
  if (band_r0 < 0 || band_r0 >= band_r1 || band_r1 > window_h) bad.push_back("band rows escape window");
  if (band_c0 < 0 || band_c0 >= band_c1 || band_c1 > window_w) bad.push_back("band cols escape window");
  if (shift_margin < 0 || pad < 1) bad.push_back("pad/shift_margin must be positive");
  if (I(pad) + band_r0 < shift_margin || I(pad) + band_r1 + shift_margin > I(window_h) + 2 * I(pad)) {
    bad.push_back("stored band rows escape patch");
  }
  if (I(pad) + band_c0 < shift_margin || I(pad) + band_c1 + shift_margin > I(window_w) + 2 * I(pad)) {
    bad.push_back("stored band cols escape patch");
  }
  if (bad.empty()) return;
  std::string msg = "teeth: GeometryStamp incoherent:";
  for (const char* b : bad) msg += std::string(" ") + b + ";";
  fail(msg);
}

std::string stampStr(const GeometryStamp& s) {
  std::string out = "{";
  for (int i = 0; i < 12; ++i) {
    out += (i ? ", " : "") + std::string(kStampKeys[i]) + "=" + std::to_string(s.value(i));
  }
  return out + "}";
}

TesseraCarriage tesseraCarriage(const std::string& bundleDir) {
  TesseraCarriage c;
  const std::string dir = resolveBundlePath(bundleDir);
  const std::string mf = manifestFileOf(dir);
  if (!mf.empty()) {
    std::string text;
    try {
      text = readFile(mf);
    } catch (const std::exception&) {
      text.clear();
    }
    try {
      const js::JVal root = js::parse(text);
      const js::JVal* t = root.get("tessera");
      if (t && t->isObject()) {
        c.declared = true;
        const js::JVal* members = t->get("members");
        if (members && members->isObject()) {
          for (int i = 0; i < 4; ++i) {
            std::string name;
            if (stringAt(members, tesseraSlotKeys()[i].c_str(), name) && !name.empty()) {
              c.slots.at(i) = name;
            }
          }
        }
        const js::JVal* planes = t->get("planes");
        if (planes && planes->isArray()) {
          for (const js::JVal& p : planes->arr) {
            if (p.isString()) c.planes.push_back(p.str);
          }
        }
      }
    } catch (const std::runtime_error&) {
      // A manifest the reader cannot parse keeps the default slot names.
    }
  }
  for (int i = 0; i < 4; ++i) {
    c.paths[i] = resolveMember(dir, c.slots.at(i));
    if (!fs::opensForReading(c.paths[i]) || fs::isDirectory(c.paths[i])) {
      c.missing.push_back(tesseraSlotKeys()[i]);
    }
  }
  c.complete = c.missing.empty();
  return c;
}

TesseraCarriage tesseraCarriage(const Manifest& manifest) { return tesseraCarriage(manifest.dir); }

void requireTesseraMembers(const TesseraCarriage& c) {
  if (c.complete) return;
  std::string msg = "missing teeth member(s): ";
  const auto& keys = tesseraSlotKeys();
  for (size_t k = 0; k < c.missing.size(); ++k) {
    int slot = 0;
    while (slot < 4 && keys[slot] != c.missing[k]) ++slot;
    msg += (k ? ", " : "") + c.missing[k] + " (" + c.slots.at(slot) + ")";
  }
  msg += " — carries " + std::to_string(4 - static_cast<int>(c.missing.size())) + " of 4";
  if (c.declared) msg += " and declares a manifest.tessera block the members do not keep";
  msg +=
      ". ONE predicate (owner ruling 2026-09-06): all four members present = ARMED on every plane; "
      "any missing = REFUSED on every plane. The borrow is a SWITCH, not a gradient — there is no "
      "rendering mode that proceeds without them (vellum-2 IS borrowed teeth). Re-stage the bundle "
      "with the bank builder.";
  throw MissingTesseraMember(msg, c.missing);
}

TesseraAttachInputs loadTesseraMembers(const std::string& bundleDir) {
  // 1. Where the members are, and all four of them.
  const std::string dir = resolveBundlePath(bundleDir);
  const TesseraCarriage c = tesseraCarriage(dir);
  requireTesseraMembers(c);

  // 2. The manifest carries the compose descriptor the window is placed by.
  const std::string mf = manifestFileOf(dir);
  if (mf.empty()) {
    fail(dir + " carries no manifest.json or meta.json — the compose descriptor (unified.pi) the "
               "pass places its window by lives there, and placing a borrow window without it is "
               "guessing.");
  }
  TesseraAttachInputs in;
  in.manifest_json = readMember(mf);

  // 3. The lip template is optional.
  const std::string lip = resolveMember(dir, "lip_template.v1.json");
  if (fs::opensForReading(lip) && !fs::isDirectory(lip)) in.lip_template_json = readMember(lip);

  // 4. The members' bytes.
  in.head_json = readMember(c.paths[3]);
  const std::string pt = readMember(c.paths[2]);
  in.head_pt.assign(pt.begin(), pt.end());
  const std::string sidecarText = readMember(c.paths[1]);

  // 5. Both JSON texts.
  const std::string name = c.slots.bank_sidecar;
  const js::JVal side = parseNamed(sidecarText, name);
  const js::JVal man = parseNamed(in.manifest_json, mf);
  const js::JVal* tess = man.get("tessera");
  if (tess && !tess->isObject()) tess = nullptr;

  // 6. The sidecar's generation.
  const js::JVal* format = side.get("format");
  if (!format || !format->isString() || format->str != "tessera_bank.v1") {
    const std::string v = format && format->isString() ? format->str : "";
    fail(name + " declares format '" + v +
         "', not 'tessera_bank.v1' — this reader does not know that generation and will not guess "
         "at its keys.");
  }

  // 7. The geometry stamp, agreed by both halves of the bundle.
  const js::JVal* geo = side.get("geometry");
  if (!geo || !geo->isObject()) fail(name + " carries no `geometry` stamp");
  in.stamp = readStamp(*geo, name + ".geometry");
  if (const js::JVal* mgeo = tess ? tess->get("geometry") : nullptr) {
    if (mgeo->isObject()) {
      const GeometryStamp ms = readStamp(*mgeo, "manifest.tessera.geometry");
      if (!(ms == in.stamp)) {
        fail("teeth geometry DISAGREES between the manifest and the bank sidecar — manifest " +
             stampStr(ms) + " vs " + stampStr(in.stamp) +
             "; refusing to place a window on a rectangle the two halves of the bundle do not "
             "agree on.");
      }
    }
  }

  // 8. One stored patch.
  const GeometryStamp& s = in.stamp;
  const int64_t bw = int64_t(s.band_c1) - s.band_c0 + 2 * int64_t(s.shift_margin);
  const int64_t bh = int64_t(s.band_r1) - s.band_r0 + 2 * int64_t(s.shift_margin);
  if (bw <= 0 || bh <= 0 || bw > INT32_MAX || bh > INT32_MAX) {
    fail("teeth stamp yields a non-positive stored patch (band_w=" + std::to_string(bw) +
         ", band_h=" + std::to_string(bh) + " from " + stampStr(s) + ")");
  }
  in.band_w = static_cast<int32_t>(bw);
  in.band_h = static_cast<int32_t>(bh);

  // 9. The donor count, never capped here.
  const js::JVal* nd = side.get("n_donors");
  if (!nd || !nd->isNumber()) fail("teeth: " + name + " lacks numeric 'n_donors'");
  const int32_t n = js::toI32(nd->num);
  if (n < 1) fail(name + " carries n_donors=" + std::to_string(n) + ", which is not positive");
  if (n > kDonorCap) {
    fail(name + " carries n_donors=" + std::to_string(n) + ", over the owner's cap of " +
         std::to_string(kDonorCap) +
         " (ruling 2026-08-28). This reader REFUSES rather than capping: the selector is the "
         "bank's BUILD-time cap selector, and a second one here would change which donors reach "
         "the mouth while every count-based check stayed green. Rebuild the bank.");
  }
  in.n_donors = n;

  // 10. The per-donor tables.
  const js::JVal* order = side.get("track_order");
  const js::JVal* cent = side.get("cent");
  const js::JVal* aperture = side.get("aperture");
  const js::JVal* canon = side.get("c_canon");
  if (!order || !order->isArray() || !cent || !cent->isArray() || !aperture ||
      !aperture->isArray() || !canon || !canon->isArray()) {
    fail(name + " lacks one of track_order/cent/aperture/c_canon as an array");
  }
  const size_t un = static_cast<size_t>(n);
  if (order->arr.size() != un || cent->arr.size() != un || aperture->arr.size() != un) {
    fail(name + " says n_donors=" + std::to_string(n) + " but carries track_order=" +
         std::to_string(order->arr.size()) + ", cent=" + std::to_string(cent->arr.size()) +
         ", aperture=" + std::to_string(aperture->arr.size()) +
         " — a count mismatch silently mis-orders the donors.");
  }
  std::vector<bool> seen(un, false);
  for (size_t i = 0; i < un; ++i) {
    const js::JVal& e = order->arr[i];
    const int32_t v = e.isNumber() ? js::toI32(e.num) : -1;
    if (v < 0 || v >= n) {
      fail(name + " track_order[" + std::to_string(i) + "]=" + std::to_string(v) +
           " is outside [0," + std::to_string(n) + ")");
    }
    if (seen[static_cast<size_t>(v)]) {
      fail(name + " track_order is not a permutation (reference " + std::to_string(v) +
           " appears twice) — the inverse permutation would leave a reference slot never written "
           "and the pass would blend uninitialised memory into a real mouth.");
    }
    seen[static_cast<size_t>(v)] = true;
    in.track_order.push_back(v);
  }
  for (size_t i = 0; i < un; ++i) {
    if (!isPair(cent->arr[i])) fail(name + " cent[" + std::to_string(i) + "] is not an (x,y) pair");
    in.cent.push_back(cent->arr[i].arr[0].num);
    in.cent.push_back(cent->arr[i].arr[1].num);
  }
  if (!isPair(*canon)) fail(name + " c_canon is not a pair");
  in.c_canon[0] = canon->arr[0].num;
  in.c_canon[1] = canon->arr[1].num;
  for (size_t i = 0; i < un; ++i) {
    const js::JVal& a = aperture->arr[i];
    if (!a.isNumber()) fail(name + " aperture[" + std::to_string(i) + "] is not a number");
    in.aperture.push_back(a.num);
  }

  // 11. How the bank track is stored; its pixel format must be stated.
  const js::JVal* codec = side.get("codec");
  if (codec && !codec->isObject()) codec = nullptr;
  in.bank_container = "mp4";
  in.bank_packing = "rgb24_frames";
  stringAt(tess, "bank_container", in.bank_container);
  stringAt(tess, "bank_packing", in.bank_packing);
  if (!stringAt(tess, "bank_codec", in.bank_codec)) stringAt(codec, "codec", in.bank_codec);
  if (!stringAt(tess, "bank_pix_fmt", in.bank_pix_fmt) && !stringAt(codec, "pix_fmt", in.bank_pix_fmt)) {
    fail(name + ": neither manifest.tessera.bank_pix_fmt nor " + name +
         ".codec.pix_fmt states the reference track's pixel format. A decoder handed no format "
         "negotiates one, and the one it settles on is 4:2:0 — lossy chroma on reference pixels "
         "IS the borrow degrading. Refusing rather than letting it guess.");
  }

  // 12.
  in.bank_track_path = c.paths[0];
  return in;
}

TesseraAttachInputs loadTesseraMembers(const Manifest& manifest) {
  return loadTesseraMembers(manifest.dir);
}

void reorderTrackToDonor(const TesseraAttachInputs& in, const uint8_t* track, uint8_t* out) {
  if (!track || !out) fail("teeth: null band buffer");
  if (in.track_order.size() != static_cast<size_t>(in.n_donors < 0 ? 0 : in.n_donors)) {
    fail("teeth: track_order does not match n_donors");
  }
  const size_t stride = in.patchBytes();
  if (in.band_w <= 0 || in.band_h <= 0 || stride == 0) fail("teeth: zero reference stride");
  for (size_t i = 0; i < in.track_order.size(); ++i) {
    const int32_t d = in.track_order[i];
    if (d < 0 || d >= in.n_donors) fail("teeth: track_order does not match n_donors");
    std::memcpy(out + static_cast<size_t>(d) * stride, track + i * stride, stride);
  }
}

}  // namespace le
