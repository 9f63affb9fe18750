#include "driver/le_driver_ff.h"

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <stdexcept>
#include <vector>

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavformat/avformat.h>
#include <libavutil/error.h>
#include <libavutil/frame.h>
#include <libavutil/log.h>
#include <libavutil/pixdesc.h>
}

#include "bundle/le_fs.h"
#include "core/le_env.h"
#include "driver/le_moviedec_ff.h"
#include "paste/le_pool.h"
#include "paste/le_simd.h"

namespace le::driver {
namespace {

// Rows per part when a frame's conversion is split over the worker pool.
constexpr size_t kRowGrain = 32;

const char* const kHwDecoder = "h264_cuvid";
// Added to the level of every message a context logs: an error becomes less
// important than AV_LOG_TRACE, which nothing prints.
constexpr int kQuietAttempt = AV_LOG_TRACE - AV_LOG_PANIC + 8;

// Limited-range BT.601 to 8-bit RGB in 16.16 fixed point, as the prior was
// authored; the result indexes the float16 table.
inline int priorClamp(int v) { return v < 0 ? 0 : (v > 255 ? 255 : v); }

inline void priorPixel(int Y, int U, int V, int& R, int& G, int& B) {
  const int c = 76312 * Y - 1220992;
  const int d = U - 128;
  const int e = V - 128;
  R = priorClamp((c + 104600 * e + 32768) >> 16);
  G = priorClamp((c - 53280 * e - 25672 * d + 32768) >> 16);
  B = priorClamp((c + 132200 * d + 32768) >> 16);
}

class FfSource final : public Source {
 public:
  enum Kind : int32_t { kMovie = 0, kPrior = 1 };

  FfSource(Kind kind, std::string path, int NT, int W, int H)
      : kind_(kind), path_(std::move(path)), NT_(NT), W_(W), H_(H) {
    if (kind_ == kPrior)
      for (int i = 0; i < 256; ++i) lut_[i] = le::f32ToF16(static_cast<float>(i) / 255.0f);
  }

  ~FfSource() override { close(); }

  int NT() const override { return NT_; }
  int W() const override { return W_; }
  int H() const override { return H_; }
  size_t frameBytes() const override {
    const size_t px = static_cast<size_t>(W_) * static_cast<size_t>(H_);
    return kind_ == kPrior ? px * 3 * 2 : px * 3;
  }

  bool next(uint8_t* dst) override { return decode(dst); }

  void rewind() override {
    if (fmt_ && dec_ && av_seek_frame(fmt_, stream_, 0, AVSEEK_FLAG_BACKWARD) >= 0) {
      avcodec_flush_buffers(dec_);
      draining_ = false;
    } else {
      // Some containers cannot seek back to the start; reopening always can.
      close();
      open();
    }
    position_ = 0;
  }

  void seek(int i) override {
    if (i < 0 || i >= NT_) throw std::runtime_error("le_driver: seek outside the member");
    if (i < position_) rewind();
    // Frames skipped on the way are decoded but not converted.
    while (position_ < i)
      if (!decode(nullptr))
        throw std::runtime_error("le_driver: " + path_ + " ended at frame " +
                                 std::to_string(position_) + " while seeking to " +
                                 std::to_string(i));
  }

  std::string name() const override { return backend_; }

  size_t residentBytes() const override {
    const size_t px = static_cast<size_t>(W_) * static_cast<size_t>(H_);
    const size_t raw = kind_ == kPrior ? px * 3 : px * 3 / 2;
    size_t factor = 6;
    if (dec_) factor = static_cast<size_t>(dec_->thread_count > 0 ? dec_->thread_count : 1) + 5;
    return raw * factor + static_cast<size_t>(maxPacket_);
  }

  void open();

 private:
  static std::string averr(int code) {
    char buf[64];
    av_strerror(code, buf, sizeof buf);
    return buf;
  }

  [[noreturn]] void fail(const std::string& what) const {
    throw std::runtime_error("le_driver: " + path_ + what);
  }

  void openDecoder(AVStream* st);
  bool decode(uint8_t* dst);
  void convertMovie(const AVFrame* f, uint8_t* dst) const;
  void convertPrior(const AVFrame* f, uint8_t* dst) const;

  void close() {
    av_frame_free(&frame_);
    av_packet_free(&packet_);
    avcodec_free_context(&dec_);
    avformat_close_input(&fmt_);
  }

