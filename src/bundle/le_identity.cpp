#include "bundle/le_identity.h"

#include <sys/mman.h>

#include <cstdio>
#include <stdexcept>

#include "bundle/le_fs.h"
#include "bundle/le_layout.h"
#include "driver/le_driver.h"
#include "paste/le_simd.h"

namespace le {

// ---- File primitives -----------------------------------------------------------------

namespace {

// count * elementBytes, or "size mismatch <path>" when no file could hold it.
uint64_t expectedBytes(const std::string& path, int64_t count, uint64_t elementBytes) {
  uint64_t bytes = 0;
  if (count < 0 || __builtin_mul_overflow(static_cast<uint64_t>(count), elementBytes, &bytes))
    throw std::runtime_error("size mismatch " + path);
  return bytes;
}

uint64_t product(const std::string& path, std::initializer_list<int64_t> factors) {
  uint64_t bytes = 1;
  for (int64_t f : factors) bytes = expectedBytes(path, f, bytes);
  return bytes;
}

}  // namespace

Mapping& Mapping::operator=(Mapping&& o) noexcept {
  if (this != &o) {
    reset();
    base_ = o.base_;
    address_ = o.address_;
    length_ = o.length_;
    o.base_ = nullptr;
    o.address_ = nullptr;
    o.length_ = 0;
  }
  return *this;
}

void Mapping::reset() {
  if (address_) ::munmap(address_, length_);
  base_ = nullptr;
  address_ = nullptr;
  length_ = 0;
}

Mapping mapFile(const std::string& path, uint64_t expected) {
  fs::MemberFile f(path);
  const uint64_t size = f.size();
  if (size != expected) throw std::runtime_error("size mismatch " + path);
  Mapping m;
  if (size == 0) return m;
  void* p = ::mmap(nullptr, static_cast<size_t>(size), PROT_READ, MAP_PRIVATE, f.fd(), 0);
  if (p == MAP_FAILED) throw std::runtime_error("mmap failed " + path);
  m.address_ = p;
  m.base_ = static_cast<const uint8_t*>(p);
  m.length_ = static_cast<size_t>(size);
  return m;
}

template <typename T>
std::vector<T> readRaw(const std::string& path, int64_t count) {
  fs::MemberFile f(path);
  // The size is checked before anything is allocated, so a bogus count in a
  // manifest cannot ask for an absurd buffer.
  if (f.size() != expectedBytes(path, count, sizeof(T))) throw std::runtime_error("size mismatch " + path);
  std::vector<T> out(static_cast<size_t>(count));
  if (!f.read(out.data(), static_cast<size_t>(f.size()))) throw std::runtime_error("size mismatch " + path);
  // The file may have grown since fstat; what follows must be its end.
  if (!f.atEnd()) throw std::runtime_error("size mismatch " + path);
  return out;
}

template std::vector<float> readRaw<float>(const std::string&, int64_t);
template std::vector<int32_t> readRaw<int32_t>(const std::string&, int64_t);

void halfToFloat(const uint16_t* src, float* dst, size_t count) {
  for (size_t i = 0; i < count; ++i) dst[i] = halfToFloat(src[i]);
}

// ---- Warp-prior check ------------------------------------------------------------------

namespace {

bool memberExists(const Manifest& m, const std::string& name) {
  return fs::memberExists(resolveMember(m.dir, name));
}

// The HEVC prior's member name: the manifest's "P_hevc", else P_hevc.mov.
std::string hevcPriorName(const Manifest& m) {
  return m.hevcPriorName.empty() ? "P_hevc.mov" : m.hevcPriorName;
}

}  // namespace

void ensureIdentityMembers(const Manifest& m) {
  const std::string rawName = m.rawPriorName.empty() ? "P.f16" : m.rawPriorName;
  const bool haveP = memberExists(m, "P.f16");
  const bool haveFs = memberExists(m, "fs_red.f16");
  if (rawName != "P.f16" && memberExists(m, rawName) && !haveP && !haveFs)
    throw std::runtime_error(
        "this bundle's manifest names its raw warp prior '" + rawName +
        "' (P_rgb) but le::Identity maps the welded name P.f16 and would find nothing — it maps "
        "NOTHING silently and Identity::P(si) is then an offset from a null pointer. REFUSING "
        "rather than rendering off a prior nothing will read.");
  if (haveP || haveFs) return;
  const std::string& hevc = m.hevcPriorName;
  if (hevc.empty())
    throw std::runtime_error("this bundle carries neither " + rawName +
                             " nor fs_red.f16, and its manifest names no P_hevc member to play one "
                             "from — the renderer has no warp prior and le::Identity would hand it "
                             "a null pointer. REFUSING to create a session.");
  const std::string path = resolveMember(m.dir, hevc);
  if (!fs::memberExists(path))
    throw std::runtime_error("this bundle's manifest names P_hevc '" + hevc +
                             "' and the file is not there (" + path +
                             ") — the renderer has no warp prior. REFUSING to create a session.");
}

// ---- Identity ----------------------------------------------------------------------------

void rescaleM(std::vector<float>& M, const Manifest& m) {
  if (m.msrcW <= 0 || m.msrcH <= 0)
    throw std::runtime_error(
        "le::Identity: manifest carries no paste-space stamp (M_src_w/M_src_h) — refusing to paste "
        "M without knowing the space it was authored in");
  if (m.msrcW == m.W && m.msrcH == m.H) return;
  const double sx = static_cast<double>(m.W) / m.msrcW;
  const double sy = static_cast<double>(m.H) / m.msrcH;
  for (size_t r = 0; r + 6 <= M.size(); r += 6) {
    for (size_t k = 0; k < 3; ++k) M[r + k] = static_cast<float>(M[r + k] * sx);
    for (size_t k = 3; k < 6; ++k) M[r + k] = static_cast<float>(M[r + k] * sy);
  }
}

Identity::Identity(const Manifest& m) : NT(m.NT), crop(m.crop), manifest_(m) {
  ensureIdentityMembers(m);
  const std::string pooledPath = resolveMember(m.dir, "pooled64.f16");
  constexpr int64_t kHalf = static_cast<int64_t>(kHalfBytes);
  pooled64_ = mapFile(pooledPath, product(pooledPath, {NT, static_cast<int64_t>(kPooledHalves), kHalf}));

  const std::string pPath = resolveMember(m.dir, "P.f16");
  const std::string fsPath = resolveMember(m.dir, "fs_red.f16");
  const bool haveFs = fs::memberExists(fsPath);
  if (fs::memberExists(pPath)) {
    P_ = mapFile(pPath, product(pPath, {3, crop, crop, NT, kHalf}));
  } else if (!haveFs) {
    const std::string path = resolveMember(m.dir, hevcPriorName(m));
    if (fs::memberExists(path)) priorPath_ = path;
  }
  if (haveFs) fsRed_ = mapFile(fsPath, product(fsPath, {NT, static_cast<int64_t>(kFsRedHalves), kHalf}));

  M_ = readRaw<float>(resolveMember(m.dir, "M.f32"),
                      static_cast<int64_t>(NT) * static_cast<int64_t>(kPasteTransformFloats));
  rescaleM(M_, m);
}

Identity::~Identity() {
  if (DriverCursor* c = priorReady_.load()) {
    std::fprintf(stderr, "[le-prior] closed: %ld source seek(s) over the session (%s)\n",
                 static_cast<long>(c->seeks()), c->backend.c_str());
  }
  pooled64_.reset();
  P_.reset();
  fsRed_.reset();
  prior_.reset();
}

void Identity::checkRow(int i, const char* what) const {
  if (i < 0 || i >= NT)
    throw std::runtime_error(std::string("le::Identity: ") + what + " row " + std::to_string(i) +
                             " outside [0," + std::to_string(NT) + ")");
}

const uint16_t* Identity::pooled64(int i) const {
  checkRow(i, "pooled64");
  return reinterpret_cast<const uint16_t*>(pooled64_.base()) + static_cast<size_t>(i) * kPooledHalves;
}

const uint16_t* Identity::fsRed(int i) const {
  checkRow(i, "fs_red");
  if (!fsRed_) return nullptr;
  return reinterpret_cast<const uint16_t*>(fsRed_.base()) + static_cast<size_t>(i) * kFsRedHalves;
}

const uint16_t* Identity::P(int i) {
  checkRow(i, "P");
  if (P_)
    return reinterpret_cast<const uint16_t*>(P_.base()) +
           static_cast<size_t>(i) * 3 * static_cast<size_t>(crop) * static_cast<size_t>(crop);
  int index = -1;
  return reinterpret_cast<const uint16_t*>(prior().pullAt(i, &index));
}

const float* Identity::M(int i) const {
  checkRow(i, "M");
  return M_.data() + static_cast<size_t>(i) * kPasteTransformFloats;
}

DriverCursor& Identity::prior() {
  std::call_once(priorOnce_, [this] {
    prior_ = DriverCursor::openPrior(manifest_, kCursorLookAhead, kCursorHistory);
    priorReady_.store(prior_.get());
  });
  return *prior_;
}

void Identity::walkP(int i) {
  if (!P_ && !priorPath_.empty()) P(i);
}

std::string Identity::priorBackend() {
  if (P_) return "mmap P.f16";
  if (!priorPath_.empty()) return prior().backend;
  return "none";
}

size_t Identity::priorResidentBytes() const {
  if (P_) return 0;
  const DriverCursor* c = priorReady_.load();
  return c ? c->residentBytes() : 0;
}

uint64_t Identity::priorSeeks() const {
  const DriverCursor* c = priorReady_.load();
  return c ? c->seeks() : 0;
}

// ---- Drive track ---------------------------------------------------------------------------

Drive loadDrive(const Manifest& m) {
  Drive d;
  d.frames = m.frames;
  const int64_t rows = m.frames;
  const int64_t floats = rows * static_cast<int64_t>(kKeypointFloats);
  d.xs = readRaw<float>(resolveMember(m.dir, "drive/xs.f32"), floats);
  d.xd = readRaw<float>(resolveMember(m.dir, "drive/xd.f32"), floats);
  d.si = readRaw<int32_t>(resolveMember(m.dir, "drive/si.i32"), rows);
  for (int32_t s : d.si)
    if (s < 0 || s >= m.NT) throw std::runtime_error("drive: si out of range");
  return d;
}

}  // namespace le
