#include "driver/le_driver.h"

#include <unistd.h>

#include <algorithm>
#include <climits>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <stdexcept>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

#include "bundle/le_fs.h"
#include "bundle/le_layout.h"
#include "core/le_env.h"
#include "core/le_error.h"
#include "core/le_image.h"
#include "driver/le_driver_ff.h"
#include "le/le.h"

namespace le {

// ---- JPEG frame directory ------------------------------------------------------

namespace driver {

std::string jpgFrameName(const std::string& dir, int index) {
  // Built as a string: no directory is too long to name its frames.
  char number[16];
  std::snprintf(number, sizeof number, "%06d", index);
  return dir + "/frame_" + number + ".jpg";
}

namespace {

class JpgDirSource final : public Source {
 public:
  JpgDirSource(std::string dir, int NT, int W, int H) : dir_(std::move(dir)), NT_(NT), W_(W), H_(H) {}

  int NT() const override { return NT_; }
  int W() const override { return W_; }
  int H() const override { return H_; }

  bool next(uint8_t* dst) override {
    if (position_ >= NT_) return false;
    const std::string path = jpgFrameName(dir_, position_);
    // A missing or broken file is "decode failed: <path>".
    const ImageRGB img = loadImageRGB(path);
    if (img.width != W_ || img.height != H_)
      throw std::runtime_error("le_driver: " + path + " is " +
                               std::to_string(img.width) + "x" + std::to_string(img.height) +
                               ", the manifest says " + std::to_string(W_) + "x" +
                               std::to_string(H_) + " — refusing");
    std::memcpy(dst, img.rgb.data(), frameBytes());
    ++position_;
    return true;
  }

  void rewind() override { position_ = 0; }

  void seek(int i) override {
    if (i < 0 || i >= NT_) throw std::runtime_error("le_driver: seek outside the member");
    position_ = i;
  }

  std::string name() const override { return "jpg/stb"; }
  size_t residentBytes() const override { return 0; }

 private:
  const std::string dir_;
  const int32_t NT_;
  const int32_t W_;
  const int32_t H_;
  int32_t position_ = 0;
};

}  // namespace

std::unique_ptr<Source> openJpgDir(const std::string& dir, int NT, int W, int H) {
  return std::make_unique<JpgDirSource>(dir, NT, W, H);
}

}  // namespace driver

// ---- Cursor state shared with the decoding thread --------------------------------

namespace {

// What a cursor keeps: at least one frame ahead, no negative history. The
// open log lines report these, the values the ring is built with.
int ringLookAhead(int lookAhead) { return std::max(lookAhead, 1); }
int ringHistory(int history) { return std::max(history, 0); }

}  // namespace

struct DriverCursor::Impl {
  Impl(std::unique_ptr<driver::Source> src, int lookAhead, int history)
      : source(std::move(src)),
        NT(source->NT()),
        W(source->W()),
        H(source->H()),
        frameBytes(source->frameBytes()),
        L(ringLookAhead(lookAhead)),
        K(ringHistory(history)),
        R(ringSlots(K, L, frameBytes)),
        ring(static_cast<size_t>(R)),
        slotFrame(static_cast<size_t>(R), -1),
        sourceResident(source->residentBytes()) {
    for (auto& slot : ring) slot.assign(frameBytes, 0);
  }

  ~Impl() {
    {
      std::lock_guard<std::mutex> lk(state);
      stop = true;
    }
    space.notify_all();
    ready.notify_all();
    if (thread.joinable()) thread.join();
  }

  void start() { thread = std::thread([this] { run(); }); }

