#include "tessera/le_bankdec_ff.h"

#include <cstdio>
#include <cstring>
#include <stdexcept>

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavcodec/version.h>
#include <libavformat/avformat.h>
#include <libswscale/swscale.h>
}

namespace le::tessera {

namespace {

[[noreturn]] void fail(const std::string& what) { throw std::runtime_error(what); }

// Owns every FFmpeg object of one decode, so each failure path frees them all.
struct BankDecode {
  MemReader reader;
  uint8_t* ioBuf = nullptr;
  AVIOContext* io = nullptr;
  AVFormatContext* fmt = nullptr;
  AVCodecContext* dec = nullptr;
  AVPacket* pkt = nullptr;
  AVFrame* frame = nullptr;
  SwsContext* sws = nullptr;

  ~BankDecode() {
    sws_freeContext(sws);
    av_frame_free(&frame);
    av_packet_free(&pkt);
    avcodec_free_context(&dec);
    // With custom I/O the demuxer leaves the I/O context to its owner.
    avformat_close_input(&fmt);
    if (io) {
      // The context may have swapped its buffer for a new one.
      av_freep(&io->buffer);
      ioBuf = nullptr;
      avio_context_free(&io);
    }
    av_freep(&ioBuf);
  }
};

}  // namespace

int memRead(void* opaque, uint8_t* buf, int size) {
  auto* r = static_cast<MemReader*>(opaque);
  const int64_t left = r->size - r->pos;
  if (left <= 0 || size <= 0) return AVERROR_EOF;
  const int64_t n = size < left ? size : left;
  std::memcpy(buf, r->data + r->pos, static_cast<size_t>(n));
  r->pos += n;
  return static_cast<int>(n);
}

int64_t memSeek(void* opaque, int64_t offset, int whence) {
  auto* r = static_cast<MemReader*>(opaque);
  if (whence & AVSEEK_SIZE) return r->size;
  int64_t target;
  switch (whence & ~AVSEEK_FORCE) {
    case SEEK_SET: target = offset; break;
    case SEEK_CUR: target = r->pos + offset; break;
    case SEEK_END: target = r->size + offset; break;
    default: return -1;
  }
  if (target < 0 || target > r->size) return -1;
  r->pos = target;
  return target;
}

std::vector<uint8_t> decodeBankTrack(const uint8_t* bytes, size_t size, int n, int h, int w,
                                     const std::vector<int32_t>& order) {
  if (!bytes || size == 0) fail("reference bank track is empty — refusing to serve");
  if (n < 1 || h < 1 || w < 1) fail("reference bank geometry is not positive — refusing to serve");
  if (order.size() != static_cast<size_t>(n)) {
    fail("reference bank sidecar track_order has " + std::to_string(order.size()) +
         " entries, expected " + std::to_string(n) + " — sidecar/track mismatch, refusing to serve");
  }

  BankDecode d;
  d.reader.data = bytes;
  d.reader.size = static_cast<int64_t>(size);
  constexpr int kIoBuf = 65536;
  d.ioBuf = static_cast<uint8_t*>(av_malloc(kIoBuf));
  if (!d.ioBuf) fail("reference bank decode: out of memory");
  d.io = avio_alloc_context(d.ioBuf, kIoBuf, 0, &d.reader, memRead, nullptr, memSeek);
  if (!d.io) fail("reference bank decode: avio_alloc_context failed");
  d.ioBuf = nullptr;  // the I/O context owns it now
  d.fmt = avformat_alloc_context();
  if (!d.fmt) fail("reference bank decode: avformat_alloc_context failed");
  d.fmt->pb = d.io;
  d.fmt->flags |= AVFMT_FLAG_CUSTOM_IO;

  if (avformat_open_input(&d.fmt, nullptr, nullptr, nullptr) < 0) {
    // A failed open frees the demuxer context itself.
    fail("reference bank track is not a readable container — refusing to serve");
  }
  if (avformat_find_stream_info(d.fmt, nullptr) < 0) {
    fail("reference bank track carries no stream info — refusing to serve");
  }
  int si = -1;
  for (unsigned i = 0; i < d.fmt->nb_streams; ++i) {
    if (d.fmt->streams[i]->codecpar->codec_type == AVMEDIA_TYPE_VIDEO) {
      si = static_cast<int>(i);
      break;
    }
  }
  if (si < 0) fail("reference bank track has no video stream — refusing to serve");
  const AVCodecParameters* par = d.fmt->streams[si]->codecpar;
  if (par->width != w || par->height != h) {
    fail("reference bank track is " + std::to_string(par->width) + "x" +
         std::to_string(par->height) + ", the geometry stamp says " + std::to_string(w) + "x" +
         std::to_string(h) + " — geometry mismatch, refusing to serve");
  }

  const AVCodec* codec = avcodec_find_decoder(par->codec_id);
  if (!codec) {
    fail("no decoder for the reference bank track — this build must carry the h264 decoder (see "
         "build_ffmpeg_android.sh); refusing to serve");
  }
  d.dec = avcodec_alloc_context3(codec);
  if (!d.dec) fail("reference bank decode: avcodec_alloc_context3 failed");
  if (avcodec_parameters_to_context(d.dec, par) < 0) {
    fail("reference bank decode: avcodec_parameters_to_context failed");
  }
  d.dec->thread_count = 1;
  if (avcodec_open2(d.dec, codec, nullptr) < 0) {
    fail("reference bank decode: could not open the decoder — refusing to serve");
  }
  d.pkt = av_packet_alloc();
  d.frame = av_frame_alloc();
  if (!d.pkt || !d.frame) fail("reference bank decode: out of memory");

  const size_t patch = static_cast<size_t>(h) * static_cast<size_t>(w) * 3;
  std::vector<uint8_t> out(static_cast<size_t>(n) * patch, 0);
  std::vector<bool> seen(static_cast<size_t>(n), false);
  for (int32_t o : order) {
    if (o < 0 || o >= n) fail("reference bank track_order is out of range — refusing to serve");
    if (seen[static_cast<size_t>(o)]) {
      fail("reference bank track_order is not a permutation — refusing to serve");
    }
    seen[static_cast<size_t>(o)] = true;
  }

  int c = 0;
  bool draining = false;
  for (bool done = false; !done;) {
    if (!draining) {
      if (av_read_frame(d.fmt, d.pkt) >= 0) {
        if (d.pkt->stream_index == si) (void)avcodec_send_packet(d.dec, d.pkt);
        av_packet_unref(d.pkt);
      } else {
        (void)avcodec_send_packet(d.dec, nullptr);
        draining = true;
      }
    }
    for (;;) {
      const int rc = avcodec_receive_frame(d.dec, d.frame);
      if (rc == AVERROR_EOF) {
        if (draining) done = true;
        break;
      }
      if (rc < 0) {
        // EAGAIN wants more input; any other error ends a drained stream too.
        if (draining && rc != AVERROR(EAGAIN)) done = true;
        break;
      }
      if (d.frame->width != w || d.frame->height != h) {
        fail("reference bank frame changed size mid-track — refusing to serve");
      }
      if (!d.sws) {
        d.sws = sws_getContext(w, h, static_cast<AVPixelFormat>(d.frame->format), w, h,
                               AV_PIX_FMT_RGB24, SWS_BILINEAR, nullptr, nullptr, nullptr);
        if (!d.sws) fail("reference bank decode: no rgb24 conversion — refusing to serve");
      }
      if (c >= n) {
        fail("bank track carries more frames than the sidecar's n_donors — sidecar/track "
             "mismatch, refusing to serve");
      }
      uint8_t* dst[4] = {out.data() + static_cast<size_t>(order[static_cast<size_t>(c)]) * patch,
                         nullptr, nullptr, nullptr};
      const int dstStride[4] = {w * 3, 0, 0, 0};
      sws_scale(d.sws, d.frame->data, d.frame->linesize, 0, h, dst, dstStride);
      av_frame_unref(d.frame);
      ++c;
    }
  }
  if (c != n) {
    fail("bank track decoded to " + std::to_string(c) + " frames, expected " + std::to_string(n) +
         " — geometry/N mismatch, refusing to serve");
  }
  return out;
}

std::string bankDecoderBuild() {
  const char* conf = avcodec_configuration();
  return "libavcodec " + std::to_string(LIBAVCODEC_VERSION_MAJOR) + "." +
         std::to_string(LIBAVCODEC_VERSION_MINOR) + "." + std::to_string(LIBAVCODEC_VERSION_MICRO) +
         " / " + (conf ? conf : "");
}

}  // namespace le::tessera
