// DriverCursor over a scripted in-memory source: ring reuse, seeks, looping,
// mutable slots, seek generations, failures and concurrent callers.
#include <atomic>
#include <chrono>
#include <climits>
#include <condition_variable>
#include <cstring>
#include <functional>
#include <mutex>
#include <random>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "driver/le_driver.h"
#include "support/error_text.h"

using le::test::errorOf;
using ::testing::HasSubstr;
using namespace std::chrono_literals;

namespace {

constexpr int kW = 4;
constexpr int kH = 2;
constexpr size_t kFrameBytes = kW * kH * 3;

// Byte k of frame f.
uint8_t fill(int f, size_t k) { return static_cast<uint8_t>(f * 31 + k * 7 + 1); }

bool holdsFrame(const uint8_t* p, int f) {
  for (size_t k = 0; k < kFrameBytes; ++k)
    if (p[k] != fill(f, k)) return false;
  return true;
}

// What the test sees of the source the cursor owns.
struct Script {
  std::mutex m;
  std::condition_variable cv;
  int gateFrame = -1;          // next() of this frame waits until opened
  bool gateOpen = false;
  bool gateThrows = false;     // when opened, throw instead of decoding
  std::string gateError = "scripted decode fault";
  bool blocked = false;
  int shortAfter = -1;         // next() returns false once this many frames were read
  bool seekThrows = false;
  std::string seekError = "scripted seek fault";
  std::atomic<int> nexts{0};
  std::atomic<int> seeks{0};
  std::atomic<int> rewinds{0};
  std::atomic<int> lastSeek{-1};

  void open(bool throwInstead = false) {
    std::lock_guard<std::mutex> lk(m);
    gateOpen = true;
    gateThrows = throwInstead;
    cv.notify_all();
  }
  void waitBlocked() {
    std::unique_lock<std::mutex> lk(m);
    cv.wait(lk, [&] { return blocked; });
  }
};

class ScriptedSource final : public le::driver::Source {
 public:
  ScriptedSource(int NT, std::shared_ptr<Script> s) : NT_(NT), s_(std::move(s)) {}
  int NT() const override { return NT_; }
  int W() const override { return kW; }
  int H() const override { return kH; }
  bool next(uint8_t* dst) override {
    if (s_->shortAfter >= 0 && pos_ >= s_->shortAfter) return false;
    if (pos_ >= NT_) return false;
    if (pos_ == s_->gateFrame) {
      std::unique_lock<std::mutex> lk(s_->m);
      s_->blocked = true;
      s_->cv.notify_all();
      s_->cv.wait(lk, [&] { return s_->gateOpen; });
      s_->blocked = false;
      s_->gateFrame = -1;
      if (s_->gateThrows) throw std::runtime_error(s_->gateError);
    }
    for (size_t k = 0; k < kFrameBytes; ++k) dst[k] = fill(pos_, k);
    ++pos_;
    ++s_->nexts;
    return true;
  }
  void rewind() override {
    pos_ = 0;
    ++s_->rewinds;
  }
  void seek(int i) override {
    if (s_->seekThrows) throw std::runtime_error(s_->seekError);
    if (i < 0 || i >= NT_) throw std::runtime_error("le_driver: seek outside the member");
    pos_ = i;
    ++s_->seeks;
    s_->lastSeek = i;
  }
  std::string name() const override { return "scripted"; }
  size_t residentBytes() const override { return 1000; }

 private:
  const int NT_;
  int pos_ = 0;
  std::shared_ptr<Script> s_;
};

struct Rig {
  Rig(int NT, int lookAhead, int history, std::function<void(Script&)> setup = nullptr)
      : script(std::make_shared<Script>()) {
    if (setup) setup(*script);
    cursor = le::DriverCursor::over(std::make_unique<ScriptedSource>(NT, script), lookAhead, history);
  }
  // Waits until the thread has decoded n frames in total.
  void waitDecoded(int n) {
    for (int i = 0; i < 10000 && script->nexts.load() < n; ++i) std::this_thread::sleep_for(1ms);
    ASSERT_GE(script->nexts.load(), n);
  }
  std::shared_ptr<Script> script;
  std::unique_ptr<le::DriverCursor> cursor;
};

}  // namespace

