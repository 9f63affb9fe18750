// Linked into the tests that decode with FFmpeg. FFmpeg is not built with
// ThreadSanitizer, so its frame threads synchronise through atomics the tool
// cannot see (reference-counted buffers freed on one thread, allocated on
// another) and every decode would be reported. Reports with a frame inside
// FFmpeg are dropped; the cursor's own locking is still checked everywhere
// else, and over the scripted source in driver_cursor_test without FFmpeg.
extern "C" __attribute__((visibility("default"), used)) const char* __tsan_default_suppressions() {
  return "race:libavcodec.so\n"
         "race:libavutil.so\n"
         "race:libavformat.so\n";
}
