#include <gtest/gtest.h>

#include <dirent.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdlib>
#include <mutex>
#include <set>
#include <string>
#include <stdexcept>
#include <thread>
#include <utility>
#include <vector>

#include "paste/le_pool.h"
#include "support/test_support.h"

namespace {

using le::pool::detail::partCount;
using le::pool::detail::threadCount;

TEST(PoolSize, EnvironmentRules) {
  EXPECT_EQ(threadCount(nullptr, nullptr, 2), 2);   // default 4, capped at 2 cores
  EXPECT_EQ(threadCount(nullptr, nullptr, 16), 4);  // default
  EXPECT_EQ(threadCount(nullptr, nullptr, 0), 4);   // unknown hardware: no cap
  EXPECT_EQ(threadCount("0", nullptr, 16), 1);
  EXPECT_EQ(threadCount("-3", nullptr, 16), 1);
  EXPECT_EQ(threadCount("3", "8", 16), 3);          // LE_CORE_THREADS wins
  EXPECT_EQ(threadCount("", "6", 16), 6);           // empty core value falls through
  EXPECT_EQ(threadCount(nullptr, "0", 16), 1);
  EXPECT_EQ(threadCount(nullptr, "", 16), 4);       // paste set but empty: default
  EXPECT_EQ(threadCount("64", nullptr, 2), 2);      // capped at hardware
  EXPECT_EQ(threadCount("7", nullptr, 0), 7);
  EXPECT_EQ(threadCount("junk", nullptr, 16), 1);   // parses as 0
  EXPECT_EQ(threadCount("99999999999999999999", nullptr, 8), 8);  // no overflow
}

TEST(PoolSize, ThreadsFollowsTheEnvironmentOfThisProcess) {
  EXPECT_EQ(le::pool::threads(), threadCount(std::getenv("LE_CORE_THREADS"),
                                             std::getenv("LE_PASTE_THREADS"),
                                             std::thread::hardware_concurrency()));
  EXPECT_EQ(le::pool::available(), le::pool::threads() > 1);
}

TEST(PoolParts, Arithmetic) {
  EXPECT_EQ(partCount(100, 64, 4), 1);   // 100 / 64 == 1
  EXPECT_EQ(partCount(1000, 64, 4), 4);
  EXPECT_EQ(partCount(128, 64, 4), 2);
  EXPECT_EQ(partCount(127, 64, 4), 1);
  EXPECT_EQ(partCount(1000, 64, 1), 1);
  EXPECT_EQ(partCount(10, 1, 4), 4);
  EXPECT_EQ(partCount(1000, 0, 4), 4);   // grain 0 counts as 1
  EXPECT_EQ(partCount(0, 0, 4), 1);
  EXPECT_EQ(partCount(1000, 64, 0), 1);
}

// Records every part a job ran: its range and the thread that ran it.
struct PartLog {
  std::mutex mutex;
  std::vector<std::pair<size_t, size_t>> ranges;
  std::set<std::thread::id> threads;
  void add(size_t b, size_t e) {
    std::lock_guard<std::mutex> lock(mutex);
    ranges.emplace_back(b, e);
    threads.insert(std::this_thread::get_id());
  }
};

TEST(PoolRun, SmallRangesRunInlineOnTheCaller) {
  PartLog log;
  le::pool::parallelRange(100, 64, [&](size_t b, size_t e) { log.add(b, e); });
  ASSERT_EQ(log.ranges.size(), 1u);
  EXPECT_EQ(log.ranges[0], std::make_pair(size_t{0}, size_t{100}));
  EXPECT_EQ(*log.threads.begin(), std::this_thread::get_id());

  // An empty range is still one inline call, with an empty range.
  int calls = 0;
  le::pool::parallelRange(0, 64, [&](size_t b, size_t e) {
    ++calls;
    EXPECT_EQ(b, 0u);
    EXPECT_EQ(e, 0u);
  });
  EXPECT_EQ(calls, 1);
}

TEST(PoolRun, SplitsIntoContiguousPartsCoveringEveryIndexOnce) {
  for (size_t n : {size_t{2}, size_t{129}, size_t{1000}, size_t{4097}}) {
    for (size_t grain : {size_t{0}, size_t{1}, size_t{64}}) {
      std::vector<std::atomic<int>> hits(n);
      PartLog log;
      le::pool::parallelRange(n, grain, [&](size_t b, size_t e) {
        log.add(b, e);
        for (size_t i = b; i < e; ++i) hits[i].fetch_add(1);
      });
      for (size_t i = 0; i < n; ++i) ASSERT_EQ(hits[i].load(), 1) << "n=" << n << " i=" << i;
      const int p = le::pool::parts(n, grain);
      ASSERT_EQ(log.ranges.size(), static_cast<size_t>(p));
      const size_t size = (n + p - 1) / p;
      for (const auto& r : log.ranges) {
        EXPECT_EQ(r.first % size, 0u);
        EXPECT_EQ(r.second, std::min(n, r.first + size));
      }
      if (p > 1) {
        EXPECT_EQ(log.threads.size(), static_cast<size_t>(p));
      }
    }
  }
}

TEST(PoolRun, NestedCallsRunInlineOnTheThreadOfTheOuterPart) {
  const size_t outerItems = 10, innerItems = 1000;
  std::vector<std::atomic<int>> hits(outerItems * innerItems);
  std::atomic<bool> nestedElsewhere{false};
  std::atomic<int> innerCalls{0};
  le::pool::parallelRange(outerItems, 1, [&](size_t b, size_t e) {
    const auto outer = std::this_thread::get_id();
    for (size_t i = b; i < e; ++i) {
      le::pool::parallelRange(innerItems, 1, [&](size_t ib, size_t ie) {
        innerCalls.fetch_add(1);
        if (std::this_thread::get_id() != outer) nestedElsewhere = true;
        for (size_t j = ib; j < ie; ++j) hits[i * innerItems + j].fetch_add(1);
      });
    }
  });
  EXPECT_FALSE(nestedElsewhere.load());
  EXPECT_EQ(innerCalls.load(), static_cast<int>(outerItems));  // each nested call: one inline part
  for (size_t i = 0; i < hits.size(); ++i) ASSERT_EQ(hits[i].load(), 1) << i;
}

TEST(PoolRun, ExceptionsReachTheCallerAfterEveryPartFinished) {
  if (!le::pool::available()) GTEST_SKIP() << "pool size 1";
  for (bool throwOnCaller : {true, false}) {
    std::atomic<int> finished{0};
    const auto caller = std::this_thread::get_id();
    EXPECT_THROW(le::pool::parallelRange(1000, 1,
                                         [&](size_t, size_t) {
                                           const bool onCaller = std::this_thread::get_id() == caller;
                                           if (onCaller == throwOnCaller) throw std::runtime_error("part failed");
                                           std::this_thread::sleep_for(std::chrono::milliseconds(20));
                                           finished.fetch_add(1);
                                         }),
                 std::runtime_error);
    EXPECT_EQ(finished.load(), le::pool::parts(1000, 1) - 1);
  }
  // The pool still works afterwards.
  std::atomic<size_t> sum{0};
  le::pool::parallelRange(1000, 1, [&](size_t b, size_t e) { sum += e - b; });
  EXPECT_EQ(sum.load(), 1000u);
}

// Two threads' jobs must be able to run at the same time: each part waits
// until a part of the other thread's job has started. With one shared pool
// the second job could not start while the first waited, and both would time
// out.
TEST(PoolRun, EachThreadHasItsOwnPool) {
  if (!le::pool::available()) GTEST_SKIP() << "pool size 1";
  std::mutex mutex;
  std::condition_variable cv;
  int started[2] = {0, 0};
  bool timedOut[2] = {false, false};
  std::set<std::thread::id> ran[2];
  int workers[2] = {0, 0};
  auto job = [&](int self) {
    for (int round = 0; round < 20; ++round) {
      le::pool::parallelRange(2000, 1, [&](size_t, size_t) {
        std::unique_lock<std::mutex> lock(mutex);
        ++started[self];
        ran[self].insert(std::this_thread::get_id());
        cv.notify_all();
        const int want = round + 1;
        if (!cv.wait_for(lock, std::chrono::seconds(10), [&] { return started[1 - self] >= want; }))
          timedOut[self] = true;
      });
    }
    workers[self] = le::pool::detail::workersOfThisThread();
  };
  std::thread a(job, 0), b(job, 1);
  a.join();
  b.join();
  EXPECT_FALSE(timedOut[0]);
  EXPECT_FALSE(timedOut[1]);
  EXPECT_EQ(workers[0], le::pool::threads() - 1);
  EXPECT_EQ(workers[1], le::pool::threads() - 1);
  for (const auto& id : ran[0]) EXPECT_EQ(ran[1].count(id), 0u) << "a thread served both pools";
}

std::set<pid_t> threadsInProcess() {
  std::set<pid_t> tids;
  if (DIR* dir = opendir("/proc/self/task")) {
    while (const dirent* entry = readdir(dir))
      if (entry->d_name[0] != '.') tids.insert(static_cast<pid_t>(std::atoi(entry->d_name)));
    closedir(dir);
  }
  return tids;
}

// A joined thread may still be listed for a moment: join returns once the
// thread has cleared its id, before the kernel (or, under qemu, the host
// thread behind it) has finished the exit. Waits up to 10 s for them to go.
bool threadsLeave(const std::set<pid_t>& tids) {
  for (int i = 0; i < 2000; ++i) {
    bool listed = false;
    for (pid_t tid : tids) listed = listed || access(("/proc/self/task/" + std::to_string(tid)).c_str(), F_OK) == 0;
    if (!listed) return true;
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
  return false;
}

// Counts the threads that ran this far and then finished: the mark is
// destroyed as the last step of a thread, before a join of it can return.
std::atomic<int> gFinishedWorkers{0};
struct FinishMark {
  bool set = false;
  ~FinishMark() {
    if (set) gFinishedWorkers.fetch_add(1);
  }
};
thread_local FinishMark tFinishMark;

TEST(PoolLifetime, WorkersAreJoinedWhenTheirThreadExits) {
  if (!le::pool::available()) GTEST_SKIP() << "pool size 1";
  // A sanitizer may start a helper thread of its own at the first thread
  // creation; let that happen before listing.
  pid_t warmUp = 0;
  std::thread([&] { warmUp = static_cast<pid_t>(syscall(SYS_gettid)); }).join();
  ASSERT_TRUE(threadsLeave({warmUp}));
  // Sets of thread ids rather than counts: threads of earlier tests that are
  // still leaving may drop out of the listing at any time.
  const std::set<pid_t> before = threadsInProcess();
  std::set<pid_t> during, expected;
  std::mutex m;
  gFinishedWorkers = 0;
  std::thread t([&] {
    const auto self = static_cast<pid_t>(syscall(SYS_gettid));
    // One part per thread, so every worker records itself.
    le::pool::parallelRange(1000, 1, [&](size_t, size_t) {
      const auto tid = static_cast<pid_t>(syscall(SYS_gettid));
      if (tid != self) tFinishMark.set = true;
      std::lock_guard<std::mutex> lock(m);
      expected.insert(tid);
    });
    for (pid_t tid : threadsInProcess())
      if (!before.count(tid)) during.insert(tid);
  });
  t.join();
  EXPECT_EQ(expected.size(), static_cast<size_t>(le::pool::threads()));
  EXPECT_EQ(during, expected);  // this thread and its workers, all alive until it exits
  // The workers ran to their end before the thread that owned them did.
  EXPECT_EQ(gFinishedWorkers.load(), le::pool::threads() - 1);
  EXPECT_TRUE(threadsLeave(during));
}

TEST(PoolSize, ZeroThreadsRunsEverythingInline) {
  // threads() is fixed per process, so check in a fresh one.
  if (le::test::runsUnderEmulation()) GTEST_SKIP() << "needs a fresh process, which emulation cannot start";
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  EXPECT_EXIT(
      {
        setenv("LE_CORE_THREADS", "0", 1);
        bool inline_ = le::pool::threads() == 1 && !le::pool::available();
        const auto caller = std::this_thread::get_id();
        int calls = 0;
        le::pool::parallelRange(100000, 1, [&](size_t b, size_t e) {
          ++calls;
          inline_ = inline_ && b == 0 && e == 100000 && std::this_thread::get_id() == caller;
        });
        std::exit(inline_ && calls == 1 ? 0 : 1);
      },
      testing::ExitedWithCode(0), "");
}

}  // namespace