TEST(DriverCursor, SequentialPullsLoopAfterTheLastFrame) {
  Rig r(5, 2, 2);
  EXPECT_EQ(r.cursor->NT, 5);
  EXPECT_EQ(r.cursor->frameBytes, kFrameBytes);
  EXPECT_EQ(r.cursor->backend, "scripted");
  uint8_t buf[kFrameBytes];
  for (int n = 0; n < 12; ++n) {
    const int want = n % 5;
    EXPECT_EQ(r.cursor->pull(buf), want);
    EXPECT_TRUE(holdsFrame(buf, want)) << n;
    EXPECT_EQ(r.cursor->position(), (want + 1) % 5);
  }
  EXPECT_EQ(r.cursor->seeks(), 0u);
  EXPECT_EQ(r.script->seeks.load(), 0);
  EXPECT_GE(r.script->rewinds.load(), 2);
}

TEST(DriverCursor, PointerFormsServeTheRingInPlace) {
  Rig r(6, 3, 1);
  int idx = -1;
  const uint8_t* a = r.cursor->pull(&idx);
  EXPECT_EQ(idx, 0);
  EXPECT_TRUE(holdsFrame(a, 0));
  const uint8_t* b = r.cursor->pullAt(0, &idx);  // the frame just taken, again
  EXPECT_EQ(b, a);
  EXPECT_EQ(idx, 0);
  const uint8_t* c = r.cursor->pull(&idx);
  EXPECT_EQ(idx, 1);
  EXPECT_TRUE(holdsFrame(c, 1));
  EXPECT_EQ(r.cursor->seeks(), 0u);
}

TEST(DriverCursor, HistoryRevisitsCostNoSourceSeek) {
  Rig r(20, 2, 3);
  uint8_t buf[kFrameBytes];
  for (int f = 0; f <= 5; ++f) ASSERT_EQ(r.cursor->pull(buf), f);
  for (int f : {3, 5, 2, 4}) {
    int idx = -1;
    const uint8_t* p = r.cursor->pullAt(f, &idx);
    EXPECT_EQ(idx, f);
    EXPECT_TRUE(holdsFrame(p, f)) << f;
  }
  // The reader carries on from the revisited frame.
  EXPECT_EQ(r.cursor->pull(buf), 5);
  EXPECT_EQ(r.cursor->pull(buf), 6);
  EXPECT_TRUE(holdsFrame(buf, 6));
  EXPECT_EQ(r.cursor->seeks(), 0u);
  EXPECT_EQ(r.script->seeks.load(), 0);
}

TEST(DriverCursor, LookAheadJumpsCostNoSourceSeek) {
  Rig r(20, 4, 1);
  uint8_t buf[kFrameBytes];
  ASSERT_EQ(r.cursor->pull(buf), 0);
  r.waitDecoded(5);  // frames 1..4 wait ahead of the reader
  EXPECT_EQ(r.cursor->pullAt(3, buf), 3);
  EXPECT_TRUE(holdsFrame(buf, 3));
  EXPECT_EQ(r.cursor->pull(buf), 4);
  r.waitDecoded(9);  // 5..8 ahead now
  // The frame after the look-ahead is the one the thread decodes next: the
  // look-ahead is dropped instead of seeking.
  r.cursor->seek(4);  // history
  EXPECT_EQ(r.cursor->pullAt(9, buf), 9);
  EXPECT_TRUE(holdsFrame(buf, 9));
  EXPECT_EQ(r.cursor->seeks(), 0u);
  EXPECT_EQ(r.script->seeks.load(), 0);
}

TEST(DriverCursor, JumpsOutsideTheRingSeekTheSourceOnce) {
  Rig r(40, 2, 2);
  uint8_t buf[kFrameBytes];
  EXPECT_EQ(r.cursor->pullAt(30, buf), 30);
  EXPECT_TRUE(holdsFrame(buf, 30));
  EXPECT_EQ(r.cursor->seeks(), 1u);
  for (int f = 31; f < 40; ++f) {
    EXPECT_EQ(r.cursor->pull(buf), f);
    EXPECT_TRUE(holdsFrame(buf, f));
  }
  EXPECT_EQ(r.cursor->pull(buf), 0);  // loops without seeking
  EXPECT_EQ(r.cursor->seeks(), 1u);
  EXPECT_EQ(r.cursor->pullAt(20, buf), 20);  // far behind the history
  EXPECT_TRUE(holdsFrame(buf, 20));
  EXPECT_EQ(r.cursor->seeks(), 2u);
  EXPECT_EQ(r.script->lastSeek.load(), 20);
  r.cursor->seek(20);  // the frame just taken: history, free
  EXPECT_EQ(r.cursor->seeks(), 2u);
}

