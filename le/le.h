/*
 * le_core: real-time talking-head avatar runtime, C interface.
 *
 * A host opens an avatar bundle, feeds it 16 kHz speech and pulls finished
 * RGBA frames at 25 fps. Every function here is safe to call with bad input:
 * nothing throws or aborts across this interface; failures are reported by the
 * return value plus a per-thread message.
 *
 * Usage:
 *
 *     char dir[4096];
 *     if (le_bundle_resolve_handle("avatars/anna.imx", dir, sizeof dir) != 1) {
 *         fprintf(stderr, "bundle: %s\n", le_last_error());
 *         return 1;
 *     }
 *     printf("le_core %s, bundle unpacked at %s\n", le_version(), dir);
 *
 * Errors. Each family of functions keeps its own last-error string per
 * thread: le_last_error (core, bundle, prior, render and paste calls),
 * le_a2x_last_error (le/le_a2x.h), le_motion_last_error, le_fca_last_error,
 * le_stream_last_error and le_utt_last_error. A call clears its family's
 * string on entry and sets it on failure, so read it on the thread that made
 * the failing call, before the next call of that family. The returned pointer
 * is owned by the library and stays valid until the next call of that family
 * on the same thread; it is "" when there is no error.
 */
#ifndef LE_LE_H
#define LE_LE_H

#include <stddef.h>
#include <stdint.h>

#define LE_VERSION_MAJOR 0
#define LE_VERSION_MINOR 1
#define LE_VERSION_PATCH 0
#define LE_VERSION_STRING "0.1.0"

#if defined(LE_BUILDING_LIBRARY)
#define LE_API __attribute__((visibility("default")))
#else
#define LE_API
#endif

#ifdef __cplusplus
extern "C" {
#endif

/* ---- Version ------------------------------------------------------------ */

/* The library's version text ("MAJOR.MINOR.PATCH"), static storage. A host
 * built against this header can compare it with LE_VERSION_STRING. */
LE_API const char* le_version(void);

/* ---- Last-error strings (one per family and thread) --------------------- */

LE_API const char* le_last_error(void);
LE_API const char* le_motion_last_error(void);
LE_API const char* le_fca_last_error(void);
LE_API const char* le_stream_last_error(void);
LE_API const char* le_utt_last_error(void);

/* ---- Bundle resolution --------------------------------------------------- */

/* Resolves a bundle handle to the directory the library reads: a directory
 * is used as it is; an IMX container (given with or without its ".imx"
 * suffix) is unpacked once into "<name>.lebundle" beside it, or under
 * $LE_IMX_UNWRAP_ROOT, and reused on later calls.
 * Writes the directory, zero-terminated, into out[capacity].
 * Returns 1 on success, -1 on failure: NULL arguments or capacity 0 (nothing
 * written, no message); a path that does not fit or a broken container (out
 * set to "", message in le_last_error). Thread-safe; unpacking is serialised
 * within the process. */
LE_API int le_bundle_resolve_handle(const char* handle, char* out, size_t capacity);

/* Resolves a member of a bundle (for example "P.f16" or "drive/xs.f32") to
 * the file that holds it, under either naming layout a bake may have used.
 * Returns 1 when the path was written and the file opens for reading, 0 when
 * the path was written but the file does not open, -1 on bad arguments, a
 * path that does not fit or a broken container. Neither clears nor sets
 * le_last_error. Thread-safe. */
LE_API int le_bundle_resolve_member(const char* handle, const char* member, char* out,
                                    size_t capacity);

/* ---- Prior access ---------------------------------------------------------- */

/* A bundle's warp prior played from its HEVC 4:4:4 member ("P_hevc.mov", or
 * the member the manifest's "P_hevc" names), one row per identity frame:
 * float16 values, channel-major (the R plane, then G, then B, each
 * crop x crop), value = 8-bit channel / 255.
 *
 * le_prior_open creates the handle and starts its decoding thread, which
 * keeps look_ahead rows decoded ahead (2 when look_ahead < 1) and history rows
 * behind (0 when negative), so reading rows in order, or revisiting recent
 * ones, never waits for a seek. Returns NULL on failure (NULL bundle_dir, no
 * readable manifest, no prior member, a member that disagrees with the
 * manifest), with the reason in le_last_error. le_prior_close destroys the
 * handle, stopping and joining its thread; NULL is ignored.
 *
 * A handle may be used from several threads at once; row requests are served
 * one at a time. */
typedef struct le_prior le_prior;

LE_API le_prior* le_prior_open(const char* bundle_dir, int look_ahead, int history);

/* Bytes of one row (crop * crop * 3 * 2); 0 for NULL. */
LE_API size_t le_prior_row_bytes(const le_prior* prior);

/* Copies row si (0 <= si < NT) into out[cap]. Returns 1 on success, 0 on
 * failure with the reason in le_last_error: NULL prior or out, cap smaller
 * than le_prior_row_bytes, si out of range, or a decoding failure (which is
 * permanent: every later row request reports it too). */
LE_API int le_prior_row(le_prior* prior, int si, uint8_t* out, size_t cap);

/* Description of the decoder ("hevc444/libavcodec <version> <decoder>"); ""
 * for NULL. Owned by the handle, valid until le_prior_close. */
LE_API const char* le_prior_backend(const le_prior* prior);

LE_API void le_prior_close(le_prior* prior);

/* ---- Telemetry ----------------------------------------------------------- */

/* Process-wide metrics. le_tel_record sets a numeric metric, le_tel_record_str
 * a string metric; a NULL or empty key (or a NULL value) is ignored.
 * le_tel_pending_json returns {"queued":N,"snapshot":{...}} describing the
 * device and every recorded metric; the text belongs to the calling thread
 * and stays valid until that thread calls le_tel_pending_json again.
 * All three are thread-safe. */
LE_API void le_tel_record(const char* key, double value);
LE_API void le_tel_record_str(const char* key, const char* value);
LE_API const char* le_tel_pending_json(void);

#ifdef __cplusplus
}
#endif

#endif /* LE_LE_H */