  const Kind kind_;
  const std::string path_;
  const int32_t NT_;
  const int32_t W_;
  const int32_t H_;
  uint16_t lut_[256] = {};
  AVFormatContext* fmt_ = nullptr;
  AVCodecContext* dec_ = nullptr;
  AVPacket* packet_ = nullptr;
  AVFrame* frame_ = nullptr;
  int32_t stream_ = -1;
  bool draining_ = false;
  int32_t position_ = 0;
  int32_t maxPacket_ = 0;
  std::string backend_;
};

void FfSource::open() {
  stream_ = -1;
  // FFmpeg would block forever on a FIFO and misread a directory: only a
  // regular file reaches it.
  if (!fs::opensForReading(path_)) fail(" is not a readable container");
  if (avformat_open_input(&fmt_, path_.c_str(), nullptr, nullptr) < 0)
    fail(" is not a readable container");
  if (avformat_find_stream_info(fmt_, nullptr) < 0) fail(" carries no stream info");
  for (unsigned i = 0; i < fmt_->nb_streams; ++i) {
    if (fmt_->streams[i]->codecpar->codec_type == AVMEDIA_TYPE_VIDEO) {
      stream_ = static_cast<int32_t>(i);
      break;
    }
  }
  if (stream_ < 0) fail(" has no video stream");
  AVStream* st = fmt_->streams[stream_];
  const AVCodecParameters* par = st->codecpar;
  if (par->width != W_ || par->height != H_)
    fail(" is " + std::to_string(par->width) + "x" + std::to_string(par->height) +
         ", the manifest says " + std::to_string(W_) + "x" + std::to_string(H_) +
         " — refusing to rescale the driver");
  if (st->nb_frames > 0 && st->nb_frames != NT_)
    fail(" carries " + std::to_string(st->nb_frames) + " frames, the manifest says NT=" +
         std::to_string(NT_) + " — member/manifest mismatch, refusing");

  openDecoder(st);

  packet_ = av_packet_alloc();
  frame_ = av_frame_alloc();
  if (!packet_ || !frame_) throw std::runtime_error("le_driver: out of memory");
  draining_ = false;
  position_ = 0;
  backend_ = std::string(kind_ == kPrior ? "hevc444/libavcodec " : "mp4/libavcodec ") +
             le::movieDecoderVersion() + " " + dec_->codec->name;
}

void FfSource::openDecoder(AVStream* st) {
  const AVCodecParameters* par = st->codecpar;
  if (envIsExactly0("LE_DRIVER_HWDEC")) {
    std::fprintf(stderr,
                 "[le-driver] LE_DRIVER_HWDEC=0 — %s not attempted; the software decoder is the "
                 "one decoder on this fleet (same samples)\n",
                 kHwDecoder);
  } else if (kind_ == kMovie && par->codec_id == AV_CODEC_ID_H264) {
    if (const AVCodec* codec = avcodec_find_decoder_by_name(kHwDecoder)) {
      dec_ = avcodec_alloc_context3(codec);
      if (!dec_) throw std::runtime_error("le_driver: avcodec_alloc_context3 failed");
      if (avcodec_parameters_to_context(dec_, par) < 0)
        throw std::runtime_error("le_driver: avcodec_parameters_to_context failed");
      dec_->thread_count = 1;
      // A machine without the GPU runtime makes the decoder log its own
      // "Cannot load …" lines on the host's stderr. The attempt is reported by
      // the one "[le-driver] … refused" line below, so this context's messages
      // are pushed below every level FFmpeg prints until it has opened. The
      // offset is per context: the host's own FFmpeg logging is untouched.
      dec_->log_level_offset = kQuietAttempt;
      AVDictionary* opts = nullptr;
      const int rc = avcodec_open2(dec_, codec, &opts);
      av_dict_free(&opts);
      if (rc >= 0) {
        dec_->log_level_offset = 0;
        return;
      }
      avcodec_free_context(&dec_);
      std::fprintf(stderr,
                   "[le-driver] %s refused %s — falling back to the software h264 decoder (same "
                   "samples, more CPU)\n",
                   kHwDecoder, path_.c_str());
    }
  }

  const AVCodec* codec = avcodec_find_decoder(par->codec_id);
  if (!codec)
    throw std::runtime_error("le_driver: no decoder for " + path_ + " (codec id " +
                             std::to_string(static_cast<int>(par->codec_id)) + ")");
  dec_ = avcodec_alloc_context3(codec);
  if (!dec_) throw std::runtime_error("le_driver: avcodec_alloc_context3 failed");
  if (avcodec_parameters_to_context(dec_, par) < 0)
    throw std::runtime_error("le_driver: avcodec_parameters_to_context failed");
  dec_->thread_count = 4;
  dec_->thread_type = FF_THREAD_FRAME;
  AVDictionary* opts = nullptr;
  const int rc = avcodec_open2(dec_, codec, &opts);
  av_dict_free(&opts);
  if (rc < 0) {
    avcodec_free_context(&dec_);
    throw std::runtime_error("le_driver: could not open the decoder for " + path_);
  }
}

// Receive first, feed the demuxer only when the decoder asks for input. A null
// dst decodes and checks the frame without converting it (frames skipped by a
// seek).
bool FfSource::decode(uint8_t* dst) {
  // A reopen that failed part way leaves nothing to decode from.
  if (!fmt_ || !dec_ || !packet_ || !frame_) fail(" is not open (an earlier reopen failed)");
  for (;;) {
    const int rc = avcodec_receive_frame(dec_, frame_);
    if (rc >= 0) {
      if (frame_->width != W_ || frame_->height != H_) {
        av_frame_unref(frame_);
        fail(" changed size mid-stream — refusing");
      }
      try {
        if (kind_ == kPrior)
          convertPrior(frame_, dst);
        else
          convertMovie(frame_, dst);
      } catch (...) {
        av_frame_unref(frame_);
        throw;
      }
      av_frame_unref(frame_);
      ++position_;
      return true;
    }
    if (rc == AVERROR_EOF) return false;
    if (rc != AVERROR(EAGAIN))
      fail(" decode fault at frame " + std::to_string(position_) + " (" + averr(rc) + ")");

    if (draining_) return false;
    const int rd = av_read_frame(fmt_, packet_);
    if (rd == AVERROR_EOF) {
      draining_ = true;
      avcodec_send_packet(dec_, nullptr);
      continue;
    }
    if (rd < 0) fail(" read fault (" + averr(rd) + ")");
    if (packet_->stream_index != stream_) {
      av_packet_unref(packet_);
      continue;
    }
    maxPacket_ = std::max(maxPacket_, packet_->size);
    const int sent = avcodec_send_packet(dec_, packet_);
    av_packet_unref(packet_);
    if (sent < 0 && sent != AVERROR(EAGAIN)) fail(" packet refused (" + averr(sent) + ")");
  }
}

std::string formatName(int format) {
  const char* n = av_get_pix_fmt_name(static_cast<AVPixelFormat>(format));
  return n ? n : "?";
}

void FfSource::convertMovie(const AVFrame* f, uint8_t* dst) const {
  const uint8_t* u = f->data[1];
  const uint8_t* v = f->data[2];
  int uStride = f->linesize[1];
  int vStride = f->linesize[2];
  int step = 1;
  if (f->format == AV_PIX_FMT_NV12) {
    v = u + 1;
    vStride = uStride;
    step = 2;
  } else if (f->format != AV_PIX_FMT_YUV420P) {
    fail(" decoded to " + formatName(f->format) +
         ", not the 4:2:0 layout the canvas conversion is written for (yuv420p / nv12) — refusing "
         "rather than pasting onto a different pixel domain");
  }
  if (!dst) return;
  const uint8_t* y = f->data[0];
  const int yStride = f->linesize[0];
  const int W = W_;
  const size_t rowBytes = static_cast<size_t>(W) * 3;
  le::pool::parallelRange(static_cast<size_t>(H_), kRowGrain, [&](size_t begin, size_t end) {
    for (size_t r = begin; r < end; ++r) {
      const ptrdiff_t c = static_cast<ptrdiff_t>(r / 2);
      le::simd::yuv420RowToRgb24(y + static_cast<ptrdiff_t>(r) * yStride, u + c * uStride,
                                 v + c * vStride, W, step, dst + r * rowBytes);
    }
  });
}

void FfSource::convertPrior(const AVFrame* f, uint8_t* dst) const {
  if (f->format != AV_PIX_FMT_YUV444P)
    fail(" decoded to " + formatName(f->format) +
         ", not the yuv444p a warp prior is authored in — a subsampled prior is a different "
         "mouth, refusing");
  if (!dst) return;
  const size_t W = static_cast<size_t>(W_);
  const size_t plane = W * static_cast<size_t>(H_);
  le::pool::parallelRange(static_cast<size_t>(H_), kRowGrain, [&](size_t begin, size_t end) {
    for (size_t r = begin; r < end; ++r) {
      const uint8_t* ys = f->data[0] + static_cast<ptrdiff_t>(r) * f->linesize[0];
      const uint8_t* us = f->data[1] + static_cast<ptrdiff_t>(r) * f->linesize[1];
      const uint8_t* vs = f->data[2] + static_cast<ptrdiff_t>(r) * f->linesize[2];
      // The destination is a byte buffer of any alignment; halves are stored
      // bytewise (the compiler emits plain stores).
      uint8_t* rOut = dst + 2 * (r * W);
      uint8_t* gOut = rOut + 2 * plane;
      uint8_t* bOut = gOut + 2 * plane;
      for (size_t x = 0; x < W; ++x) {
        int R, G, B;
        priorPixel(ys[x], us[x], vs[x], R, G, B);
        std::memcpy(rOut + 2 * x, &lut_[R], 2);
        std::memcpy(gOut + 2 * x, &lut_[G], 2);
        std::memcpy(bOut + 2 * x, &lut_[B], 2);
      }
    }
  });
}

}  // namespace

std::unique_ptr<Source> openMp4(const std::string& path, int NT, int W, int H) {
  auto s = std::make_unique<FfSource>(FfSource::kMovie, path, NT, W, H);
  s->open();
  return s;
}

std::unique_ptr<Source> openPriorHevc(const std::string& path, int NT, int side) {
  auto s = std::make_unique<FfSource>(FfSource::kPrior, path, NT, side, side);
  s->open();
  return s;
}

}  // namespace le::driver
