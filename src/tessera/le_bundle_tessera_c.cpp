// The tessera family of the C interface. It keeps no per-thread message: the
// members calls copy theirs into a buffer the host passes.
#include <cstring>
#include <memory>
#include <new>
#include <string>

#include "core/le_error.h"
#include "le/le.h"
#include "tessera/le_bundle_tessera.h"

struct le_tessera_carriage {
  le::TesseraCarriage c;
  std::string lastPath;
};

struct le_tessera_members {
  le::TesseraAttachInputs in;
  int stamp[12] = {};
};

namespace {

// At most n - 1 characters and a terminator; nothing for a null buffer or n < 1.
void putError(char* err, int n, const char* text) {
  if (!err || n < 1) return;
  const size_t len = std::strlen(text);
  const size_t keep = len < static_cast<size_t>(n - 1) ? len : static_cast<size_t>(n - 1);
  std::memcpy(err, text, keep);
  err[keep] = '\0';
}

// The family's one wrapper: runs body, turning anything thrown into the
// exception's own text (or "<name>: out of memory" / "<name>: unknown
// failure") in err, and returns `failure`.
template <typename R, typename Body>
R tesseraGuarded(const char* name, char* err, int n, R failure, Body&& body) noexcept {
  putError(err, n, "");
  try {
    return body();
  } catch (const std::bad_alloc&) {
    putError(err, n, (std::string(name) + ": out of memory").c_str());
  } catch (const std::exception& e) {
    putError(err, n, e.what());
  } catch (...) {
    putError(err, n, (std::string(name) + ": unknown failure").c_str());
  }
  return failure;
}

}  // namespace

