// Per-thread, per-family last-error strings and the entry-point wrapper.
#include <gtest/gtest.h>

#include <stdexcept>
#include <string>
#include <atomic>
#include <thread>
#include <vector>

#include "core/le_error.h"
#include "le/le.h"
#include "le/le_a2x.h"

using le::capi::Family;
using le::capi::guarded;
using le::capi::guardedVoid;
using le::capi::lastError;

namespace {

int failingEntry(Family f) {
  return guarded(f, "le_probe", -1, []() -> int { throw std::runtime_error("boom"); });
}

int succeedingEntry(Family f) {
  return guarded(f, "le_probe", -1, [] { return 7; });
}

const char* readerOf(Family f) {
  switch (f) {
    case Family::Core: return le_last_error();
    case Family::A2x: return le_a2x_last_error();
    case Family::Motion: return le_motion_last_error();
    case Family::Fca: return le_fca_last_error();
    case Family::Stream: return le_stream_last_error();
    case Family::Utt: return le_utt_last_error();
    default: return nullptr;
  }
}

const Family kFamilies[] = {Family::Core, Family::A2x, Family::Motion,
                            Family::Fca, Family::Stream, Family::Utt};

}  // namespace

TEST(LastError, CaughtExceptionIsRecordedAsNameColonMessage) {
  EXPECT_EQ(failingEntry(Family::Core), -1);
  EXPECT_STREQ(le_last_error(), "le_probe: boom");
  EXPECT_EQ(succeedingEntry(Family::Core), 7);
  EXPECT_STREQ(le_last_error(), "");
}

TEST(LastError, NonStandardExceptionsAreCaughtToo) {
  const int r = guarded(Family::Utt, "le_utt_probe", 0, []() -> int { throw 42; });
  EXPECT_EQ(r, 0);
  EXPECT_STREQ(le_utt_last_error(), "le_utt_probe: unknown exception");
  guardedVoid(Family::Utt, "le_utt_void", [] { throw std::logic_error("bad"); });
  EXPECT_STREQ(le_utt_last_error(), "le_utt_void: bad");
  guardedVoid(Family::Utt, "le_utt_void", [] {});
  EXPECT_STREQ(le_utt_last_error(), "");
}

TEST(LastError, FixedArgumentMessagesSurviveTheWrapper) {
  const int r = guarded(Family::Motion, "le_motion_probe", -1, []() -> int {
    le::capi::setError(Family::Motion, "le_motion_probe: NULL handle");
    return -1;
  });
  EXPECT_EQ(r, -1);
  EXPECT_STREQ(le_motion_last_error(), "le_motion_probe: NULL handle");
}

TEST(LastError, FamiliesAreIndependentOnOneThread) {
  for (Family failed : kFamilies) {
    for (Family f : kFamilies) le::capi::clearError(f);
    failingEntry(failed);
    for (Family f : kFamilies) {
      if (f == failed)
        EXPECT_STREQ(readerOf(f), "le_probe: boom");
      else
        EXPECT_STREQ(readerOf(f), "") << "family " << static_cast<int>(f);
    }
    // A success in another family must not clear the failed one.
    const Family other = failed == Family::Core ? Family::A2x : Family::Core;
    succeedingEntry(other);
    EXPECT_STREQ(readerOf(failed), "le_probe: boom");
    le::capi::clearError(failed);
  }
}

TEST(LastError, ThreadsNeverSeeEachOthersMessages) {
  failingEntry(Family::Core);
  std::string seenOnOther = "unset";
  std::string otherOwn;
  std::thread t([&] {
    seenOnOther = le_last_error();
    failingEntry(Family::Core);
    otherOwn = le_last_error();
  });
  t.join();
  EXPECT_EQ(seenOnOther, "");
  EXPECT_EQ(otherOwn, "le_probe: boom");
  EXPECT_STREQ(le_last_error(), "le_probe: boom");
  // The other thread's failure did not disturb a success recorded here.
  succeedingEntry(Family::Core);
  std::thread t2([] { failingEntry(Family::Core); });
  t2.join();
  EXPECT_STREQ(le_last_error(), "");
}

TEST(LastError, ManyThreadsHammeringOneFamily) {
  std::vector<std::thread> ts;
  std::atomic<int> wrong{0};
  for (int k = 0; k < 8; ++k) {
    ts.emplace_back([k, &wrong] {
      const std::string mine = "t" + std::to_string(k);
      for (int i = 0; i < 2000; ++i) {
        guarded(Family::Stream, mine.c_str(), 0, []() -> int { throw std::runtime_error("x"); });
        if (le_stream_last_error() != mine + ": x") ++wrong;
        guarded(Family::Stream, mine.c_str(), 0, [] { return 1; });
        if (le_stream_last_error()[0] != '\0') ++wrong;
      }
    });
  }
  for (auto& t : ts) t.join();
  EXPECT_EQ(wrong.load(), 0);
}

TEST(Version, MatchesHeader) { EXPECT_STREQ(le_version(), LE_VERSION_STRING); }
