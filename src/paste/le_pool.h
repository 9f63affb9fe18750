// Worker pool for per-row and per-pixel loops.
//
// Each thread that calls parallelRange gets its own pool, created on its first
// call and joined when that thread exits, so independent pipelines never wait
// for each other's workers. A call made from inside a running job (on the
// caller or on a worker) runs inline on that thread.
#pragma once

#include <cstddef>
#include <type_traits>
#include <utility>

namespace le::pool {

// A non-owning reference to a callable taking (begin, end). Binding one never
// allocates; the callable must outlive the call it is passed to.
class RangeFn {
 public:
  template <class F, class = std::enable_if_t<!std::is_same_v<std::decay_t<F>, RangeFn>>>
  RangeFn(F&& fn) noexcept  // NOLINT(google-explicit-constructor): binds lambdas in place
      : object_(const_cast<void*>(static_cast<const void*>(&fn))),
        call_([](void* object, size_t begin, size_t end) {
          (*static_cast<std::remove_reference_t<F>*>(object))(begin, end);
        }) {}

  void operator()(size_t begin, size_t end) const { call_(object_, begin, end); }

 private:
  void* object_;
  void (*call_)(void*, size_t, size_t);
};

// The pool size, fixed on first use: LE_CORE_THREADS if set and not empty,
// else LE_PASTE_THREADS if set, else 4; values <= 0 mean 1; capped at the
// hardware concurrency when that is known.
int threads();

// Number of parts parallelRange splits n items into with the given minimum
// number of items per part: 1 when the pool has one thread or n / grain <= 1,
// otherwise min(n / grain, threads()).
int parts(size_t n, size_t grain);

// Runs fn over [0, n) split into parts(n, grain) contiguous parts, part 0 on
// the calling thread, and returns when every part has run. fn must be safe to
// run concurrently on disjoint ranges. If parts throw, the first exception is
// rethrown here after all parts have finished.
void parallelRange(size_t n, size_t grain, RangeFn fn);

// Whether parallelRange can run parts on more than one thread.
bool available();

namespace detail {
// The size rule of threads() as a pure function (null means unset); hardware 0
// means unknown.
int threadCount(const char* coreThreads, const char* pasteThreads, unsigned hardware);
// The rule of parts() for a given pool size.
int partCount(size_t n, size_t grain, int threads);
// Number of worker threads the calling thread's pool holds (0 before its first
// parallel job).
int workersOfThisThread();
}  // namespace detail

}  // namespace le::pool