TEST(DriverCursor, MutableSlotsAreNeverServedAgain) {
  Rig r(20, 2, 6);
  int idx = -1;
  uint8_t buf[kFrameBytes];
  ASSERT_EQ(r.cursor->pull(buf), 0);
  uint8_t* m = r.cursor->pullMut(&idx);
  ASSERT_EQ(idx, 1);
  std::memset(m, 0xEE, kFrameBytes);  // the face pasted in
  EXPECT_EQ(r.cursor->pull(buf), 2);
  EXPECT_EQ(r.cursor->seeks(), 0u);

  // Frame 1 was written into, and frame 0 lies below it: both come fresh.
  EXPECT_EQ(r.cursor->pullAt(1, buf), 1);
  EXPECT_TRUE(holdsFrame(buf, 1));
  EXPECT_EQ(r.cursor->seeks(), 1u);
  EXPECT_EQ(r.cursor->pullAt(0, buf), 0);
  EXPECT_EQ(r.cursor->seeks(), 2u);

  for (int f = 1; f <= 4; ++f) ASSERT_EQ(r.cursor->pull(buf), f);
  uint8_t* m2 = r.cursor->pullMutAt(5, &idx);  // the upcoming frame: no seek
  ASSERT_EQ(idx, 5);
  std::memset(m2, 0xEE, kFrameBytes);
  EXPECT_EQ(r.cursor->seeks(), 2u);
  EXPECT_EQ(r.cursor->pullAt(5, buf), 5);
  EXPECT_TRUE(holdsFrame(buf, 5));
  EXPECT_EQ(r.cursor->seeks(), 3u);
}

TEST(DriverCursor, FrameDecodedAcrossASeekIsDiscarded) {
  Rig r(30, 2, 0, [](Script& s) { s.gateFrame = 2; });
  uint8_t buf[kFrameBytes];
  ASSERT_EQ(r.cursor->pull(buf), 0);
  r.script->waitBlocked();  // the thread is inside next() for frame 2
  std::atomic<int> got{-1};
  std::vector<uint8_t> jumped(kFrameBytes);
  std::thread reader([&] { got = r.cursor->pullAt(17, jumped.data()); });
  for (int i = 0; i < 10000 && r.cursor->seeks() == 0; ++i) std::this_thread::sleep_for(1ms);
  ASSERT_EQ(r.cursor->seeks(), 1u);
  r.script->open();
  reader.join();
  EXPECT_EQ(got.load(), 17);
  EXPECT_TRUE(holdsFrame(jumped.data(), 17));
  // Frame 2 never reaches a reader: the sequence goes on from 18.
  for (int f = 18; f < 22; ++f) {
    EXPECT_EQ(r.cursor->pull(buf), f);
    EXPECT_TRUE(holdsFrame(buf, f));
  }
  EXPECT_EQ(r.script->seeks.load(), 1);
  EXPECT_EQ(r.script->lastSeek.load(), 17);
}

TEST(DriverCursor, ShortSourceFailsWithTheRecordedMessage) {
  Rig r(6, 2, 1, [](Script& s) { s.shortAfter = 4; });
  const std::string want =
      "le_driver: scripted ended after 4 frames, the manifest says NT=6 — a short driver is a "
      "session that stops part way through the loop, refusing";
  uint8_t buf[kFrameBytes];
  int served = 0;
  std::string err;
  for (int n = 0; n < 10 && err.empty(); ++n) {
    err = errorOf([&] {
      EXPECT_EQ(r.cursor->pull(buf), n);
      EXPECT_TRUE(holdsFrame(buf, n));
      ++served;
    });
    if (err == "(no error)") err.clear();
  }
  EXPECT_EQ(err, want);
  EXPECT_LE(served, 4);
  // Permanent: every later access reports the same failure.
  EXPECT_EQ(errorOf([&] { r.cursor->pull(buf); }), want);
  EXPECT_EQ(errorOf([&] { r.cursor->pullAt(0, buf); }), want);
  EXPECT_EQ(errorOf([&] { r.cursor->seek(1); }), want);
}

TEST(DriverCursor, EveryWaitingCallerGetsTheFailure) {
  Rig r(10, 1, 0, [](Script& s) { s.gateFrame = 1; });
  uint8_t buf[kFrameBytes];
  ASSERT_EQ(r.cursor->pull(buf), 0);
  r.script->waitBlocked();
  std::vector<std::string> errors(3);
  std::vector<std::thread> callers;
  for (int t = 0; t < 3; ++t)
    callers.emplace_back([&, t] {
      errors[t] = errorOf([&] {
        std::vector<uint8_t> b(kFrameBytes);
        r.cursor->pull(b.data());
      });
    });
  std::this_thread::sleep_for(20ms);
  r.script->open(/*throwInstead=*/true);
  for (auto& c : callers) c.join();
  for (const std::string& e : errors) EXPECT_EQ(e, "le_driver: scripted decode fault");
}

