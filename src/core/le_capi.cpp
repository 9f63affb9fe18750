// The core context and its frame-at-a-time entry points.
#include <cstdio>
#include <cstring>
#include <stdexcept>

#include "bundle/le_fs.h"
#include "bundle/le_layout.h"
#include "core/le_context.h"
#include "core/le_error.h"
#include "le/le.h"
#include "paste/le_pool.h"
#include "paste/le_simd.h"

namespace le {

std::vector<uint8_t> readPasteMask(const Manifest& manifest) {
  const size_t bytes = static_cast<size_t>(manifest.crop) * static_cast<size_t>(manifest.crop);
  // The mask's own message covers every failure, a FIFO or a directory in
  // its place included; the size is checked before anything is allocated.
  fs::MemberFile f = fs::MemberFile::tryOpen(resolveMember(manifest.dir, "mask_512.u8"));
  if (!f || f.size() < bytes) throw std::runtime_error("mask read failed");
  std::vector<uint8_t> mask(bytes, 0);
  if (!f.read(mask.data(), bytes)) throw std::runtime_error("mask read failed");
  return mask;
}

Context::Context(const std::string& bundleDir, const std::string& modelKey, int threads_,
                 const std::string& ep_)
    : manifest(loadManifest(bundleDir)),
      identity(manifest),
      drive(loadDrive(manifest)),
      threads(threads_),
      ep(ep_) {
  renderer = std::make_unique<Renderer>(manifest, identity, modelKey, threads, ep,
                                        DirectorOptions::fromEnvironment());
  paste = std::make_unique<Paste>(readPasteMask(manifest), manifest.crop, manifest.unsharp,
                                  PasteOptions::fromEnvironment());
  cursor = DriverCursor::open(manifest, kCursorLookAhead, kCursorHistory);
  frame.resize(static_cast<size_t>(manifest.W) * static_cast<size_t>(manifest.H) * 3);
}

// Released in the order a host expects: the cursor (joining its thread)
// before the renderer, compositor and arrays it may still be reading.
Context::~Context() {
  frame.clear();
  cursor.reset();
  paste.reset();
  renderer.reset();
}

}  // namespace le

namespace {

using le::capi::Family;
using le::capi::guarded;
using le::capi::setError;

bool validFrame(const le_ctx* ctx, int frame) {
  return frame >= 0 && frame < ctx->context.manifest.NT;
}

size_t rgbBytes(const le::Context& c) {
  return static_cast<size_t>(c.manifest.W) * static_cast<size_t>(c.manifest.H) * 3;
}

// Decodes driver frame `frame` into out and pastes crop through its transform.
void pasteInto(le::Context& c, int frame, const float* crop, uint8_t* out) {
  c.cursor->pullAt(frame, out);
  c.paste->composite(crop, 255.f, c.identity.M(frame), out, c.manifest.W, c.manifest.H);
}

const float* renderKp(le_ctx* ctx, int si, const float* kpSource, const float* kpDriving) {
  le::Context& c = ctx->context;
  c.lastCrop = c.renderer->render(&si, kpSource, kpDriving, 1);
  return c.lastCrop;
}

// The RGBA step both render-and-paste calls share: the last render pasted
// into driver frame `frame` (through le_paste_last itself), widened to RGBA
// in out. The calls run their steps as the public entry points, so a failure
// reports the message of whichever step failed; the buffer check names the
// calling entry point, as every fixed message does.
int lastToRgba(le_ctx* ctx, int frame, uint8_t* out, size_t outBytes, const char* tooSmall) {
  const le::Context& c = ctx->context;
  const size_t pixels = static_cast<size_t>(c.manifest.W) * static_cast<size_t>(c.manifest.H);
  if (!out || outBytes < pixels * 4) {
    setError(Family::Core, tooSmall);
    return 0;
  }
  const uint8_t* rgb = le_paste_last(ctx, frame);
  if (!rgb) return 0;
  le::simd::rgb24ToRgba(rgb, out, pixels);
  return 1;
}

}  // namespace

