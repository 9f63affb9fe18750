// The borrow runners of the C interface: a whole run of host crops through
// one borrow pass, offline, without a session. Like the members calls they
// keep no per-thread message: the error text goes into the host's buffer.
#include <algorithm>
#include <cstring>
#include <new>
#include <string>
#include <vector>

#include "bundle/le_bundle.h"
#include "le/le.h"
#include "tessera/le_bankdec_ff.h"
#include "tessera/le_bundle_tessera.h"
#include "tessera/le_tessera.h"
#include "tessera/le_tessera_stream.h"

namespace {

constexpr int kRow = 63;

// At most n - 1 characters and a terminator; nothing for a null buffer or n < 1.
void putError(char* err, int n, const std::string& text) {
  if (!err || n < 1) return;
  const size_t keep = std::min(text.size(), static_cast<size_t>(n - 1));
  std::memcpy(err, text.data(), keep);
  err[keep] = '\0';
}

// Loads the members, decodes the bank into donor order, arms one pass and
// runs every crop through it: all pushed in order, then the held ones
// flushed. Crop i is read with source row i and driving row
// clamp(i + shift, 0, n - 1), and its band is written back in place.
void runBorrow(const char* bundleDir, float* crops, int n, const float* xs, const float* xd, int shift) {
  const le::Manifest manifest = le::loadManifest(bundleDir);
  const le::TesseraAttachInputs in = le::loadTesseraMembers(manifest);
  const std::string track = le::readFile(in.bank_track_path);
  std::vector<uint8_t> bank = le::tessera::decodeBankTrack(reinterpret_cast<const uint8_t*>(track.data()),
                                                           track.size(), in.n_donors, in.band_h, in.band_w,
                                                           in.track_order);
  le::tessera::StreamBorrow borrow(in, std::move(bank), manifest.crop, le::tessera::loadHeadPt(in.head_pt),
                                   le::tessera::ServeConfig::fromHeadMemberJson(in.head_json),
                                   in.lip_template_json);
  const size_t cropFloats = 3 * static_cast<size_t>(manifest.crop) * static_cast<size_t>(manifest.crop);
  auto writeBack = [&](const std::vector<le::tessera::BorrowResult>& results) {
    for (const le::tessera::BorrowResult& r : results) {
      borrow.writeWindowDelta(r, crops + static_cast<size_t>(r.seq) * cropFloats);
    }
  };
  for (int i = 0; i < n; ++i) {
    const int64_t driving = std::min<int64_t>(n - 1, std::max<int64_t>(0, static_cast<int64_t>(i) + shift));
    writeBack(borrow.push(i, crops + static_cast<size_t>(i) * cropFloats, xs + static_cast<size_t>(i) * kRow,
                          xd + static_cast<size_t>(driving) * kRow));
  }
  writeBack(borrow.flush());
}

int runGuarded(const char* name, const char* bundleDir, float* crops, int n, const float* xs, const float* xd,
               int shift, char* err, int errLen) noexcept {
  putError(err, errLen, "");
  if (!bundleDir || !crops || !xs || !xd) {
    putError(err, errLen, std::string(name) + ": null argument");
    return 0;
  }
  if (n < 1) {
    putError(err, errLen, std::string(name) + ": n < 1 — no crop to repaint");
    return 0;
  }
  try {
    runBorrow(bundleDir, crops, n, xs, xd, shift);
    return 1;
  } catch (const std::bad_alloc&) {
    putError(err, errLen, std::string(name) + ": out of memory");
  } catch (const std::exception& e) {
    putError(err, errLen, std::string(name) + ": " + e.what());
  } catch (...) {
    putError(err, errLen, std::string(name) + ": unknown failure");
  }
  return 0;
}

}  // namespace

extern "C" {

LE_API int le_tessera_run(const char* bundle_dir, float* crops, int n, const float* xs, const float* xd, char* err,
                          int err_len) {
  return runGuarded("le_tessera_run", bundle_dir, crops, n, xs, xd, 0, err, err_len);
}

LE_API int le_tessera_run_shift(const char* bundle_dir, float* crops, int n, const float* xs, const float* xd,
                                int shift, char* err, int err_len) {
  return runGuarded("le_tessera_run_shift", bundle_dir, crops, n, xs, xd, shift, err, err_len);
}

}  // extern "C"
