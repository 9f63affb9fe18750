// Linked into every test program. ONNX Runtime keeps a few small allocations
// for the life of the process (its logging and platform singletons); they are
// not ours to free, so LeakSanitizer is told to ignore leaks from inside it.
extern "C" __attribute__((visibility("default"), used)) const char* __lsan_default_suppressions() {
  return "leak:libonnxruntime.so\n";
}