  // K + L + 1, refused when it overflows or the ring could never be held in
  // memory (zero-filling it would take the host down rather than fail).
  static int32_t ringSlots(int32_t K, int32_t L, size_t frameBytes) {
    const int64_t slots = static_cast<int64_t>(K) + L + 1;
    const long pages = ::sysconf(_SC_PHYS_PAGES);
    const long pageSize = ::sysconf(_SC_PAGESIZE);
    const double physical = pages > 0 && pageSize > 0 ? static_cast<double>(pages) * pageSize : 0;
    const double bytes = static_cast<double>(slots) * static_cast<double>(frameBytes);
    if (slots > INT32_MAX || (physical > 0 && bytes > physical))
      throw std::runtime_error("le_driver: a ring of " + std::to_string(slots) + " frames of " +
                               std::to_string(frameBytes) +
                               " bytes does not fit in memory (look-ahead " + std::to_string(L) +
                               ", history " + std::to_string(K) + ") — refusing");
    return static_cast<int32_t>(slots);
  }

  void run();
  uint8_t* take(bool mutableSlot, int* outIndex);
  void seekTo(int a);
  void recordFailure(const std::string& message);
  // Runs one source operation (off the lock); a failure is recorded as
  // prefix + its text and the thread is to end (false).
  template <typename Fn>
  bool sourceStep(const char* prefix, Fn&& fn) {
    try {
      fn();
      return true;
    } catch (const std::exception& e) {
      // The sources name themselves in their own refusals; the cursor's prefix
      // replaces theirs so a message reads "le_driver: <path> …" once.
      static constexpr std::string_view kOwn = "le_driver: ";
      std::string_view text = e.what();
      if (text.substr(0, kOwn.size()) == kOwn) text.remove_prefix(kOwn.size());
      recordFailure(prefix + std::string(text));
    } catch (...) {
      recordFailure(prefix + std::string("unknown exception"));
    }
    return false;
  }
  [[noreturn]] void throwFailure() const { throw std::runtime_error(failure); }
  uint8_t* slotOf(uint64_t seq) { return ring[seq % static_cast<uint64_t>(R)].data(); }
  int32_t& frameOf(uint64_t seq) { return slotFrame[seq % static_cast<uint64_t>(R)]; }

  std::unique_ptr<driver::Source> source;
  const int32_t NT;
  const int32_t W;
  const int32_t H;
  const size_t frameBytes;
  const int32_t L;
  const int32_t K;
  const int32_t R;
  std::vector<std::vector<uint8_t>> ring;
  std::vector<int32_t> slotFrame;

  std::mutex state;
  std::mutex call;
  std::condition_variable space;
  std::condition_variable ready;

