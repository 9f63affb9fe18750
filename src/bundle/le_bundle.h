// Bundle paths, member names and the manifest reader.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace le {

// Turns a bundle handle into the directory to read: a directory is returned
// unchanged, an IMX container (with or without ".imx") is unpacked once; any
// other path is returned unchanged so the first read reports what is missing.
std::string resolveBundlePath(const std::string& path);

// The file that holds member `name` of the bundle in `dir`, under either the
// welded name the library asks for or the manifest-layout name a bake may
// have used instead; the welded name wins when both exist.
std::string resolveMember(const std::string& dir, const std::string& name);

// The manifest-layout name of a welded member name (the name itself when it
// has none).
std::string manifestLayoutName(const std::string& name);

// Whole-file readers over fs::MemberFile (regular files only, never
// blocking); both throw "cannot open <path>", readFile also "short read
// <path>" when fewer bytes arrive than the file's size. readText reads to
// the end of the file whatever its size.
std::string readFile(const std::string& path);
std::string readText(const std::string& path);

struct Unsharp {
  float amount = 1.3f;
  float sigma = 2.0f;
  int32_t ksize = 13;
};

struct Manifest {
  std::string dir;
  std::string agent;
  int32_t NT = 0;
  int32_t H = 0;
  int32_t W = 0;
  int32_t msrcW = 0;
  int32_t msrcH = 0;
  int32_t crop = 512;
  Unsharp unsharp;
  int32_t frames = 0;

  // Optional member names, read with the manifest so that no component reads
  // manifest.json again. Empty when the manifest names none (or names ""):
  // each reader then uses its default member.
  std::string rawPriorName;      // "P_rgb": the raw warp prior (default P.f16)
  std::string hevcPriorName;     // "P_hevc": the HEVC prior movie (default P_hevc.mov)
  std::string driverFramesName;  // "target_frames": JPEG frame directory (default target_frames)
  std::string driverMovieName;   // "target_frames_mp4": driver movie (default target_frames.mp4)

  // The director model file for a key ("b1", "b4_fp16", ...), under either
  // naming layout.
  std::string modelPath(const std::string& key) const {
    return resolveMember(dir, "model_" + key + ".onnx");
  }
};

// Reads <resolved dir>/manifest.json; throws std::runtime_error with a
// message naming what is wrong.
Manifest loadManifest(const std::string& bundlePath);

namespace manifest_key {

struct KeyHit {
  uint64_t pos = 0;  // byte index where the value begins
  int32_t depth = 0;  // 1 for a key of the root object
  bool scalar = false;  // value does not begin with '[' or '{'
};

constexpr size_t npos = static_cast<size_t>(-1);

// Every occurrence of the quoted key `name` in `text`, in text order. Keys
// inside string values and brackets inside strings are never counted.
std::vector<KeyHit> keyHits(const std::string& text, const std::string& name);

// The byte index of the one value to use for `name`, or npos. A root-level
// scalar wins; otherwise a single scalar anywhere. Several candidates throw
// the AMBIGUOUS error listing their byte positions.
size_t scalarValuePos(const std::string& text, const std::string& name);

// Readers over scalarValuePos, shared with the other members' loaders.
// findKey: value position or throws "manifest: missing key <name>".
size_t findKey(const std::string& text, const std::string& name);
// strField: the bytes between the first pair of double quotes at the value
// (escapes not decoded); throws "manifest: bad string <name>".
std::string strField(const std::string& text, const std::string& name);
// numField / numFieldEither: strtod at the value; a non-number reads as 0.
double numField(const std::string& text, const std::string& name);
double numFieldEither(const std::string& text, const std::string& name, const std::string& alias);
// Optional string: true and `out` set when the key has one scalar value that
// is a non-empty quoted string.
bool optStr(const std::string& text, const std::string& name, std::string& out);

}  // namespace manifest_key
}  // namespace le
