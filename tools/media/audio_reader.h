// Speech for the command-line tools: any audio file FFmpeg reads, or raw
// 16 kHz mono s16le PCM from standard input ("-"), delivered as 16 kHz mono
// float samples a piece at a time, so hours of audio stream in bounded memory.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

struct AVFormatContext;
struct AVCodecContext;
struct AVPacket;
struct AVFrame;
struct SwrContext;

namespace le::tools {

class AudioReader {
 public:
  static constexpr int kRate = 16000;
  // Throws std::runtime_error naming the file and what is wrong with it.
  explicit AudioReader(const std::string& path);
  ~AudioReader();
  AudioReader(const AudioReader&) = delete;
  AudioReader& operator=(const AudioReader&) = delete;

  // Up to max samples; 0 at the end of the audio. Throws on a decoding error.
  size_t read(float* dst, size_t max);

 private:
  void release();
  bool decodeMore();
  void checkComplete() const;

  bool stdin_ = false;
  AVFormatContext* fmt_ = nullptr;
  AVCodecContext* dec_ = nullptr;
  AVPacket* packet_ = nullptr;
  AVFrame* frame_ = nullptr;
  SwrContext* swr_ = nullptr;
  int stream_ = -1;
  bool draining_ = false, done_ = false;
  std::vector<float> buffered_;
  size_t bufferedAt_ = 0;
  int64_t decoded_ = 0;
  std::string path_;
};

}  // namespace le::tools