  uint64_t read = 0;
  uint64_t write = 0;
  uint64_t floor = 0;
  bool busy = false;
  int32_t nextFrame = 0;
  int32_t position = 0;
  int32_t sourcePosition = 0;
  int32_t pendingSeek = -1;
  uint64_t generation = 0;
  bool stop = false;
  std::string failure;
  uint64_t seekCount = 0;
  // The source is the thread's alone once it runs, so its resident size is
  // sampled by the thread and read from here.
  size_t sourceResident = 0;
  std::thread thread;
};

void DriverCursor::Impl::recordFailure(const std::string& message) {
  std::lock_guard<std::mutex> lk(state);
  if (failure.empty()) failure = message.empty() ? "le_driver: unknown failure" : message;
  ready.notify_all();
}

void DriverCursor::Impl::run() {
  std::unique_lock<std::mutex> lk(state);
  for (;;) {
    if (stop) return;
    if (pendingSeek >= 0) {
      const int32_t target = pendingSeek;
      nextFrame = target;
      pendingSeek = -1;
      lk.unlock();
      size_t resident = 0;
      if (!sourceStep("le_driver: seek failed: ", [&] {
            source->seek(target);
            resident = source->residentBytes();
          }))
        return;
      lk.lock();
      sourcePosition = target;
      sourceResident = resident;
      continue;
    }
    if (write - read < static_cast<uint64_t>(L)) {
      const uint64_t seq = write;
      const uint64_t gen = generation;
      const int32_t frame = nextFrame;
      uint8_t* slot = slotOf(seq);
      busy = true;
      lk.unlock();
      // sourcePosition belongs to this thread alone.
      size_t resident = 0;
      if (!sourceStep("le_driver: ", [&] {
            if (sourcePosition == NT) {
              source->rewind();
              sourcePosition = 0;
            }
            if (!source->next(slot))
              throw std::runtime_error(source->name() + " ended after " +
                                       std::to_string(sourcePosition) +
                                       " frames, the manifest says NT=" + std::to_string(NT) +
                                       " — a short driver is a session that stops part way "
                                       "through the loop, refusing");
            resident = source->residentBytes();
          }))
        return;
      lk.lock();
      ++sourcePosition;
      sourceResident = resident;
      busy = false;
      if (gen == generation) {
        frameOf(seq) = frame;
        ++write;
        nextFrame = (frame + 1) % NT;
        ready.notify_all();
      }
      continue;
    }
    space.wait(lk);
  }
}

uint8_t* DriverCursor::Impl::take(bool mutableSlot, int* outIndex) {
  std::unique_lock<std::mutex> lk(state);
  while (failure.empty()) {
    if (read < write) {
      const uint64_t q = read++;
      if (mutableSlot) floor = q + 1;
      space.notify_one();
      const int32_t frame = frameOf(q);
      position = (frame + 1) % NT;
      if (outIndex) *outIndex = frame;
      return slotOf(q);
    }
    ready.wait(lk);
  }
  throwFailure();
}

void DriverCursor::Impl::seekTo(int a) {
  if (a < 0 || a >= NT)
    throw std::runtime_error("le_driver: seek(" + std::to_string(a) + ") outside [0," +
                             std::to_string(NT) + ")");
  std::lock_guard<std::mutex> lk(state);
  if (!failure.empty()) throwFailure();
  position = a;
  int32_t upcoming;
  if (read < write)
    upcoming = frameOf(read);
  else if (pendingSeek >= 0)
    upcoming = pendingSeek;
  else
    upcoming = nextFrame;
  if (upcoming == a) return;

  if (pendingSeek < 0) {
    const uint64_t ringSize = static_cast<uint64_t>(R);
    uint64_t lowest = floor;
    if (write >= ringSize) lowest = std::max(lowest, write + (busy ? 1 : 0) - ringSize);
    if (read > static_cast<uint64_t>(K) + 1) lowest = std::max(lowest, read - 1 - K);
    for (uint64_t q = lowest; q < write; ++q) {
      if (frameOf(q) == a) {
        read = q;
        space.notify_one();
        return;
      }
    }
    if (nextFrame == a) {
      read = write;
      space.notify_one();
      return;
    }
  }
  read = write;
  pendingSeek = a;
  ++generation;
  ++seekCount;
  space.notify_one();
}

// ---- DriverCursor -------------------------------------------------------------------

DriverCursor::DriverCursor(std::unique_ptr<driver::Source> source, int lookAhead, int history)
    : impl_(std::make_unique<Impl>(std::move(source), lookAhead, history)),
      NT(impl_->NT),
      W(impl_->W),
      H(impl_->H),
      frameBytes(impl_->frameBytes),
      backend(impl_->source->name()) {
  impl_->start();
}

DriverCursor::~DriverCursor() = default;

std::unique_ptr<DriverCursor> DriverCursor::over(std::unique_ptr<driver::Source> source,
                                                 int lookAhead, int history) {
  if (!source) throw std::runtime_error("le_driver: no source");
  return std::make_unique<DriverCursor>(std::move(source), lookAhead, history);
}

int DriverCursor::pull(uint8_t* dst) {
  int index = -1;
  std::lock_guard<std::mutex> call(impl_->call);
  impl_->seekTo(position());
  const uint8_t* slot = impl_->take(false, &index);
  std::memcpy(dst, slot, frameBytes);
  return index;
}

const uint8_t* DriverCursor::pull(int* outIndex) {
  std::lock_guard<std::mutex> call(impl_->call);
  impl_->seekTo(position());
  return impl_->take(false, outIndex);
}

uint8_t* DriverCursor::pullMut(int* outIndex) {
  std::lock_guard<std::mutex> call(impl_->call);
  impl_->seekTo(position());
  return impl_->take(true, outIndex);
}

namespace {

uint8_t* takeFrame(DriverCursor::Impl& impl, int si, bool mutableSlot, int* outIndex) {
  impl.seekTo(si);
  int index = -1;
  uint8_t* slot = impl.take(mutableSlot, &index);
  if (outIndex) *outIndex = index;
  if (index != si)
    throw std::runtime_error("le_driver: cursor yielded frame " + std::to_string(index) +
                             " for si=" + std::to_string(si));
  return slot;
}

}  // namespace

int DriverCursor::pullAt(int si, uint8_t* dst) {
  std::lock_guard<std::mutex> call(impl_->call);
  std::memcpy(dst, takeFrame(*impl_, si, false, nullptr), frameBytes);
  return si;
}

const uint8_t* DriverCursor::pullAt(int si, int* outIndex) {
  std::lock_guard<std::mutex> call(impl_->call);
  return takeFrame(*impl_, si, false, outIndex);
}

uint8_t* DriverCursor::pullMutAt(int si, int* outIndex) {
  std::lock_guard<std::mutex> call(impl_->call);
  return takeFrame(*impl_, si, true, outIndex);
}

void DriverCursor::seek(int i) {
  std::lock_guard<std::mutex> call(impl_->call);
  impl_->seekTo(i);
}

int DriverCursor::position() const {
  std::lock_guard<std::mutex> lk(impl_->state);
  return impl_->position;
}

uint64_t DriverCursor::seeks() const {
  std::lock_guard<std::mutex> lk(impl_->state);
  return impl_->seekCount;
}

size_t DriverCursor::residentBytes() const {
  std::lock_guard<std::mutex> lk(impl_->state);
  return frameBytes * static_cast<size_t>(impl_->R) + impl_->sourceResident;
}

// ---- Choosing the member ------------------------------------------------------------

namespace {

std::string orDefault(const std::string& name, const char* fallback) {
  return name.empty() ? std::string(fallback) : name;
}

// A movie member is handed to FFmpeg only once it opens as a regular file:
// FFmpeg would block forever on a FIFO in its place.
void requireMemberFile(const std::string& path) { fs::MemberFile check(path); }

}  // namespace

std::unique_ptr<DriverCursor> DriverCursor::open(const Manifest& m, int lookAhead, int history) {
  const std::string jpgName = orDefault(m.driverFramesName, "target_frames");
  const std::string mp4Name = orDefault(m.driverMovieName, "target_frames.mp4");

  const std::string jpgDir = m.dir + "/" + jpgName;
  const bool populated = fs::memberExists(driver::jpgFrameName(jpgDir, m.NT - 1));
  const std::string mp4Path = resolveMember(m.dir, mp4Name);

  const bool preferMp4 = envIsExactly1("LE_DRIVER_PREFER_MP4") && fs::memberExists(mp4Path);
  if (preferMp4 && populated)
    std::fprintf(stderr,
                 "[le-driver] LE_DRIVER_PREFER_MP4=1 — %s/ is populated and NOT used; %s is the "
                 "member this consumer reads\n",
                 jpgName.c_str(), mp4Name.c_str());
  if (!preferMp4 && populated) {
    std::fprintf(stderr, "[le-driver] %s/ (raw jpg, %d frames) — read one frame per pull\n",
                 jpgName.c_str(), m.NT);
    return over(driver::openJpgDir(jpgDir, m.NT, m.W, m.H), lookAhead, history);
  }
  if (!fs::memberExists(mp4Path))
    throw std::runtime_error("this bundle carries neither a populated " + jpgName + "/ nor " +
                             mp4Name + " (" + mp4Path +
                             ") — there is no driver video to play. REFUSING to create a session.");
  requireMemberFile(mp4Path);
  auto source = driver::openMp4(mp4Path, m.NT, m.W, m.H);
  std::fprintf(stderr,
               "[le-driver] %s decoded IN PLACE (%s, %d frames %dx%d, look-ahead %d, history %d) "
               "— no frame of the driver is expanded ahead of the paste\n",
               mp4Name.c_str(), source->name().c_str(), m.NT, m.W, m.H, ringLookAhead(lookAhead),
               ringHistory(history));
  return over(std::move(source), lookAhead, history);
}

std::unique_ptr<DriverCursor> DriverCursor::openPrior(const Manifest& m, int lookAhead,
                                                      int history) {
  const std::string name = orDefault(m.hevcPriorName, "P_hevc.mov");
  const std::string path = resolveMember(m.dir, name);
  if (!fs::memberExists(path))
    throw std::runtime_error("this bundle carries neither a raw P.f16 nor " + name + " (" + path +
                             ") — there is no warp prior to play. REFUSING to create a session.");
  requireMemberFile(path);
  auto source = driver::openPriorHevc(path, m.NT, m.crop);
  std::fprintf(stderr,
               "[le-prior] %s decoded IN PLACE (%s, %d frames %dx%d f16 CHW, look-ahead %d, "
               "history %d) — no P.f16 is expanded or mapped\n",
               name.c_str(), source->name().c_str(), m.NT, m.crop, m.crop, ringLookAhead(lookAhead),
               ringHistory(history));
  return over(std::move(source), lookAhead, history);
}

}  // namespace le

