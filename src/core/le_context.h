// The core context behind le_ctx: one opened bundle with everything needed to
// render and paste its frames.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "bundle/le_bundle.h"
#include "bundle/le_identity.h"
#include "director/le_renderer.h"
#include "driver/le_driver.h"
#include "paste/le_paste.h"

namespace le {

// Members are declared in construction order; the constructor builds them in
// that order and a failure unwinds what was built, in reverse.
struct Context {
  Context(const std::string& bundleDir, const std::string& modelKey, int threads,
          const std::string& ep);
  ~Context();

  Manifest manifest;
  Identity identity;
  Drive drive;
  int32_t threads;
  std::string ep;
  std::unique_ptr<Renderer> renderer;
  std::unique_ptr<Paste> paste;
  std::unique_ptr<DriverCursor> cursor;
  std::vector<uint8_t> frame;
  const float* lastCrop = nullptr;
};

// The paste mask member, exactly crop x crop bytes (a longer file is
// accepted; only its first crop x crop bytes are read).
std::vector<uint8_t> readPasteMask(const Manifest& manifest);

}  // namespace le

// The C handle: one Context. Sessions reach the context through it.
struct le_ctx {
  le::Context context;
  template <typename... A>
  explicit le_ctx(A&&... a) : context(std::forward<A>(a)...) {}
};