extern "C" {

LE_API le_ctx* le_create(const char* bundle_dir, const char* model_key, int threads, const char* ep) {
  return guarded(Family::Core, "le_create", static_cast<le_ctx*>(nullptr), [&]() -> le_ctx* {
    if (!bundle_dir || !model_key) {
      setError(Family::Core, "le_create: NULL bundle_dir/model_key");
      return nullptr;
    }
    if (threads < 1) threads = le::pool::threads();
    return new le_ctx(std::string(bundle_dir), std::string(model_key), threads,
                      std::string(ep ? ep : ""));
  });
}

LE_API void le_destroy(le_ctx* ctx) {
  le::capi::silent(0, [&] {
    delete ctx;
    return 0;
  });
}

LE_API int le_nt(const le_ctx* ctx) { return ctx ? ctx->context.manifest.NT : 0; }
LE_API int le_width(const le_ctx* ctx) { return ctx ? ctx->context.manifest.W : 0; }
LE_API int le_height(const le_ctx* ctx) { return ctx ? ctx->context.manifest.H : 0; }
LE_API int le_crop(const le_ctx* ctx) { return ctx ? ctx->context.manifest.crop : 0; }
LE_API int le_drive_frames(const le_ctx* ctx) { return ctx ? ctx->context.drive.frames : 0; }
LE_API int le_host_kp_rows(void) { return le::kHostKpRows; }

LE_API const float* le_render_kp_crop(le_ctx* ctx, int si, const float* kp_source,
                                      const float* kp_driving) {
  return guarded(Family::Core, "le_render_kp_crop", static_cast<const float*>(nullptr),
                 [&]() -> const float* {
                   if (!ctx || !kp_source || !kp_driving || !validFrame(ctx, si)) {
                     setError(Family::Core, "le_render_kp_crop: bad args");
                     return nullptr;
                   }
                   le::checkHostKeypointsFinite("kp_source", kp_source);
                   le::checkHostKeypointsFinite("kp_driving", kp_driving);
                   return renderKp(ctx, si, kp_source, kp_driving);
                 });
}

LE_API const float* le_render_drive_crop(le_ctx* ctx, int i) {
  return guarded(Family::Core, "le_render_drive_crop", static_cast<const float*>(nullptr),
                 [&]() -> const float* {
                   if (!ctx || i < 0 || i >= ctx->context.drive.frames) {
                     setError(Family::Core, "le_render_drive_crop: bad frame index");
                     return nullptr;
                   }
                   const le::Drive& d = ctx->context.drive;
                   const size_t row = static_cast<size_t>(i) * le::kKeypointFloats;
                   return renderKp(ctx, d.si[i], d.xs.data() + row, d.xd.data() + row);
                 });
}

LE_API int le_paste_crop(le_ctx* ctx, int frame, const float* crop, uint8_t* out, size_t out_bytes) {
  return guarded(Family::Core, "le_paste_crop", 0, [&]() -> int {
    if (!ctx || !crop || !out || !validFrame(ctx, frame) || out_bytes < rgbBytes(ctx->context)) {
      setError(Family::Core, "le_paste_crop: bad args / out too small");
      return 0;
    }
    pasteInto(ctx->context, frame, crop, out);
    return 1;
  });
}

LE_API const uint8_t* le_paste_last(le_ctx* ctx, int frame) {
  return guarded(Family::Core, "le_paste_last", static_cast<const uint8_t*>(nullptr),
                 [&]() -> const uint8_t* {
                   if (!ctx || !validFrame(ctx, frame) || !ctx->context.lastCrop) {
                     setError(Family::Core, "le_paste_last: bad args / no prior render");
                     return nullptr;
                   }
                   le::Context& c = ctx->context;
                   pasteInto(c, frame, c.lastCrop, c.frame.data());
                   return c.frame.data();
                 });
}

LE_API int le_render_kp_rgba(le_ctx* ctx, int si, const float* kp_source, const float* kp_driving,
                             uint8_t* out, size_t out_bytes) {
  return guarded(Family::Core, "le_render_kp_rgba", 0, [&]() -> int {
    if (!le_render_kp_crop(ctx, si, kp_source, kp_driving)) return 0;
    return lastToRgba(ctx, si, out, out_bytes, "le_render_kp_rgba: out buffer too small");
  });
}

LE_API int le_render_drive_rgba(le_ctx* ctx, int i, uint8_t* out, size_t out_bytes) {
  return guarded(Family::Core, "le_render_drive_rgba", 0, [&]() -> int {
    if (!le_render_drive_crop(ctx, i)) return 0;
    return lastToRgba(ctx, ctx->context.drive.si[i], out, out_bytes,
                      "le_render_drive_rgba: out buffer too small");
  });
}

LE_API const uint8_t* le_target_frame(le_ctx* ctx, int frame) {
  return guarded(Family::Core, "le_target_frame", static_cast<const uint8_t*>(nullptr),
                 [&]() -> const uint8_t* {
                   if (!ctx || !validFrame(ctx, frame)) {
                     setError(Family::Core, "le_target_frame: bad args");
                     return nullptr;
                   }
                   int index = -1;
                   return ctx->context.cursor->pullAt(frame, &index);
                 });
}

}  // extern "C"
