#include "director/le_ort_session.h"

#include <mutex>

namespace le::ort {

Ort::SessionOptions sessionOptions(const SessionConfig& config) {
  Ort::SessionOptions so;
  so.SetIntraOpNumThreads(config.intraThreads);
  so.SetInterOpNumThreads(1);
  so.SetGraphOptimizationLevel(config.optimisation);
  if (!config.spin) so.AddConfigEntry("session.intra_op.allow_spinning", "0");
  so.AddConfigEntry("mlas.disable_kleidiai", "1");
  // A rebuilt graph carries every initializer through, also those only the
  // dropped or hoisted nodes read, and ONNX Runtime would warn about each of
  // them on every load (over a hundred lines for one director). Errors
  // still reach the log.
  so.SetLogSeverityLevel(ORT_LOGGING_LEVEL_ERROR);
  if (!config.profilePrefix.empty()) so.EnableProfiling(config.profilePrefix.c_str());
  return so;
}

namespace {
std::mutex& sessionConstruction() {
  static std::mutex m;
  return m;
}
}  // namespace

Ort::Session openSession(Ort::Env& env, const void* model, size_t size,
                         const Ort::SessionOptions& options) {
  std::lock_guard<std::mutex> lock(sessionConstruction());
  return Ort::Session(env, model, size, options);
}

Ort::Session openSession(Ort::Env& env, const char* path, const Ort::SessionOptions& options) {
  std::lock_guard<std::mutex> lock(sessionConstruction());
  return Ort::Session(env, path, options);
}

}  // namespace le::ort
