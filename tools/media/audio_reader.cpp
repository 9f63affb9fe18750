#include "media/audio_reader.h"

#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <stdexcept>

#include "media/mp4_writer.h"

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavformat/avformat.h>
#include <libavutil/channel_layout.h>
#include <libavutil/opt.h>
#include <libswresample/swresample.h>
}

namespace le::tools {

AudioReader::AudioReader(const std::string& path) : path_(path) {
  if (path == "-") {
    stdin_ = true;
    return;
  }
  try {
    auto fail = [&](const std::string& what, int code) {
      throw std::runtime_error(path + ": " + what + (code < 0 ? " (" + avError(code) + ")" : ""));
    };
    int rc = avformat_open_input(&fmt_, path.c_str(), nullptr, nullptr);
    if (rc < 0) fail("cannot open as audio", rc);
    if ((rc = avformat_find_stream_info(fmt_, nullptr)) < 0) fail("cannot read stream info", rc);
    const AVCodec* codec = nullptr;
    stream_ = av_find_best_stream(fmt_, AVMEDIA_TYPE_AUDIO, -1, -1, &codec, 0);
    if (stream_ < 0 || !codec) fail("no audio stream", -1);
    dec_ = avcodec_alloc_context3(codec);
    if (!dec_) throw std::runtime_error("out of memory");
    if ((rc = avcodec_parameters_to_context(dec_, fmt_->streams[stream_]->codecpar)) < 0)
      fail("bad audio parameters", rc);
    if ((rc = avcodec_open2(dec_, codec, nullptr)) < 0) fail("cannot open the audio decoder", rc);
    if (dec_->ch_layout.nb_channels < 1 || dec_->sample_rate < 1) fail("audio without channels or rate", -1);
    AVChannelLayout mono;
    av_channel_layout_default(&mono, 1);
    if ((rc = swr_alloc_set_opts2(&swr_, &mono, AV_SAMPLE_FMT_FLT, kRate, &dec_->ch_layout, dec_->sample_fmt,
                                  dec_->sample_rate, 0, nullptr)) < 0 ||
        (rc = swr_init(swr_)) < 0)
      fail("cannot resample to 16 kHz mono", rc);
    packet_ = av_packet_alloc();
    frame_ = av_frame_alloc();
    if (!packet_ || !frame_) throw std::runtime_error("out of memory");
  } catch (...) {
    release();
    throw;
  }
}

AudioReader::~AudioReader() { release(); }

void AudioReader::release() {
  swr_free(&swr_);
  av_frame_free(&frame_);
  av_packet_free(&packet_);
  avcodec_free_context(&dec_);
  if (fmt_) avformat_close_input(&fmt_);
}

// Decodes until some samples are buffered or the audio ends.
bool AudioReader::decodeMore() {
  while (!done_) {
    int rc = avcodec_receive_frame(dec_, frame_);
    if (rc == 0) {
      const int out = swr_get_out_samples(swr_, frame_->nb_samples);
      buffered_.resize(static_cast<size_t>(std::max(out, 0)));
      uint8_t* dst[1] = {reinterpret_cast<uint8_t*>(buffered_.data())};
      const int got = swr_convert(swr_, dst, out, const_cast<const uint8_t**>(frame_->extended_data),
                                  frame_->nb_samples);
      av_frame_unref(frame_);
      if (got < 0) throw std::runtime_error(path_ + ": resampling failed (" + avError(got) + ")");
      buffered_.resize(static_cast<size_t>(got));
      bufferedAt_ = 0;
      decoded_ += got;
      if (got > 0) return true;
      continue;
    }
    if (rc == AVERROR_EOF) {
      checkComplete();
      // What the resampler still holds.
      buffered_.resize(4096);
      uint8_t* dst[1] = {reinterpret_cast<uint8_t*>(buffered_.data())};
      const int got = swr_convert(swr_, dst, 4096, nullptr, 0);
      buffered_.resize(static_cast<size_t>(std::max(got, 0)));
      bufferedAt_ = 0;
      done_ = true;
      return got > 0;
    }
    if (rc != AVERROR(EAGAIN)) throw std::runtime_error(path_ + ": audio decoding failed (" + avError(rc) + ")");
    if (draining_) {
      done_ = true;
      return false;
    }
    rc = av_read_frame(fmt_, packet_);
    if (rc < 0) {
      if (rc != AVERROR_EOF) throw std::runtime_error(path_ + ": read failed (" + avError(rc) + ")");
      avcodec_send_packet(dec_, nullptr);
      draining_ = true;
      continue;
    }
    if (packet_->stream_index == stream_) {
      rc = avcodec_send_packet(dec_, packet_);
      av_packet_unref(packet_);
      if (rc < 0 && rc != AVERROR(EAGAIN) && rc != AVERROR_INVALIDDATA)
        throw std::runtime_error(path_ + ": audio decoding failed (" + avError(rc) + ")");
    } else {
      av_packet_unref(packet_);
    }
  }
  return false;
}

// A file that ends well before the length its container declares is damaged:
// refuse it rather than voice half of it.
void AudioReader::checkComplete() const {
  const AVStream* st = fmt_->streams[stream_];
  double declared = -1;
  if (st->duration > 0) declared = st->duration * av_q2d(st->time_base);
  else if (fmt_->duration > 0) declared = fmt_->duration / static_cast<double>(AV_TIME_BASE);
  const double held = decoded_ / static_cast<double>(kRate);
  if (declared > 0 && held + 0.1 < declared) {
    char text[160];
    std::snprintf(text, sizeof text, ": truncated (declares %.2f s of audio, holds %.2f s)", declared, held);
    throw std::runtime_error(path_ + text);
  }
}

size_t AudioReader::read(float* dst, size_t max) {
  if (stdin_) {
    std::vector<int16_t> pcm(max);
    size_t got = 0;
    while (got < max * 2) {
      const ssize_t r = ::read(0, reinterpret_cast<char*>(pcm.data()) + got, max * 2 - got);
      if (r < 0) throw std::runtime_error("standard input: read failed");
      if (r == 0) break;
      got += static_cast<size_t>(r);
    }
    const size_t n = got / 2;
    for (size_t i = 0; i < n; ++i) dst[i] = pcm[i] * (1.0f / 32768.0f);
    return n;
  }
  size_t written = 0;
  while (written < max) {
    if (bufferedAt_ >= buffered_.size() && !decodeMore()) break;
    const size_t n = std::min(max - written, buffered_.size() - bufferedAt_);
    std::memcpy(dst + written, buffered_.data() + bufferedAt_, n * sizeof(float));
    bufferedAt_ += n;
    written += n;
  }
  return written;
}

}  // namespace le::tools
