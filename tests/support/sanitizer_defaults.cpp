// Linked into every test program: what the sanitizers must not report from
// libraries that are not ours and not built with them.

// ONNX Runtime keeps a few small allocations for the life of the process (its
// logging and platform singletons); they are not ours to free.
extern "C" __attribute__((visibility("default"), used)) const char* __lsan_default_suppressions() {
  return "leak:libonnxruntime.so\n";
}

// FFmpeg's frame threads and ONNX Runtime's intra-op threads synchronise
// through atomics ThreadSanitizer cannot see in uninstrumented code (buffers
// reference-counted and freed on one thread, allocated on another; work handed
// to the pool and back), so every decode and every banded kernel run would be
// reported. Reports with a frame inside those libraries are dropped; the
// library's own locking (the cursor, the hoist ring, the worker pool) is
// instrumented and still checked, and the cursor also over a scripted source
// without FFmpeg.
extern "C" __attribute__((visibility("default"), used)) const char* __tsan_default_suppressions() {
  return "race:libavcodec.so\n"
         "race:libavutil.so\n"
         "race:libavformat.so\n"
         "race:libonnxruntime.so\n";
}
