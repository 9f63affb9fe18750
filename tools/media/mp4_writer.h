// H.264 (yuv420p, 25 fps) in MP4 from packed RGB24 or RGBA frames, with an
// optional AAC track of mono float audio. Used by the command-line tools.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

struct AVFormatContext;
struct AVStream;
struct AVCodecContext;
struct AVFrame;
struct AVPacket;
struct SwsContext;

namespace le::tools {

class Mp4Writer {
 public:
  // bytesPerPixel 3 (RGB24) or 4 (RGBA); audioRate 0 for a silent video.
  // Odd canvas sizes lose their last row or column (4:2:0 needs even sizes).
  Mp4Writer(const std::string& path, int W, int H, int bytesPerPixel, int crf, int audioRate = 0);
  ~Mp4Writer();
  Mp4Writer(const Mp4Writer&) = delete;
  Mp4Writer& operator=(const Mp4Writer&) = delete;

  void writeVideo(const uint8_t* pixels);
  // Mono samples in -1 ... 1, appended to the audio track.
  void writeAudio(const float* samples, size_t n);
  // Flushes both encoders and writes the trailer.
  void finish();
  int64_t videoFrames() const { return pts_; }

 private:
  void release();
  void send(AVCodecContext* enc, AVStream* stream, AVFrame* f);
  void encodeAudio(bool last);

  int W_, H_, bpp_;
  AVFormatContext* fmt_ = nullptr;
  AVStream* stream_ = nullptr;
  AVCodecContext* enc_ = nullptr;
  AVFrame* frame_ = nullptr;
  AVPacket* packet_ = nullptr;
  SwsContext* sws_ = nullptr;
  int64_t pts_ = 0;
  AVStream* audioStream_ = nullptr;
  AVCodecContext* audioEnc_ = nullptr;
  AVFrame* audioFrame_ = nullptr;
  std::vector<float> audioFifo_;
  int64_t audioPts_ = 0;
};

// av_strerror's text for an FFmpeg error code.
std::string avError(int code);

}  // namespace le::tools
