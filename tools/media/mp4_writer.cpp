#include "media/mp4_writer.h"

#include <algorithm>
#include <cstring>
#include <stdexcept>

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavformat/avformat.h>
#include <libavutil/channel_layout.h>
#include <libavutil/opt.h>
#include <libswscale/swscale.h>
}

namespace le::tools {

std::string avError(int code) {
  char buf[AV_ERROR_MAX_STRING_SIZE] = {};
  av_strerror(code, buf, sizeof buf);
  return buf;
}

namespace {
void check(int code, const char* what) {
  if (code < 0) throw std::runtime_error(std::string(what) + ": " + avError(code));
}
}  // namespace

Mp4Writer::Mp4Writer(const std::string& path, int W, int H, int bytesPerPixel, int crf, int audioRate)
    : W_(W), H_(H), bpp_(bytesPerPixel) {
  try {
    check(avformat_alloc_output_context2(&fmt_, nullptr, "mp4", path.c_str()), "mp4 muxer");
    const AVCodec* codec = avcodec_find_encoder(AV_CODEC_ID_H264);
    if (!codec) throw std::runtime_error("no H.264 encoder in this FFmpeg build");
    stream_ = avformat_new_stream(fmt_, nullptr);
    enc_ = avcodec_alloc_context3(codec);
    if (!stream_ || !enc_) throw std::runtime_error("out of memory");
    enc_->width = W & ~1;
    enc_->height = H & ~1;
    enc_->pix_fmt = AV_PIX_FMT_YUV420P;
    enc_->time_base = AVRational{1, 25};
    enc_->framerate = AVRational{25, 1};
    enc_->gop_size = 50;
    if (fmt_->oformat->flags & AVFMT_GLOBALHEADER) enc_->flags |= AV_CODEC_FLAG_GLOBAL_HEADER;
    av_opt_set(enc_->priv_data, "preset", "medium", 0);
    av_opt_set(enc_->priv_data, "crf", std::to_string(crf).c_str(), 0);
    check(avcodec_open2(enc_, codec, nullptr), "open H.264 encoder");
    check(avcodec_parameters_from_context(stream_->codecpar, enc_), "stream parameters");
    stream_->time_base = enc_->time_base;

    if (audioRate > 0) {
      const AVCodec* aac = avcodec_find_encoder(AV_CODEC_ID_AAC);
      if (!aac) throw std::runtime_error("no AAC encoder in this FFmpeg build");
      audioStream_ = avformat_new_stream(fmt_, nullptr);
      audioEnc_ = avcodec_alloc_context3(aac);
      if (!audioStream_ || !audioEnc_) throw std::runtime_error("out of memory");
      audioEnc_->sample_fmt = AV_SAMPLE_FMT_FLTP;
      audioEnc_->sample_rate = audioRate;
      av_channel_layout_default(&audioEnc_->ch_layout, 1);
      audioEnc_->bit_rate = 64000;
      audioEnc_->time_base = AVRational{1, audioRate};
      if (fmt_->oformat->flags & AVFMT_GLOBALHEADER) audioEnc_->flags |= AV_CODEC_FLAG_GLOBAL_HEADER;
      check(avcodec_open2(audioEnc_, aac, nullptr), "open AAC encoder");
      check(avcodec_parameters_from_context(audioStream_->codecpar, audioEnc_), "audio stream parameters");
      audioStream_->time_base = audioEnc_->time_base;
      audioFrame_ = av_frame_alloc();
      if (!audioFrame_) throw std::runtime_error("out of memory");
      audioFrame_->format = AV_SAMPLE_FMT_FLTP;
      audioFrame_->sample_rate = audioRate;
      audioFrame_->nb_samples = audioEnc_->frame_size > 0 ? audioEnc_->frame_size : 1024;
      check(av_channel_layout_copy(&audioFrame_->ch_layout, &audioEnc_->ch_layout), "audio layout");
      check(av_frame_get_buffer(audioFrame_, 0), "audio frame buffer");
    }

    check(avio_open(&fmt_->pb, path.c_str(), AVIO_FLAG_WRITE), ("open " + path).c_str());
    check(avformat_write_header(fmt_, nullptr), "write header");
    frame_ = av_frame_alloc();
    packet_ = av_packet_alloc();
    if (!frame_ || !packet_) throw std::runtime_error("out of memory");
    frame_->format = enc_->pix_fmt;
    frame_->width = enc_->width;
    frame_->height = enc_->height;
    check(av_frame_get_buffer(frame_, 0), "frame buffer");
    sws_ = sws_getContext(enc_->width, enc_->height, bpp_ == 4 ? AV_PIX_FMT_RGBA : AV_PIX_FMT_RGB24,
                          enc_->width, enc_->height, AV_PIX_FMT_YUV420P, SWS_BILINEAR, nullptr, nullptr,
                          nullptr);
    if (!sws_) throw std::runtime_error("swscale context");
  } catch (...) {
    release();
    throw;
  }
}

Mp4Writer::~Mp4Writer() { release(); }

void Mp4Writer::release() {
  sws_freeContext(sws_);
  sws_ = nullptr;
  av_packet_free(&packet_);
  av_frame_free(&frame_);
  av_frame_free(&audioFrame_);
  avcodec_free_context(&enc_);
  avcodec_free_context(&audioEnc_);
  if (fmt_) {
    if (fmt_->pb) avio_closep(&fmt_->pb);
    avformat_free_context(fmt_);
    fmt_ = nullptr;
  }
}

void Mp4Writer::writeVideo(const uint8_t* pixels) {
  check(av_frame_make_writable(frame_), "frame writable");
  const uint8_t* src[1] = {pixels};
  const int stride[1] = {W_ * bpp_};
  sws_scale(sws_, src, stride, 0, enc_->height, frame_->data, frame_->linesize);
  frame_->pts = pts_++;
  send(enc_, stream_, frame_);
}

void Mp4Writer::writeAudio(const float* samples, size_t n) {
  if (!audioEnc_) return;
  audioFifo_.insert(audioFifo_.end(), samples, samples + n);
  encodeAudio(false);
}

void Mp4Writer::encodeAudio(bool last) {
  const size_t size = static_cast<size_t>(audioFrame_->nb_samples);
  size_t at = 0;
  while (audioFifo_.size() - at >= size || (last && at < audioFifo_.size())) {
    check(av_frame_make_writable(audioFrame_), "audio frame writable");
    const size_t n = std::min(size, audioFifo_.size() - at);
    float* dst = reinterpret_cast<float*>(audioFrame_->data[0]);
    std::memcpy(dst, audioFifo_.data() + at, n * sizeof(float));
    // A short last frame where the encoder takes one, so the track ends with
    // the audio; otherwise it is padded with silence.
    const bool shortLast = n < size && (audioEnc_->codec->capabilities & AV_CODEC_CAP_SMALL_LAST_FRAME);
    if (!shortLast) std::fill(dst + n, dst + size, 0.f);
    audioFrame_->nb_samples = static_cast<int>(shortLast ? n : size);
    audioFrame_->pts = audioPts_;
    audioPts_ += audioFrame_->nb_samples;
    send(audioEnc_, audioStream_, audioFrame_);
    audioFrame_->nb_samples = static_cast<int>(size);
    at += n;
  }
  audioFifo_.erase(audioFifo_.begin(), audioFifo_.begin() + static_cast<std::ptrdiff_t>(at));
}

void Mp4Writer::finish() {
  send(enc_, stream_, nullptr);
  if (audioEnc_) {
    encodeAudio(true);
    send(audioEnc_, audioStream_, nullptr);
  }
  check(av_write_trailer(fmt_), "write trailer");
}

void Mp4Writer::send(AVCodecContext* enc, AVStream* stream, AVFrame* f) {
  check(avcodec_send_frame(enc, f), "encode");
  for (;;) {
    const int rc = avcodec_receive_packet(enc, packet_);
    if (rc == AVERROR(EAGAIN) || rc == AVERROR_EOF) return;
    check(rc, "encode");
    // A video packet is one frame long; without a duration the muxer gives
    // the last frame none and players drop it.
    if (enc == enc_ && packet_->duration <= 0) packet_->duration = 1;
    av_packet_rescale_ts(packet_, enc->time_base, stream->time_base);
    packet_->stream_index = stream->index;
    check(av_interleaved_write_frame(fmt_, packet_), "write packet");
  }
}

}  // namespace le::tools
