#include "paste/le_pool.h"

#include <algorithm>
#include <cerrno>
#include <climits>
#include <condition_variable>
#include <cstdint>
#include <cstdlib>
#include <exception>
#include <memory>
#include <mutex>
#include <thread>
#include <vector>

#include "core/le_env.h"

namespace le::pool {
namespace {

constexpr int kDefaultThreads = 4;

// Set while this thread runs a part of a job, so that nested calls run inline
// instead of waking a second pool (or deadlocking on this one).
thread_local bool tInsideJob = false;

class InsideJob {
 public:
  InsideJob() : previous_(tInsideJob) { tInsideJob = true; }
  ~InsideJob() { tInsideJob = previous_; }
  InsideJob(const InsideJob&) = delete;
  InsideJob& operator=(const InsideJob&) = delete;

 private:
  bool previous_;
};

int parseCount(const char* text) {
  errno = 0;
  const long value = std::strtol(text, nullptr, 10);
  if (value <= 0) return 1;
  if (errno == ERANGE || value > INT_MAX) return INT_MAX;
  return static_cast<int>(value);
}

struct Part {
  size_t begin;
  size_t end;
};

Part partOf(size_t n, int parts, int k) {
  const size_t size = (n + static_cast<size_t>(parts) - 1) / static_cast<size_t>(parts);
  const size_t begin = std::min(n, static_cast<size_t>(k) * size);
  return {begin, std::min(n, begin + size)};
}

class Pool {
 public:
  explicit Pool(int workers) {
    threads_.reserve(static_cast<size_t>(workers));
    for (int i = 1; i <= workers; ++i) {
      try {
        threads_.emplace_back([this, i] { work(i); });
      } catch (const std::system_error&) {
        // Fewer threads than asked for: jobs are split over those that started.
        break;
      }
    }
  }

  ~Pool() {
    {
      std::lock_guard<std::mutex> lock(mutex_);
      stop_ = true;
    }
    work_.notify_all();
    for (std::thread& t : threads_) t.join();
  }

  Pool(const Pool&) = delete;
  Pool& operator=(const Pool&) = delete;

  int workers() const { return static_cast<int>(threads_.size()); }

  void run(size_t n, int parts, RangeFn fn) {
    parts = std::min(parts, workers() + 1);
    {
      std::lock_guard<std::mutex> lock(mutex_);
      job_ = fn;
      n_ = n;
      parts_ = parts;
      pending_ = workers();
      error_ = nullptr;
      ++generation_;
    }
    work_.notify_all();

    runPart(fn, n, parts, 0);

    std::unique_lock<std::mutex> lock(mutex_);
    done_.wait(lock, [this] { return pending_ == 0; });
    if (error_) std::rethrow_exception(std::exchange(error_, nullptr));
  }

 private:
  void runPart(RangeFn fn, size_t n, int parts, int k) {
    if (k >= parts) return;
    const Part part = partOf(n, parts, k);
    if (part.begin >= part.end) return;
    try {
      InsideJob inside;
      fn(part.begin, part.end);
    } catch (...) {
      std::lock_guard<std::mutex> lock(mutex_);
      if (!error_) error_ = std::current_exception();
    }
  }

  void work(int index) {
    uint64_t seen = 0;
    for (;;) {
      RangeFn fn = nullJob();
      size_t n = 0;
      int parts = 0;
      {
        std::unique_lock<std::mutex> lock(mutex_);
        work_.wait(lock, [&] { return stop_ || generation_ != seen; });
        if (stop_) return;
        seen = generation_;
        fn = job_;
        n = n_;
        parts = parts_;
      }
      runPart(fn, n, parts, index);
      bool last;
      {
        std::lock_guard<std::mutex> lock(mutex_);
        last = --pending_ == 0;
      }
      if (last) done_.notify_one();
    }
  }

  static RangeFn nullJob() {
    static constexpr auto kNothing = [](size_t, size_t) {};
    return RangeFn(kNothing);
  }

  std::vector<std::thread> threads_;
  std::mutex mutex_;
  std::condition_variable work_;
  std::condition_variable done_;
  RangeFn job_ = nullJob();
  size_t n_ = 0;
  int parts_ = 0;
  int pending_ = 0;
  uint64_t generation_ = 0;
  bool stop_ = false;
  std::exception_ptr error_;
};

// The calling thread's pool; its destructor joins the workers at thread exit.
thread_local std::unique_ptr<Pool> tPool;

}  // namespace

namespace detail {

int threadCount(const char* coreThreads, const char* pasteThreads, unsigned hardware) {
  int requested = kDefaultThreads;
  if (coreThreads && *coreThreads)
    requested = parseCount(coreThreads);
  else if (pasteThreads && *pasteThreads)
    requested = parseCount(pasteThreads);
  if (hardware > 0 && static_cast<unsigned>(requested) > hardware)
    requested = static_cast<int>(std::min<unsigned>(hardware, INT_MAX));
  return requested;
}

int partCount(size_t n, size_t grain, int threads) {
  const size_t g = std::max<size_t>(grain, 1);
  if (threads <= 1 || n / g <= 1) return 1;
  return static_cast<int>(std::min(n / g, static_cast<size_t>(threads)));
}

int workersOfThisThread() { return tPool ? tPool->workers() : 0; }

}  // namespace detail

int threads() {
  static const int count = detail::threadCount(
      envValue("LE_CORE_THREADS"), envValue("LE_PASTE_THREADS"),
      std::thread::hardware_concurrency());
  return count;
}

int parts(size_t n, size_t grain) { return detail::partCount(n, grain, threads()); }

bool available() { return threads() > 1; }

void parallelRange(size_t n, size_t grain, RangeFn fn) {
  const int p = tInsideJob ? 1 : parts(n, grain);
  if (p < 2) {
    fn(0, n);  // an empty range too: the callable sees one (0, 0) call
    return;
  }
  if (!tPool) tPool = std::make_unique<Pool>(threads() - 1);
  tPool->run(n, p, fn);
}

}  // namespace le::pool
