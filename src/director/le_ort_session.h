// The one way the library opens an ONNX Runtime session. Every session (the
// director, its hoisted prep graph, the audio models, and the tests and
// benchmarks that measure them) takes its options from sessionOptions() and is
// created through openSession(), so tests and benchmarks run the
// configuration that ships.
//
//   Ort::SessionOptions so = le::ort::sessionOptions({/*intraThreads=*/2});
//   registerGridSampleFast(so);                 // custom operators, if the graph has them
//   Ort::Session s = le::ort::openSession(env, bytes.data(), bytes.size(), so);
#pragma once

#include <onnxruntime_cxx_api.h>

#include <cstddef>
#include <string>

namespace le::ort {

struct SessionConfig {
  int intraThreads = 1;  // ONNX Runtime's intra-op threads (inter-op is always 1)
  // Keep ONNX Runtime's intra-op threads spinning between runs (LE_ORT_SPIN
  // for the director); off by default, so idle sessions leave the cores free.
  bool spin = false;
  // Not empty: ONNX Runtime profiling, files named with this prefix.
  std::string profilePrefix;
  GraphOptimizationLevel optimisation = GraphOptimizationLevel::ORT_ENABLE_ALL;
};

// Session options as every library session uses them: the thread counts,
// graph optimisation, spinning off unless asked for, ONNX Runtime's KleidiAI
// kernels always off ("mlas.disable_kleidiai"), and errors only in ONNX
// Runtime's log. Custom operator domains are the caller's to add.
Ort::SessionOptions sessionOptions(const SessionConfig& config);

// Creates a session, one construction at a time in the process. ONNX Runtime
// enters a custom domain into ONNX's process-wide version map with an
// unguarded look-up-then-insert while it constructs a session, so two
// sessions built at the same moment on different threads can both try the
// insert and one fails ("the domain is already exist"). ONNX Runtime errors
// are raised as Ort::Exception.
Ort::Session openSession(Ort::Env& env, const void* model, size_t size,
                         const Ort::SessionOptions& options);
Ort::Session openSession(Ort::Env& env, const char* path, const Ort::SessionOptions& options);

}  // namespace le::ort
