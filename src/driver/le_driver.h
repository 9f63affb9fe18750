// Frame sources and the buffered, read-ahead cursor over them.
//
// A `driver::Source` decodes one member of a bundle frame by frame (the driver
// video as RGB24, or the warp prior as float16 planes). A `DriverCursor` owns a
// source and a decoding thread that keeps frames decoded ahead of the reader in
// a ring that also retains recently served frames, so that the usual access
// patterns (next frame, same frame again, a little back, a little ahead) never
// wait for the decoder.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>

#include "bundle/le_bundle.h"

namespace le {
namespace driver {

// One member decoded sequentially. Not thread-safe: a cursor calls it from its
// decoding thread only.
class Source {
 public:
  virtual ~Source() = default;
  virtual int NT() const = 0;  // frames the member must hold
  virtual int W() const = 0;
  virtual int H() const = 0;
  // Bytes of one delivered frame.
  virtual size_t frameBytes() const {
    return static_cast<size_t>(W()) * static_cast<size_t>(H()) * 3;
  }
  // Decodes the frame at the current position into dst (frameBytes() bytes)
  // and advances; false at the end of the member.
  virtual bool next(uint8_t* dst) = 0;
  virtual void rewind() = 0;
  // Positions so that the next `next` delivers frame i; exact.
  virtual void seek(int i) = 0;
  // Short description of the decoding backend, for log lines.
  virtual std::string name() const = 0;
  // Estimate of what the decoder holds besides the caller's buffers.
  virtual size_t residentBytes() const = 0;
};

// "<dir>/frame_%06d.jpg": the file of frame `index` of a JPEG frame directory.
std::string jpgFrameName(const std::string& dir, int index);

// Numbered JPEG files "<dir>/frame_%06d.jpg"; touches no file until `next`.
std::unique_ptr<Source> openJpgDir(const std::string& dir, int NT, int W, int H);

}  // namespace driver

// Serves frames of a source by index from a ring of K + L + 1 decoded slots:
// up to L (look-ahead) decoded ahead of the reader and K (history) retained
// behind the current one. The source loops: after frame NT - 1 comes frame 0.
//
// Every access holds the cursor's call lock, so several threads may share a
// cursor. A pointer handed out stays valid until K + 1 further frames have
// been taken. A failure of the source is recorded once and thrown to every
// later caller.
class DriverCursor {
 public:
  struct Impl;

  DriverCursor(std::unique_ptr<driver::Source> source, int lookAhead, int history);
  ~DriverCursor();
  DriverCursor(const DriverCursor&) = delete;
  DriverCursor& operator=(const DriverCursor&) = delete;

  static std::unique_ptr<DriverCursor> over(std::unique_ptr<driver::Source> source, int lookAhead,
                                            int history);
  // The bundle's driver video: its JPEG frame directory or its movie.
  static std::unique_ptr<DriverCursor> open(const Manifest& manifest, int lookAhead, int history);
  // The bundle's HEVC 4:4:4 warp prior, one float16 CHW frame per identity row.
  static std::unique_ptr<DriverCursor> openPrior(const Manifest& manifest, int lookAhead,
                                                 int history);

  // The frame at the reader's position; the reader then moves one on.
  int pull(uint8_t* dst);
  const uint8_t* pull(int* outIndex);
  // As pull, but the caller may write into the slot; it is never served again.
  uint8_t* pullMut(int* outIndex);
  // Frame si, by index.
  int pullAt(int si, uint8_t* dst);
  const uint8_t* pullAt(int si, int* outIndex);
  uint8_t* pullMutAt(int si, int* outIndex);
  // Makes frame i the reader's position.
  void seek(int i);

  int position() const;
  uint64_t seeks() const;  // source seeks so far
  size_t residentBytes() const;

 private:
  std::unique_ptr<Impl> impl_;

 public:
  const int NT;
  const int W;
  const int H;
  const size_t frameBytes;
  const std::string backend;
};

}  // namespace le
