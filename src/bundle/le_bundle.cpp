#include "bundle/le_bundle.h"

#include <algorithm>
#include <cctype>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <limits>
#include <stdexcept>

#include "bundle/le_fs.h"
#include "bundle/le_imx.h"
#include "core/le_env.h"
#include "core/le_error.h"
#include "le/le.h"

namespace le {

// ---- Bundle paths and member names ------------------------------------------

namespace {

bool endsWith(const std::string& s, const std::string& suffix) {
  return s.size() >= suffix.size() && s.compare(s.size() - suffix.size(), suffix.size(), suffix) == 0;
}

bool startsWith(const std::string& s, const std::string& prefix) {
  return s.compare(0, prefix.size(), prefix) == 0;
}

}  // namespace

std::string resolveBundlePath(const std::string& path) {
  if (path.empty() || fs::isDirectory(path)) return path;
  // A file carrying the magic is a container even when its version or its
  // header is wrong: the unwrap then says what is wrong with it, where
  // passing it on would end in an unrelated "cannot open .../manifest.json".
  if (endsWith(path, ".imx") && hasImxMagic(path)) return unwrapOnce(path);
  const std::string candidate = fs::stripTrailingSlashes(path) + ".imx";
  if (hasImxMagic(candidate)) return unwrapOnce(candidate);
  if (hasImxMagic(path)) return unwrapOnce(path);
  return path;
}

std::string manifestLayoutName(const std::string& name) {
  static const char* const kPairs[][2] = {
      {"P.f16", "source_frames.f16"},
      {"P_hevc.mov", "source_frames.hevc"},
      {"a2x_enc_stream.onnx", "audio_motion_encoder.onnx"},
      {"a2x_dec.onnx", "audio_motion_decoder.onnx"},
      {"M.f32", "paste_transform.f32"},
      {"mask_512.u8", "paste_mask.u8"},
      {"pooled64.f16", "pooled_features.f16"},
      {"fs_red.f16", "feature_synth.f16"},
      {"xs_target.bin", "target_keypoints.bin"},
  };
  for (const auto& pair : kPairs)
    if (name == pair[0]) return pair[1];

  if (startsWith(name, "model_b") && endsWith(name, ".onnx") && name.size() > 12) {
    const std::string middle = name.substr(7, name.size() - 7 - 5);
    const size_t us = middle.find('_');
    const std::string batch = middle.substr(0, us);
    const std::string tag = us == std::string::npos ? "" : middle.substr(us + 1);
    return "render_model.batch" + batch + (tag.empty() ? "" : "." + tag) + ".onnx";
  }
  if (startsWith(name, "drive/")) {
    const std::string rest = name.substr(6);
    const size_t dot = rest.find('.');
    std::string stem = rest.substr(0, dot);
    const std::string ext = dot == std::string::npos ? "" : rest.substr(dot);
    if (stem == "xs") stem = "source_keypoints";
    else if (stem == "xd") stem = "driven_keypoints";
    else if (stem == "si") stem = "source_index";
    return "idle_loop/" + stem + ext;
  }
  return name;
}

std::string resolveMember(const std::string& dir, const std::string& name) {
  const std::string mapped = manifestLayoutName(name);
  const std::string welded = dir + "/" + name;
  if (mapped == name) return welded;
  if (fs::opensForReading(welded)) return welded;
  const std::string layout = dir + "/" + mapped;
  if (fs::opensForReading(layout)) return layout;
  return welded;
}

std::string readFile(const std::string& path) { return fs::readWhole<std::string>(path); }

std::string readText(const std::string& path) { return fs::MemberFile(path).readToEnd(); }

// ---- Manifest key scanner ----------------------------------------------------

namespace manifest_key {

std::vector<KeyHit> keyHits(const std::string& text, const std::string& name) {
  std::vector<KeyHit> hits;
  const size_t n = text.size();
  int64_t depth = 0;
  size_t i = 0;
  while (i < n) {
    const char c = text[i];
    if (c == '{' || c == '[') {
      ++depth;
    } else if (c == '}' || c == ']') {
      --depth;
    } else if (c == '"') {
      size_t j = i + 1;
      while (j < n && text[j] != '"') j += text[j] == '\\' ? 2 : 1;
      if (j >= n - 1) break;  // unterminated, or the quote ends the text
      size_t k = j + 1;
      while (k < n && std::isspace(static_cast<unsigned char>(text[k]))) ++k;
      if (k < n && text[k] == ':' && j - i - 1 == name.size() &&
          text.compare(i + 1, name.size(), name) == 0) {
        size_t v = k + 1;
        while (v < n && std::isspace(static_cast<unsigned char>(text[v]))) ++v;
        KeyHit hit;
        hit.pos = v;
        hit.depth = static_cast<int32_t>(depth);
        hit.scalar = v < n && text[v] != '[' && text[v] != '{';
        hits.push_back(hit);
      }
      i = j + 1;
      continue;
    }
    ++i;
  }
  return hits;
}

namespace {

[[noreturn]] void throwAmbiguous(const std::string& name, const std::vector<KeyHit>& listed) {
  std::string list;
  for (size_t i = 0; i < listed.size(); ++i) {
    if (i) list += ", ";
    list += "byte " + std::to_string(listed[i].pos);
  }
  throw std::runtime_error(
      "manifest: key \"" + name + "\" is AMBIGUOUS \xE2\x80\x94 " + std::to_string(listed.size()) +
      " scalar occurrences (" + list +
      "). A loader that picks one silently installs a number nobody checks. Rename the colliding "
      "key (a nested block must not reuse a name the bundle loader reads: NT/frame_count, H, W, "
      "crop/crop_size, amount, sigma, ksize, frames, M_src_w/paste_source_width, "
      "M_src_h/paste_source_height), or produce the bundle with the legacy manifest layout.");
}

double numberAt(const std::string& text, size_t pos) {
  return std::strtod(text.c_str() + pos, nullptr);
}

}  // namespace

size_t scalarValuePos(const std::string& text, const std::string& name) {
  std::vector<KeyHit> scalars;
  std::vector<KeyHit> root;
  for (const KeyHit& h : keyHits(text, name)) {
    if (!h.scalar) continue;
    scalars.push_back(h);
    if (h.depth == 1) root.push_back(h);
  }
  if (root.size() == 1) return static_cast<size_t>(root[0].pos);
  if (root.size() > 1) throwAmbiguous(name, root);
  if (scalars.size() == 1) return static_cast<size_t>(scalars[0].pos);
  if (scalars.size() > 1) throwAmbiguous(name, scalars);
  return npos;
}

size_t findKey(const std::string& text, const std::string& name) {
  const size_t pos = scalarValuePos(text, name);
  if (pos == npos) throw std::runtime_error("manifest: missing key " + name);
  return pos;
}

std::string strField(const std::string& text, const std::string& name) {
  const size_t pos = findKey(text, name);
  const char* p = text.c_str() + pos;
  const char* open = std::strchr(p, '"');
  if (!open) throw std::runtime_error("manifest: bad string " + name);
  const char* close = std::strchr(open + 1, '"');
  if (!close) throw std::runtime_error("manifest: bad string " + name);
  return std::string(open + 1, close);
}

double numField(const std::string& text, const std::string& name) {
  return numberAt(text, findKey(text, name));
}

double numFieldEither(const std::string& text, const std::string& name, const std::string& alias) {
  size_t pos = scalarValuePos(text, name);
  if (pos == npos) pos = scalarValuePos(text, alias);
  if (pos == npos) throw std::runtime_error("manifest: missing key " + name + "/" + alias);
  return numberAt(text, pos);
}

bool optStr(const std::string& text, const std::string& name, std::string& out) {
  const size_t pos = scalarValuePos(text, name);
  if (pos == npos || pos >= text.size() || text[pos] != '"') return false;
  const size_t close = text.find('"', pos + 1);
  if (close == std::string::npos || close == pos + 1) return false;
  out = text.substr(pos + 1, close - pos - 1);
  return true;
}

}  // namespace manifest_key

// ---- Manifest ------------------------------------------------------------------

namespace {

constexpr double kAbsent = -1e300;

// Truncation toward zero that cannot overflow: a NaN reads as 0 and huge
// values saturate, so the range checks that follow see them.
int32_t toInt32(double v) {
  if (std::isnan(v)) return 0;
  v = std::trunc(v);
  if (v >= static_cast<double>(std::numeric_limits<int32_t>::max()))
    return std::numeric_limits<int32_t>::max();
  if (v <= static_cast<double>(std::numeric_limits<int32_t>::min()))
    return std::numeric_limits<int32_t>::min();
  return static_cast<int32_t>(v);
}

// An optional number read from `name`, else `alias`; kAbsent when neither
// holds one.
double optNumEither(const std::string& text, const std::string& name, const std::string& alias) {
  for (const std::string* key : {&name, &alias}) {
    const size_t pos = manifest_key::scalarValuePos(text, *key);
    if (pos == manifest_key::npos) continue;
    const double v = std::strtod(text.c_str() + pos, nullptr);
    if (v != kAbsent) return v;
  }
  return kAbsent;
}

}  // namespace

Manifest loadManifest(const std::string& bundlePath) {
  using namespace manifest_key;
  Manifest m;
  m.dir = resolveBundlePath(bundlePath);
  const std::string text = readFile(m.dir + "/manifest.json");
  if (strField(text, "format") != "le-bundle-v0")
    throw std::runtime_error("not an le-bundle-v0: " + m.dir);
  m.agent = strField(text, "agent");
  m.NT = toInt32(numFieldEither(text, "NT", "frame_count"));
  m.H = toInt32(numField(text, "H"));
  m.W = toInt32(numField(text, "W"));
  m.crop = toInt32(numFieldEither(text, "crop", "crop_size"));
  m.unsharp.amount = static_cast<float>(numField(text, "amount"));
  m.unsharp.sigma = static_cast<float>(numField(text, "sigma"));
  m.unsharp.ksize = toInt32(numField(text, "ksize"));
  m.frames = toInt32(numField(text, "frames"));
  if (m.NT < 1 || m.H < 1 || m.W < 1 || m.crop < 1) throw std::runtime_error("manifest: bad dims");

  const double sw = optNumEither(text, "M_src_w", "paste_source_width");
  const double sh = optNumEither(text, "M_src_h", "paste_source_height");
  if (sw != kAbsent && sh != kAbsent) {
    m.msrcW = toInt32(sw);
    m.msrcH = toInt32(sh);
  } else {
    if (!envIsExactly1("VELLUM2_MSRC_MISSING_OK"))
      throw std::runtime_error(
          m.dir +
          "/manifest.json declares no paste-space stamp (M_src_w/M_src_h, aka "
          "paste_source_width/height) \xE2\x80\x94 the canvas is " +
          std::to_string(m.W) + "x" + std::to_string(m.H) +
          ", so M cannot be placed: absence is not evidence that M was authored at that size. "
          "Re-stamp the bundle (models/vellum-2/inference/backfill_msrc.py), or set "
          "VELLUM2_MSRC_MISSING_OK=1 to restore the legacy assumption.");
    m.msrcW = m.W;
    m.msrcH = m.H;
    std::fprintf(stderr,
                 "[le] WARNING VELLUM2_MSRC_MISSING_OK=1: %s/manifest.json carries no paste-space "
                 "stamp; ASSUMING M was authored on this %dx%d canvas. If it was not, the face "
                 "pastes off-target (qz#144) and nothing will say so.\n",
                 m.dir.c_str(), m.W, m.H);
  }
  if (m.msrcW < 1 || m.msrcH < 1)
    throw std::runtime_error("manifest: bad paste-space stamp (M_src_w/M_src_h must be > 0)");
  optStr(text, "P_rgb", m.rawPriorName);
  optStr(text, "P_hevc", m.hevcPriorName);
  optStr(text, "target_frames", m.driverFramesName);
  optStr(text, "target_frames_mp4", m.driverMovieName);
  return m;
}

}  // namespace le

