// The borrow pass over a stream of rendered crops: for each crop it picks
// reference donors from the bank by the mouth the driving keypoints describe,
// blends two of them with the head network, and composes the result into the
// mouth band inside the lip contour (or an over-covering ellipse when the
// bundle has no lip template).
#pragma once

#include <cstdint>
#include <deque>
#include <memory>
#include <string>
#include <vector>

#include "tessera/le_bundle_tessera.h"
#include "tessera/le_lip_contour.h"
#include "tessera/le_tessera.h"

namespace le::tessera {

// Keypoint rows the pass reads the mouth from.
constexpr int kMouthLeftRow = 11;
constexpr int kMouthRightRow = 12;
constexpr int kLipUpperInnerRow = 14;
constexpr int kLipLowerInnerRow = 15;

// One crop's repainted mouth band, in the order the crops were pushed.
struct BorrowResult {
  int64_t seq = 0;
  int donor = -1;       // the donor the blend leans on
  int partner = -1;     // the donor blended with it
  double aperture = 0;  // the (look-ahead smoothed) aperture retrieval used
  float alphaMean = 0;  // mean blend weight of `donor` inside the mask
  std::vector<float> band;  // 3 x bandRows x bandCols, composed, 0..1
};

struct BorrowStats {
  int64_t pushed = 0;
  int64_t delivered = 0;
  int64_t switches = 0;  // changes of the leading donor
  int64_t flushes = 0;
};

// Working planes of the head network, grown on first use and kept.
struct HeadScratch {
  std::vector<float> featA, featB;
};

// The head network over one rows x cols image. `input` holds 7 planes (the
// leading donor's RGB, the partner's RGB, the mask); `out` receives 3 planes
// (the blend the candidate branch weights, plus the synthesis residual when
// the head has that branch) and `alpha` one plane (the leading donor's blend
// weight). Convolutions have a zero border at the image's edges; rows go over
// the calling thread's pool.
void runHead(const HeadWeights& head, const float* input, int rows, int cols, float* out, float* alpha,
             HeadScratch& scratch);

class StreamBorrow {
 public:
  // `bank` holds the donor-ordered RGB24 patches (n_donors x band_h x band_w
  // x 3); `crop` is the render crop side, which the stamp's canvas must name.
  // An empty lip template text selects the elliptical mask.
  StreamBorrow(const TesseraAttachInputs& members, std::vector<uint8_t> bank, int crop,
               HeadWeights head, ServeConfig config, const std::string& lipTemplateJson);
  ~StreamBorrow();
  StreamBorrow(const StreamBorrow&) = delete;
  StreamBorrow& operator=(const StreamBorrow&) = delete;

  // Takes one crop (3 x crop x crop CHW, 0..1) with its source and driving
  // keypoint rows (63 floats each). Returns the results that are ready, in
  // input order: a crop is held until `lookahead` later crops have arrived.
  std::vector<BorrowResult> push(int64_t seq, const float* crop, const float* xs, const float* xd);
  // Releases every held crop (end of an utterance) and resets the temporal
  // state, so the next utterance starts afresh.
  std::vector<BorrowResult> flush();
  size_t held() const { return pending_.size(); }

  // Writes a result's band back into the crop it came from.
  void writeWindowDelta(const BorrowResult& r, float* crop) const;
  // Takes a used result's band back, so that a later push reuses its storage
  // instead of allocating (optional).
  void recycle(BorrowResult&& r);

  // The band in crop pixels: rows [bandY0, bandY0 + bandRows), cols likewise.
  int bandY0() const { return bandY0_; }
  int bandX0() const { return bandX0_; }
  int bandRows() const { return bandRows_; }
  int bandCols() const { return bandCols_; }
  bool lipContour() const { return lip_ != nullptr; }
  const GeometryStamp& stamp() const { return members_.stamp; }
  const BorrowStats& stats() const { return stats_; }
  const ServeConfig& config() const { return config_; }
  int synthW() const { return head_.hasSynthesis() ? 16 : 0; }

 private:
  struct Pending {
    int64_t seq = 0;
    std::vector<float> band;  // the crop's band, 3 x rows x cols
    float xs[63];
    float xd[63];
    double aperture = 0;
    double cx = 0, cy = 0;  // mouth centre, crop pixels
  };

  // A rectangle of the band: rows [r0, r1), cols [c0, c1).
  struct Box {
    int r0 = 0, r1 = 0, c0 = 0, c1 = 0;
    int rows() const { return r1 - r0; }
    int cols() const { return c1 - c0; }
    bool empty() const { return r1 <= r0 || c1 <= c0; }
  };

  BorrowResult process(Pending& p, double aperture);
  void rank(const Pending& p, double aperture);
  void deformContour(const Pending& p);
  Box maskBox(const Pending& p) const;
  void buildMask(const Pending& p, float* mask) const;
  void placeDonor(int donor, const Pending& p, float* dst) const;

  TesseraAttachInputs members_;
  int crop_;
  HeadWeights head_;
  ServeConfig config_;
  std::unique_ptr<LipContour> lip_;
  int bandY0_ = 0, bandX0_ = 0, bandRows_ = 0, bandCols_ = 0;

  std::vector<float> donors_;          // n x 3 x band_h x band_w, 0..1
  std::vector<uint16_t> donorPooled_;  // n x pool^2, float16 luminance
  std::vector<uint16_t> pooledWeight_; // pool^2, float16
  std::vector<uint16_t> donorGeo_;     // n x 3: aperture, cx, cy (float16)
  float geoWeight_[3] = {};

  double minAperture_ = 0;  // the bank's most closed mouth

  // Scratch, sized once for the whole band. The head runs over `headBox_`
  // only (the mask's box grown by the network's receptive field), its planes
  // packed densely at that box's size.
  Box maskBox_, headBox_;
  std::vector<uint16_t> queryPooled_;
  std::vector<float> score_;
  std::vector<int> order_;
  std::vector<float> input_;   // 7 planes: leading donor, partner, mask
  std::vector<float> alpha_;   // the blend weight of the leading donor
  std::vector<float> blend_;   // 3 planes: the head's output
  HeadScratch scratch_;
  std::vector<double> vx_, vy_;  // the deformed contour, crop pixels

  std::vector<std::vector<float>> spareBands_;  // recycled band storage
  std::deque<Pending> pending_;
  int lead_ = -1;        // current leading donor
  int leadHeld_ = 0;     // frames it has led
  int challenger_ = -1;  // donor that beat it lately
  int challengerWins_ = 0;
  BorrowStats stats_;
};

}  // namespace le::tessera
