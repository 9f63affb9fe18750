// Where a bundle keeps the teeth borrow's four members, the one rule that arms
// the borrow (all four present), and the load and cross-check of everything
// the borrow pass needs.
#pragma once

#include <cstdint>
#include <stdexcept>
#include <string>
#include <vector>

#include "bundle/le_bundle.h"

namespace le {

const std::vector<std::string>& tesseraSlotKeys();
int tesseraSlotCount();

// Member file names in slot order: bank track, bank sidecar, head weights,
// head config.
struct TesseraSlots {
  std::string bank_track = "tessera_bank.v1.mp4";
  std::string bank_sidecar = "tessera_bank.v1.json";
  std::string head_weights = "tessera_head.v1.pt";
  std::string head_config = "tessera_head.v1.json";

  std::string& at(int slot);
  const std::string& at(int slot) const;
};

struct TesseraCarriage {
  TesseraSlots slots;
  std::string paths[4];
  bool complete = false;
  std::vector<std::string> missing;
  bool declared = false;
  std::vector<std::string> planes;

  const std::string& path(const std::string& slotKey) const;
};

class MissingTesseraMember : public std::runtime_error {
 public:
  MissingTesseraMember(const std::string& what, std::vector<std::string> missing)
      : std::runtime_error(what), missing_(std::move(missing)) {}
  const std::vector<std::string>& missing() const { return missing_; }

 private:
  std::vector<std::string> missing_;
};

// The rectangle the borrow repaints: a window on the compose canvas, the
// mouth band inside it, and the stored patch (window grown by pad) the band
// may shift within by shift_margin.
struct GeometryStamp {
  int32_t canvas_w = 0, canvas_h = 0;
  int32_t window_x0 = 0, window_y0 = 0, window_w = 0, window_h = 0;
  int32_t pad = 0;
  int32_t band_r0 = 0, band_r1 = 0, band_c0 = 0, band_c1 = 0;
  int32_t shift_margin = 0;

  static const char* const* keys();  // the 12 key names, field order
  int32_t value(int i) const;
  int32_t& value(int i);
  // Throws "teeth: GeometryStamp incoherent: ..." listing every violated rule.
  void validate() const;
  bool operator==(const GeometryStamp& o) const;
};

// "{canvas_w=.., canvas_h=.., ...}"
std::string stampStr(const GeometryStamp& s);

struct TesseraAttachInputs {
  int32_t n_donors = 0;
  std::vector<int32_t> track_order;
  std::vector<double> cent;      // x, y per donor
  double c_canon[2] = {0.0, 0.0};
  std::vector<double> aperture;
  GeometryStamp stamp;
  std::vector<uint8_t> head_pt;
  std::string head_json;
  std::string manifest_json;
  std::string lip_template_json;  // empty when the bundle has none
  std::string bank_track_path;
  std::string bank_container;
  std::string bank_codec;
  std::string bank_pix_fmt;
  std::string bank_packing;
  int32_t band_w = 0;
  int32_t band_h = 0;

  size_t patchBytes() const {
    return static_cast<size_t>(band_h) * static_cast<size_t>(band_w) * 3;
  }
};

// Never throws for a bad manifest: an unreadable one leaves the defaults.
TesseraCarriage tesseraCarriage(const std::string& bundleDir);
TesseraCarriage tesseraCarriage(const Manifest& manifest);

// Returns when every member is present; otherwise throws MissingTesseraMember.
void requireTesseraMembers(const TesseraCarriage& carriage);

TesseraAttachInputs loadTesseraMembers(const std::string& bundleDir);
TesseraAttachInputs loadTesseraMembers(const Manifest& manifest);

// Copies patch i of a decoded track (track order) to donor slot track_order[i].
void reorderTrackToDonor(const TesseraAttachInputs& in, const uint8_t* track, uint8_t* out);

}  // namespace le