// ---- C entry points ------------------------------------------------------------

namespace {

// Copies `s` with its terminating zero; false (and out = "") when it does not fit.
bool copyOut(const std::string& s, char* out, size_t capacity) {
  if (s.size() + 1 > capacity) {
    out[0] = '\0';
    return false;
  }
  std::memcpy(out, s.c_str(), s.size() + 1);
  return true;
}

// A member name is a relative path inside the bundle: not empty, not
// absolute, and no ".." component to climb out of it.
bool isInsideBundle(const std::string& member) {
  if (member.empty() || member[0] == '/') return false;
  size_t start = 0;
  while (start <= member.size()) {
    const size_t slash = std::min(member.find('/', start), member.size());
    if (member.compare(start, slash - start, "..") == 0) return false;
    start = slash + 1;
  }
  return true;
}

}  // namespace

extern "C" {

LE_API int le_bundle_resolve_handle(const char* handle, char* out, size_t capacity) {
  using le::capi::Family;
  return le::capi::guarded(Family::Core, "le_bundle_resolve_handle", -1, [&]() -> int {
    if (!handle || !out || capacity == 0) return -1;
    out[0] = '\0';
    if (!copyOut(le::resolveBundlePath(handle), out, capacity)) {
      le::capi::setError(Family::Core, "le_bundle_resolve_handle: buffer too small");
      return -1;
    }
    return 1;
  });
}

LE_API int le_bundle_resolve_member(const char* handle, const char* member, char* out,
                                    size_t capacity) {
  return le::capi::silent(-1, [&]() -> int {
    if (!handle || !member || !out || capacity == 0) return -1;
    out[0] = '\0';
    if (!isInsideBundle(member)) return -1;
    const std::string path = le::resolveMember(le::resolveBundlePath(handle), member);
    if (!copyOut(path, out, capacity)) return -1;
    return le::fs::opensForReading(path) ? 1 : 0;
  });
}

}  // extern "C"