// ---- Prior access for hosts -----------------------------------------------------------

struct le_prior {
  le::Manifest manifest;
  std::unique_ptr<le::DriverCursor> cursor;
  std::string backend;
};

using le::capi::Family;

extern "C" {

LE_API le_prior* le_prior_open(const char* bundle_dir, int look_ahead, int history) {
  return le::capi::guarded(Family::Core, "le_prior_open", static_cast<le_prior*>(nullptr),
                           [&]() -> le_prior* {
                             if (!bundle_dir) {
                               le::capi::setError(Family::Core, "le_prior_open: NULL bundle_dir");
                               return nullptr;
                             }
                             auto p = std::make_unique<le_prior>();
                             p->manifest = le::loadManifest(bundle_dir);
                             // A ring of more than NT rows would only hold rows
                             // twice, and a huge request would tie up memory.
                             const int rows = std::max(p->manifest.NT, 2);
                             const int ahead = std::min(look_ahead < 1 ? le::kCursorLookAhead : look_ahead, rows - 1);
                             const int behind = std::min(std::max(history, 0), rows - 1 - ahead);
                             p->cursor = le::DriverCursor::openPrior(p->manifest, ahead, behind);
                             p->backend = p->cursor->backend;
                             return p.release();
                           });
}

LE_API size_t le_prior_row_bytes(const le_prior* prior) {
  return le::capi::silent(static_cast<size_t>(0), [&]() -> size_t {
    return prior ? prior->cursor->frameBytes : 0;
  });
}

LE_API int le_prior_row(le_prior* prior, int si, uint8_t* out, size_t cap) {
  return le::capi::guarded(Family::Core, "le_prior_row", 0, [&]() -> int {
    if (!prior || !out) {
      le::capi::setError(Family::Core, "le_prior_row: NULL prior/out");
      return 0;
    }
    const size_t need = prior->cursor->frameBytes;
    if (cap < need) {
      le::capi::setError(Family::Core, "le_prior_row: cap " + std::to_string(cap) +
                                           " < row bytes " + std::to_string(need));
      return 0;
    }
    prior->cursor->pullAt(si, out);
    return 1;
  });
}

LE_API const char* le_prior_backend(const le_prior* prior) {
  return prior ? prior->backend.c_str() : "";
}

LE_API void le_prior_close(le_prior* prior) {
  le::capi::silent(0, [&]() -> int {
    std::unique_ptr<le_prior> owned(prior);
    return 0;
  });
}

}  // extern "C"