TEST(DriverCursor, SourceMessagesCarryThePrefixOnce) {
  Rig r(10, 1, 0, [](Script& s) {
    s.gateFrame = 1;
    s.gateError = "le_driver: /b/driver.mp4 decode fault at frame 1 (Invalid data)";
  });
  uint8_t buf[kFrameBytes];
  ASSERT_EQ(r.cursor->pull(buf), 0);
  r.script->waitBlocked();
  r.script->open(/*throwInstead=*/true);
  EXPECT_EQ(errorOf([&] { r.cursor->pull(buf); }),
            "le_driver: /b/driver.mp4 decode fault at frame 1 (Invalid data)");
  Rig seeking(40, 2, 0, [](Script& s) {
    s.seekThrows = true;
    s.seekError = "le_driver: /b/driver.mp4 ended at frame 3 while seeking to 30";
  });
  EXPECT_EQ(errorOf([&] { seeking.cursor->pullAt(30, buf); }),
            "le_driver: seek failed: /b/driver.mp4 ended at frame 3 while seeking to 30");
}

TEST(DriverCursor, SourceSeekFailureIsRecorded) {
  Rig r(40, 2, 0, [](Script& s) { s.seekThrows = true; });
  uint8_t buf[kFrameBytes];
  EXPECT_EQ(errorOf([&] { r.cursor->pullAt(30, buf); }), "le_driver: seek failed: scripted seek fault");
  EXPECT_EQ(errorOf([&] { r.cursor->pull(buf); }), "le_driver: seek failed: scripted seek fault");
}

TEST(DriverCursor, IndicesOutsideTheMemberAreRefused) {
  Rig r(5, 2, 1);
  uint8_t buf[kFrameBytes];
  EXPECT_EQ(errorOf([&] { r.cursor->seek(5); }), "le_driver: seek(5) outside [0,5)");
  EXPECT_EQ(errorOf([&] { r.cursor->pullAt(-1, buf); }), "le_driver: seek(-1) outside [0,5)");
  // A refused index leaves the cursor healthy.
  EXPECT_EQ(r.cursor->pull(buf), 0);
}

TEST(DriverCursor, RingSizeFollowsLookAheadAndHistory) {
  Rig a(5, 0, -3);  // look-ahead 0 behaves as 1, negative history as 0
  EXPECT_EQ(a.cursor->residentBytes(), kFrameBytes * 2 + 1000);
  uint8_t buf[kFrameBytes];
  for (int n = 0; n < 7; ++n) EXPECT_EQ(a.cursor->pull(buf), n % 5);
  Rig b(5, 3, 2);
  EXPECT_EQ(b.cursor->residentBytes(), kFrameBytes * 6 + 1000);
  EXPECT_THAT(errorOf([] { Rig c(5, 2, INT_MAX); }), HasSubstr("does not fit in memory"));
}

TEST(DriverCursor, DestroyedWhileTheSourceIsDecoding) {
  Rig r(10, 2, 0, [](Script& s) { s.gateFrame = 1; });
  r.script->waitBlocked();
  std::thread opener([&] {
    std::this_thread::sleep_for(20ms);
    r.script->open();
  });
  r.cursor.reset();  // joins once next() returns
  opener.join();
  for (int i = 0; i < 50; ++i) Rig quick(3, 1, 1);  // start and stop at once
}

TEST(DriverCursor, ConcurrentCallersSeeConsistentFrames) {
  Rig r(17, 3, 4);
  std::atomic<int> bad{0};
  std::vector<std::thread> threads;
  for (int t = 0; t < 4; ++t)
    threads.emplace_back([&, t] {
      std::mt19937 rng(static_cast<unsigned>(t) * 7919u + 1);
      std::vector<uint8_t> buf(kFrameBytes);
      for (int n = 0; n < 300; ++n) {
        const int si = static_cast<int>(rng() % 17);
        switch (rng() % 4) {
          case 0:
            if (r.cursor->pullAt(si, buf.data()) != si || !holdsFrame(buf.data(), si)) ++bad;
            break;
          case 1: {
            const int got = r.cursor->pull(buf.data());
            if (!holdsFrame(buf.data(), got)) ++bad;
            break;
          }
          case 2: {
            // A slot pointer is only guaranteed to its caller until K + 1
            // further takes, which other threads may make at once; so
            // concurrent callers check indices here, contents above.
            int idx = -1;
            r.cursor->pullMutAt(si, &idx);
            if (idx != si) ++bad;
            break;
          }
          default:
            r.cursor->seek(si);
            break;
        }
        (void)r.cursor->position();
        (void)r.cursor->seeks();
        (void)r.cursor->residentBytes();
      }
    });
  for (auto& t : threads) t.join();
  EXPECT_EQ(bad.load(), 0);
}
