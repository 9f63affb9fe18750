// Linked into the director tests that run ONNX Runtime sessions. ONNX
// Runtime is not built with ThreadSanitizer, so the hand-off of work to its
// intra-op threads (and back) goes through synchronisation the tool cannot
// see, and every banded kernel run would be reported. Reports with a frame
// inside ONNX Runtime are dropped; the library's own pool (Int8ConvVNNI) is
// instrumented and still checked.
extern "C" __attribute__((visibility("default"), used)) const char* __tsan_default_suppressions() {
  return "race:libonnxruntime.so\n";
}