extern "C" {

LE_API int le_tessera_slot_count(void) { return 4; }

LE_API const char* le_tessera_slot_key(int index) {
  if (index < 0 || index >= 4) return nullptr;
  return le::capi::silent<const char*>(nullptr,
                                       [&] { return le::tesseraSlotKeys()[index].c_str(); });
}

LE_API le_tessera_carriage* le_tessera_carriage_open(const char* bundle_dir) {
  if (!bundle_dir) return nullptr;
  return le::capi::silent<le_tessera_carriage*>(nullptr, [&]() -> le_tessera_carriage* {
    le_tessera_carriage* h = new (std::nothrow) le_tessera_carriage;
    if (!h) return nullptr;
    try {
      h->c = le::tesseraCarriage(std::string(bundle_dir));
    } catch (...) {
      delete h;
      return nullptr;
    }
    return h;
  });
}

LE_API void le_tessera_carriage_close(le_tessera_carriage* h) { delete h; }

LE_API int le_tessera_carriage_complete(const le_tessera_carriage* h) {
  return h && h->c.complete ? 1 : 0;
}

LE_API int le_tessera_carriage_declared(const le_tessera_carriage* h) {
  return h && h->c.declared ? 1 : 0;
}

LE_API int le_tessera_carriage_missing_count(const le_tessera_carriage* h) {
  return h ? static_cast<int>(h->c.missing.size()) : 0;
}

LE_API const char* le_tessera_carriage_missing(const le_tessera_carriage* h, int index) {
  if (!h || index < 0 || static_cast<size_t>(index) >= h->c.missing.size()) return nullptr;
  return h->c.missing[static_cast<size_t>(index)].c_str();
}

LE_API const char* le_tessera_carriage_path(le_tessera_carriage* h, const char* slot) {
  if (!h || !slot) return "";
  return le::capi::silent<const char*>("", [&] {
    for (int i = 0; i < 4; ++i) {
      if (le::tesseraSlotKeys()[i] == slot) {
        h->lastPath = h->c.paths[i];
        return h->lastPath.c_str();
      }
    }
    return "";
  });
}

LE_API le_tessera_members* le_tessera_members_open(const char* bundle_dir, char* err, int n) {
  if (!bundle_dir) {
    putError(err, n, "le_tessera_members_open: null bundle_dir");
    return nullptr;
  }
  return tesseraGuarded<le_tessera_members*>(
      "le_tessera_members_open", err, n, nullptr, [&]() -> le_tessera_members* {
        auto h = std::make_unique<le_tessera_members>();
        h->in = le::loadTesseraMembers(std::string(bundle_dir));
        for (int i = 0; i < 12; ++i) h->stamp[i] = h->in.stamp.value(i);
        return h.release();
      });
}

LE_API void le_tessera_members_close(le_tessera_members* h) { delete h; }

LE_API int le_tessera_members_n_donors(const le_tessera_members* h) {
  return h ? h->in.n_donors : 0;
}
LE_API const double* le_tessera_members_cent(const le_tessera_members* h) {
  return h && !h->in.cent.empty() ? h->in.cent.data() : nullptr;
}
LE_API const double* le_tessera_members_c_canon(const le_tessera_members* h) {
  return h ? h->in.c_canon : nullptr;
}
LE_API const int32_t* le_tessera_members_track_order(const le_tessera_members* h) {
  return h && !h->in.track_order.empty() ? h->in.track_order.data() : nullptr;
}
LE_API const double* le_tessera_members_aperture(const le_tessera_members* h) {
  return h && !h->in.aperture.empty() ? h->in.aperture.data() : nullptr;
}
LE_API const int* le_tessera_members_stamp(const le_tessera_members* h) {
  return h ? h->stamp : nullptr;
}
LE_API const uint8_t* le_tessera_members_head_pt(const le_tessera_members* h) {
  return h && !h->in.head_pt.empty() ? h->in.head_pt.data() : nullptr;
}
LE_API size_t le_tessera_members_head_pt_len(const le_tessera_members* h) {
  return h ? h->in.head_pt.size() : 0;
}
LE_API const char* le_tessera_members_head_json(const le_tessera_members* h) {
  return h ? h->in.head_json.c_str() : "";
}
LE_API const char* le_tessera_members_manifest_json(const le_tessera_members* h) {
  return h ? h->in.manifest_json.c_str() : "";
}
LE_API const char* le_tessera_members_lip_template_json(const le_tessera_members* h) {
  return h ? h->in.lip_template_json.c_str() : "";
}
LE_API const char* le_tessera_members_bank_track_path(const le_tessera_members* h) {
  return h ? h->in.bank_track_path.c_str() : "";
}
LE_API const char* le_tessera_members_bank_container(const le_tessera_members* h) {
  return h ? h->in.bank_container.c_str() : "";
}
LE_API const char* le_tessera_members_bank_codec(const le_tessera_members* h) {
  return h ? h->in.bank_codec.c_str() : "";
}
LE_API const char* le_tessera_members_bank_pix_fmt(const le_tessera_members* h) {
  return h ? h->in.bank_pix_fmt.c_str() : "";
}
LE_API const char* le_tessera_members_bank_packing(const le_tessera_members* h) {
  return h ? h->in.bank_packing.c_str() : "";
}
LE_API int le_tessera_members_band_w(const le_tessera_members* h) { return h ? h->in.band_w : 0; }
LE_API int le_tessera_members_band_h(const le_tessera_members* h) { return h ? h->in.band_h : 0; }
LE_API size_t le_tessera_members_band_bytes(const le_tessera_members* h) {
  return h ? static_cast<size_t>(h->in.n_donors) * h->in.patchBytes() : 0;
}

LE_API int le_tessera_members_reorder(const le_tessera_members* h, const uint8_t* track,
                                      uint8_t* out, char* err, int n) {
  if (!h || !track || !out) {
    putError(err, n, "le_tessera_members_reorder: null argument");
    return 1;
  }
  return tesseraGuarded<int>("le_tessera_members_reorder", err, n, 1, [&] {
    le::reorderTrackToDonor(h->in, track, out);
    return 0;
  });
}

}  // extern "C"
