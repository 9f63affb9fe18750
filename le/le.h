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

/* ---- Core context ---------------------------------------------------------- */

/* One opened bundle: manifest, identity arrays, drive track, director,
 * compositor and driver video. Created by le_create, destroyed by le_destroy
 * (NULL allowed); a context must not be destroyed while another thread uses
 * it. The render and paste calls below use it without locks: one thread at a
 * time per context. */
typedef struct le_ctx le_ctx;

/* Opens the bundle at bundle_dir (a directory or an IMX container) with the
 * director "model_<model_key>.onnx". threads < 1 uses the library's worker
 * pool size; ep is NULL or "" for the CPU, "coreml[:cpu|gpu|ane]" where the
 * runtime has CoreML (falls back to the CPU otherwise). Returns NULL on
 * failure with the reason in le_last_error ("le_create: ..."). */
LE_API le_ctx* le_create(const char* bundle_dir, const char* model_key, int threads, const char* ep);
LE_API void le_destroy(le_ctx* ctx);

/* Sizes of an open bundle; 0 for NULL. NT identity/driver frames, the output
 * canvas W x H, the square crop side, the drive track's frame count. */
LE_API int le_nt(const le_ctx* ctx);
LE_API int le_width(const le_ctx* ctx);
LE_API int le_height(const le_ctx* ctx);
LE_API int le_crop(const le_ctx* ctx);
LE_API int le_drive_frames(const le_ctx* ctx);
/* Keypoint rows per frame a host passes (21), each of 3 floats. */
LE_API int le_host_kp_rows(void);

/* ---- Render and paste ------------------------------------------------------ */

/* Renders one face crop (3 x crop x crop floats, planar R, G, B in 0 ... 1)
 * for identity frame si (0 ... NT-1) from 21 x 3 source and driving keypoint
 * floats. The result is owned by the context and valid until the next render
 * on it; NULL on failure, including keypoints that are NaN or infinite (the
 * message names the argument and the row). */
LE_API const float* le_render_kp_crop(le_ctx* ctx, int si, const float* kp_source,
                                      const float* kp_driving);
/* As le_render_kp_crop with entry i (0 ... le_drive_frames-1) of the bundle's
 * drive track. */
LE_API const float* le_render_drive_crop(le_ctx* ctx, int i);
/* Decodes driver frame `frame` into out (W x H x 3 bytes, RGB24) and pastes
 * `crop` into it. Returns 1, or 0 on failure. */
LE_API int le_paste_crop(le_ctx* ctx, int frame, const float* crop, uint8_t* out, size_t out_bytes);
/* Pastes the last rendered crop into driver frame `frame`, in the context's
 * own RGB24 buffer, which it returns (valid until the next paste on this
 * context); NULL without a previous render. */
LE_API const uint8_t* le_paste_last(le_ctx* ctx, int frame);
/* Render and paste in one call, written to out as RGBA (W x H x 4 bytes,
 * alpha 255). The drive form pastes into the driver frame its entry's
 * identity frame names. Return 1, or 0 on failure. */
LE_API int le_render_kp_rgba(le_ctx* ctx, int si, const float* kp_source, const float* kp_driving,
                             uint8_t* out, size_t out_bytes);
LE_API int le_render_drive_rgba(le_ctx* ctx, int i, uint8_t* out, size_t out_bytes);
/* Driver frame `frame` as RGB24, owned by the context's driver cursor and
 * valid until about a dozen further frames have been decoded. */
LE_API const uint8_t* le_target_frame(le_ctx* ctx, int frame);

/* ---- Bundle resolution --------------------------------------------------- */

/* Resolves a bundle handle to the directory the library reads: a directory
 * is used as it is; an IMX container (given with or without its ".imx"
 * suffix) is unpacked once into "<name>.lebundle" beside it, or under
 * $LE_IMX_UNWRAP_ROOT, and reused on later calls.
 * Writes the directory, zero-terminated, into out[capacity].
 * Returns 1 on success, -1 on failure: NULL arguments or capacity 0 (nothing
 * written, no message); a path that does not fit or a broken container (out
 * set to "", message in le_last_error). A file that begins with the
 * container magic is a container: an unsupported version or a damaged header
 * fails here with the container's message. The unpack refuses a bundle
 * directory that is the container itself or holds it, and one that another
 * container of the same file name, still present, has unpacked (under
 * $LE_IMX_UNWRAP_ROOT); a container changed since its unpack is unpacked
 * again. Thread-safe; unpacking is serialised within the process, and across
 * processes by an advisory lock on the directory it unpacks into. */
LE_API int le_bundle_resolve_handle(const char* handle, char* out, size_t capacity);

/* Resolves a member of a bundle (for example "P.f16" or "drive/xs.f32") to
 * the file that holds it, under either naming layout a bake may have used.
 * Returns 1 when the path was written and the file opens for reading, 0 when
 * the path was written but the file does not open, -1 on bad arguments, a
 * path that does not fit, a broken container, or a member name that is not
 * a relative path inside the bundle (empty, absolute, or with a ".."
 * component; out set to ""). Neither clears nor sets le_last_error.
 * Thread-safe. */
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
 * ones, never waits for a seek. The ring never holds more than the prior's NT
 * rows: look_ahead is clamped to NT - 1, then history to NT - 1 - look_ahead
 * (with NT = 1: one row ahead, none behind). Returns NULL on failure (NULL bundle_dir, no
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

/* ---- Motion generator ---------------------------------------------------- */

/* Speech to one keypoint row per video frame through a motion directory
 * (the bundle's "motion/": an audio feature network with its own log-mel
 * front end, a motion latent network run in overlapping chunks and a
 * stitching network). Audio is 16 kHz mono float; one frame is 640 samples
 * (25 fps); a keypoint row is 63 floats (21 points x 3).
 *
 * le_motion_create loads every member file and network (all at once; a
 * directory that disagrees with itself is refused) and returns NULL on
 * failure with the reason in le_motion_last_error ("le_motion_create: ...").
 * threads < 1 uses the library's worker pool size for each network's
 * intra-op threads; ep is NULL, "" or "cpu" for the CPU, or
 * "coreml[:cpu|gpu|ane]" (the CPU is used, with one "[le]" line saying so,
 * where the runtime has no CoreML); anything else is refused.
 * le_motion_destroy releases it; NULL is ignored.
 *
 * An object is used by one thread at a time; different objects are
 * independent. Failures of these calls go to le_motion_last_error; a failure
 * while advancing leaves the object usable for the next le_motion_reset.
 *
 * One utterance: le_motion_reset, then le_motion_push as audio arrives,
 * le_motion_avail / le_motion_pull to stream the frames that are ready,
 * le_motion_finish at the end of the audio, and le_motion_pull until
 * le_motion_total frames have been pulled.
 *
 * With LE_MOTION_DUMP set to a directory (read at create), every utterance
 * writes its intermediate arrays there as raw float32 files: mel0.bin,
 * feat0.bin, lmdm0_kp.bin, lmdm0_aud.bin, lmdm0_pred.bin, xsla.bin,
 * xdla.bin, res_post.bin, final.bin, xs.bin, xd.bin. */
typedef struct le_motion le_motion;

LE_API le_motion* le_motion_create(const char* motion_dir, int threads, const char* ep);
LE_API void le_motion_destroy(le_motion* motion);

/* Driver frames of the directory ("nt" of its meta.json); 0 for NULL. */
LE_API int le_motion_nt(const le_motion* motion);

/* Begins a new utterance, dropping all audio and frames of the previous one.
 * Frame n of the utterance plays driver frame start + n * dir (start clamped
 * to 0 ... nt-1; dir is -1 for a negative direction, else +1), wrapped modulo
 * nt when loop is non-zero, otherwise turned back at either end of the clip. */
LE_API void le_motion_reset(le_motion* motion, int start, int direction, int loop);

/* With a value > 0, le_motion_avail runs the front end every 5 frames of
 * audio instead of once per latent chunk; the frames produced are the same. */
LE_API void le_motion_set_eager(le_motion* motion, int value);

/* Appends n samples (n = 0 is allowed). Returns 1, or 0 for a NULL object or
 * samples, a negative n, or a push after le_motion_finish. The frames
 * produced do not depend on how the audio is split into pushes. */
LE_API int le_motion_push(le_motion* motion, const float* samples, int n);

/* Marks the end of the audio and computes the remaining frames. */
LE_API void le_motion_finish(le_motion* motion);

/* After le_motion_finish, the utterance's frame count (samples / 640 rounded
 * up); -1 before it and for NULL. */
LE_API int le_motion_total(const le_motion* motion);

/* Advances as far as the audio pushed so far allows and returns the number of
 * frames ready to pull; 0 on failure (and for NULL). */
LE_API int le_motion_avail(le_motion* motion);

/* Writes up to max ready frames in order: for frame i, its driver frame index
 * in idx[i], its 63 source keypoint floats at xs + 63 i and its 63 driving
 * keypoint floats at xd + 63 i (all buffers the caller's). Returns the count
 * written, 0 on bad arguments or failure. */
LE_API int le_motion_pull(le_motion* motion, int* idx, float* xs, float* xd, int max);
/* ---- Utterance session ------------------------------------------------------ */

/* The real-time driver: push speech as it arrives, pull finished RGBA frames
 * (W x H x 4 bytes, alpha 255) at 25 fps at your own pace. Between
 * utterances the session delivers the driver clip's own frames (idle); during
 * speech it renders and pastes the audio-driven face (speech); after speech
 * it eases back to the driver's pose over ramp_frames frames (ramp).
 *
 * Created by le_utt_create / le_utt_open over a context that must outlive the
 * session (the session owns nothing of it, and the host must not render or
 * paste on that context while the session lives); destroyed by
 * le_utt_destroy (NULL allowed), which stops and joins the session's threads.
 * Every le_utt_* call may be made from any host thread, concurrently.
 *
 *     le_utt* s = le_utt_open(ctx, "avatars/anna");    // the bundle holds the audio models
 *     while (le_utt_ready(s) == 0) usleep(10000);
 *     le_utt_push_audio(s, pcm, n);                      // 16 kHz mono int16, as it arrives
 *     le_utt_end_utterance(s);
 *     le_utt_frame_info info;
 *     while (le_utt_pull_frame(s, rgba, rgba_bytes, &info) == 1) show(rgba, info.kind);
 *     le_utt_destroy(s);
 */
typedef struct le_utt le_utt;

typedef struct le_utt_opts {
  const char* motion_dir; /* audio-to-motion models: a bundle with a2x_enc_stream.onnx (streaming
                             audio-to-expression), else a motion directory; required */
  int threads;            /* ONNX Runtime threads of the motion model; 0: the context's */
  const char* ep;         /* execution provider of the motion generator; NULL: CPU */
  const char* steady_model; /* model key of the batched chunk renderer; NULL: "b24_fp32"
                               (LE_STEADY_MODEL overrides) */
  int batch;              /* speech render batch: >= 1 fixed, -2 hybrid (3 or 24 by backlog),
                             other < 1: hybrid if LE_UTT_HYBRID says so, else one frame at a time */
  double gap_s;           /* seconds without audio that end an utterance; 0: 0.6; < 0: only
                             le_utt_end_utterance ends one */
  int ramp_frames;        /* frames of the ease back to idle; 0: 6 */
  int param_b;            /* kept with the options; 0: 4 */
} le_utt_opts;

/* What le_utt_pull_frame says of a frame. */
typedef struct le_utt_frame_info {
  double t_ms;        /* steady-clock milliseconds at which the frame entered the delivered ring */
  int kind;           /* 0 idle, 1 speech, 2 ramp */
  int driver_index;   /* the driver frame it was pasted into (0 ... NT-1) */
  int speech_seq;     /* the utterance it belongs to (1, 2, ...; 0 before the first) */
} le_utt_frame_info;

/* Counters since creation; the last field is the state code (0 idle,
 * 1 speech pending, 2 speaking, 3 ramp). */
typedef struct le_utt_stats {
  long long frames_delivered;  /* frames pulled by the host */
  long long speech_delivered;  /* of which speech frames */
  long long frames_made;       /* frames that entered the delivered ring */
  long long frames_dropped;    /* made but dropped unpulled by an interrupt */
  long long speech_rendered;   /* speech frames rendered */
  double render_ms_smoothed;   /* render time per speech frame, exponentially smoothed */
  double render_ms_total;      /* summed render time of speech frames */
  double paste_ms_total;       /* summed paste time of all frames */
  double deliver_ms_total;     /* summed enqueue-to-delivered latency of speech frames */
  long long render_failures;
  int utterances;              /* utterances begun */
  int state;                   /* current state code */
} le_utt_stats;

/* NULL with le_utt_last_error on failure ("le_utt_create: NULL ctx/opts",
 * "le_utt_create: opts.motion_dir required", ...). The audio model loads on a
 * thread of its own: watch le_utt_ready. */
LE_API le_utt* le_utt_create(le_ctx* ctx, const le_utt_opts* opts);
/* le_utt_create with every option but motion_dir at its default. */
LE_API le_utt* le_utt_open(le_ctx* ctx, const char* motion_dir);
LE_API void le_utt_destroy(le_utt* utt);
/* 1 once the audio model is loaded, 0 while it loads, -1 for NULL or when it
 * failed to load (its message becomes this thread's le_utt_last_error; idle
 * frames keep flowing). */
LE_API int le_utt_ready(le_utt* utt);
/* Appends n samples of 16 kHz mono PCM (n = 0 allowed). 1, or 0 with
 * "le_utt_push_audio: bad args". Never waits for rendering. */
LE_API int le_utt_push_audio(le_utt* utt, const int16_t* samples, int n);
/* Marks the end of the current utterance. */
LE_API void le_utt_end_utterance(le_utt* utt);
/* Drops pending audio, queued work and every undelivered frame at once; the
 * next frame pulled is idle. */
LE_API void le_utt_interrupt(le_utt* utt);
/* Frames waiting to be pulled (0 ... 8); 0 for NULL. */
LE_API int le_utt_frames_available(le_utt* utt);
/* Copies the oldest waiting frame (W x H x 4 bytes) into dst and returns 1;
 * 0 when none waits; 0 with "le_utt_pull_frame: buffer too small" when
 * capacity is short (the frame stays queued) or "le_utt_pull_frame: bad
 * args". info may be NULL. */
LE_API int le_utt_pull_frame(le_utt* utt, uint8_t* dst, size_t capacity, le_utt_frame_info* info);
/* Copies the counters into out; 1, or 0 for NULL arguments. */
LE_API int le_utt_get_stats(le_utt* utt, le_utt_stats* out);
/* 0 when no render has failed, -1 after a failure: msg receives the last
 * failure ("<stage>: <message>", truncated, NUL-terminated) and *count the
 * number of failures (either may be NULL). */
LE_API int le_utt_render_status(le_utt* utt, char* msg, size_t capacity, int* count);

/* Arms the teeth borrow on a session: every speech and ramp crop has its mouth
 * band repainted from the reference bank before it is pasted. The inputs are
 * what le_tessera_members_* and the bank decoder give: `bank` holds n_donors
 * donor-ordered RGB24 patches (band_h x band_w x 3 each, the sizes following
 * from the 12 stamp values), cent 2 x n_donors, aperture n_donors, c_canon 2,
 * the head checkpoint bytes, the head configuration and the manifest text.
 * Everything is copied. 1 on success; 0 with le_utt_last_error otherwise
 * ("le_utt_tessera_attach: null session", "...: a required member is null —
 * this ABI has no partial-attach state", "...: n_donors <= 0", "...: bank
 * canvas C != this bundle's render crop N", ...). One attachment per session;
 * it lives until le_utt_destroy and runs on a thread of its own. */
LE_API int le_utt_tessera_attach(le_utt* utt, const uint8_t* bank, int n_donors, const double* cent,
                                 const double* aperture, const double* c_canon, const int* stamp,
                                 const uint8_t* head_pt, size_t head_pt_len, const char* head_json,
                                 const char* manifest_json);

/* What the attached borrow has done so far. */
typedef struct le_utt_tessera_counts {
  long long pushed;     /* crops handed to the pass */
  long long delivered;  /* crops repainted and handed on */
  long long switches;   /* changes of the leading donor */
  long long flushes;    /* ends of utterances (and interrupts) drained */
  int failures;         /* crops the stage could not repaint (delivered as rendered) */
  int lip_contour;      /* 1: lip contour mask, 0: ellipse */
} le_utt_tessera_counts;
/* 1 and *out filled when a borrow is attached; 0 otherwise (or for NULL). */
LE_API int le_utt_tessera_stats(le_utt* utt, le_utt_tessera_counts* out);
/* Width of the head's synthesis branch (16), 0 for a candidate-only head or
 * when nothing is attached. */
LE_API int le_utt_tessera_synth_w(le_utt* utt);
/* 1 and the 12 stamp values in out when a borrow is attached; 0 otherwise. */
LE_API int le_utt_tessera_geometry(le_utt* utt, int* out);

/* ---- Teeth borrow members (tessera) -------------------------------------- */

/* The four member slots, in order: "bank_track", "bank_sidecar",
 * "head_weights", "head_config". le_tessera_slot_key returns static text, or
 * NULL for an index outside 0..3. */
LE_API int le_tessera_slot_count(void);
LE_API const char* le_tessera_slot_key(int index);

/* Where a bundle keeps its teeth members. Created by le_tessera_carriage_open
 * (NULL on failure), destroyed by le_tessera_carriage_close (accepts NULL).
 * A handle is used from one thread at a time. Queries on NULL return 0, NULL
 * or "". le_tessera_carriage_missing returns a slot key (static text) or NULL;
 * le_tessera_carriage_path's text belongs to the handle and stays valid until
 * the next call on it ("" for an unknown slot). */
typedef struct le_tessera_carriage le_tessera_carriage;
LE_API le_tessera_carriage* le_tessera_carriage_open(const char* bundle_dir);
LE_API void le_tessera_carriage_close(le_tessera_carriage* carriage);
LE_API int le_tessera_carriage_complete(const le_tessera_carriage* carriage);
LE_API int le_tessera_carriage_declared(const le_tessera_carriage* carriage);
LE_API int le_tessera_carriage_missing_count(const le_tessera_carriage* carriage);
LE_API const char* le_tessera_carriage_missing(const le_tessera_carriage* carriage, int index);
LE_API const char* le_tessera_carriage_path(le_tessera_carriage* carriage, const char* slot);

/* The loaded and cross-checked members. le_tessera_members_open returns NULL
 * on failure with the reason in err (at most n - 1 characters, always
 * terminated; nothing written when err is NULL or n < 1). Destroyed by
 * le_tessera_members_close (accepts NULL). Every pointer an accessor returns
 * belongs to the handle and stays valid until it is closed; accessors on NULL
 * return 0, NULL or "". */
typedef struct le_tessera_members le_tessera_members;
LE_API le_tessera_members* le_tessera_members_open(const char* bundle_dir, char* err, int n);
LE_API void le_tessera_members_close(le_tessera_members* members);
LE_API int le_tessera_members_n_donors(const le_tessera_members* members);
LE_API const double* le_tessera_members_cent(const le_tessera_members* members);     /* 2 x n_donors */
LE_API const double* le_tessera_members_c_canon(const le_tessera_members* members);  /* 2 */
LE_API const double* le_tessera_members_aperture(const le_tessera_members* members); /* n_donors */
/* n_donors entries: frame i of the bank track holds donor track_order[i] (the
 * order the bank decoder takes). */
LE_API const int32_t* le_tessera_members_track_order(const le_tessera_members* members);
/* canvas_w, canvas_h, window_x0, window_y0, window_w, window_h, pad, band_r0,
 * band_r1, band_c0, band_c1, shift_margin */
LE_API const int* le_tessera_members_stamp(const le_tessera_members* members);
LE_API const uint8_t* le_tessera_members_head_pt(const le_tessera_members* members);
LE_API size_t le_tessera_members_head_pt_len(const le_tessera_members* members);
LE_API const char* le_tessera_members_head_json(const le_tessera_members* members);
LE_API const char* le_tessera_members_manifest_json(const le_tessera_members* members);
LE_API const char* le_tessera_members_lip_template_json(const le_tessera_members* members);
LE_API const char* le_tessera_members_bank_track_path(const le_tessera_members* members);
LE_API const char* le_tessera_members_bank_container(const le_tessera_members* members);
LE_API const char* le_tessera_members_bank_codec(const le_tessera_members* members);
LE_API const char* le_tessera_members_bank_pix_fmt(const le_tessera_members* members);
LE_API const char* le_tessera_members_bank_packing(const le_tessera_members* members);
LE_API int le_tessera_members_band_w(const le_tessera_members* members);
LE_API int le_tessera_members_band_h(const le_tessera_members* members);
/* n_donors x band_h x band_w x 3: the size of the donor-ordered RGB24 bank. */
LE_API size_t le_tessera_members_band_bytes(const le_tessera_members* members);
/* Copies patch i of a decoded track (track order) into donor slot
 * track_order[i] of out (le_tessera_members_band_bytes bytes each). 0 on
 * success, 1 on failure with the reason in err. */
LE_API int le_tessera_members_reorder(const le_tessera_members* members, const uint8_t* track,
                                      uint8_t* out, char* err, int n);

/* Repaints n host crops offline through one teeth borrow pass over the
 * bundle's members, without a session: the members are loaded and
 * cross-checked, the bank is decoded into donor order, the pass is armed
 * (lip contour when the bundle has a lip template), every crop is pushed in
 * order and the held ones are flushed; each crop's mouth band is written
 * back in place (a mouth closed tighter than the bank's smallest aperture
 * is left as it was). `crops` holds n crops of 3 x crop x crop floats
 * (channel-major, 0..1, crop = the bundle's render crop); xs and xd hold n
 * rows of 63 floats each: crop i is read with source row xs[i] and driving
 * row xd[i]. 1 on success; 0 with the reason in err (at most err_len - 1
 * characters, always terminated; nothing written when err is NULL or
 * err_len < 1): "le_tessera_run: null argument", "le_tessera_run: n < 1 —
 * no crop to repaint", or "le_tessera_run: " + the members', decoder's or
 * pass's message. The crops may be partly repainted after a failure. */
LE_API int le_tessera_run(const char* bundle_dir, float* crops, int n, const float* xs, const float* xd, char* err,
                          int err_len);
/* As le_tessera_run, with the driving rows shifted by `shift` frames: crop i
 * is read with source row xs[i] and driving row xd[j], j = i + shift clamped
 * to 0 ... n - 1 (a positive shift shows each crop the mouth its driving
 * track reaches `shift` frames later; shift 0 is le_tessera_run). Messages
 * begin "le_tessera_run_shift: ". */
LE_API int le_tessera_run_shift(const char* bundle_dir, float* crops, int n, const float* xs, const float* xd,
                                int shift, char* err, int err_len);

/* ---- Face-conditioned audio deltas (le_fca) ------------------------------ */

/* Converts a whole utterance of 16 kHz mono float speech into one row of 63
 * keypoint-delta floats per 25 fps video frame (640 samples per frame, a
 * partial last frame counts), in one call. It runs the 8-second audio feature
 * model ("input_values" [1,128000] -> "audio_emb" [12,200,768]) and a
 * recurrent head ("cond" [1,5376], "prev" [1,63], "h" [1,1,384] -> "m",
 * "hn") over features centred on the utterance's loud frames so far.
 *
 * le_fca_create opens both models (file paths) with `threads` ONNX Runtime
 * intra-op threads (< 1: the library's worker pool size); NULL on failure
 * with the reason in le_fca_last_error ("le_fca_create: ..."), for example a
 * head that does not declare the tensors above. le_fca_destroy releases the
 * object; NULL is ignored.
 *
 * One object is used by one thread at a time; separate objects are
 * independent. */
typedef struct le_fca le_fca;

LE_API le_fca* le_fca_create(const char* feature_model, const char* head_model, int threads);
LE_API void le_fca_destroy(le_fca* fca);

/* Writes F = ceil(n / 640) rows to out (row f at out[63 * f]) and returns F.
 * n < 1 returns 0 and writes nothing. max_frames < F returns -1 and writes
 * nothing, with no message. Any other failure returns -1 with the reason in
 * le_fca_last_error ("le_fca_deltas: ..."): a NULL object, samples or out;
 * samples that are NaN or infinite; a model failure. The caller owns samples
 * and out. */
LE_API int le_fca_deltas(le_fca* fca, const float* samples, int n, float* out, int max_frames);

/* ---- Offline stream (le_stream) ------------------------------------------- */

/* Renders a whole utterance offline: the keypoint deltas of all its frames
 * come from le_fca at once, then every frame is rendered (on a thread of the
 * stream's own) and pasted into its driver frame (on the calling thread), and
 * handed to a callback in order. */
typedef struct le_stream le_stream;

/* Receives output frame `frame` (0, 1, 2, ... in order) as packed RGB24,
 * `bytes` = width * height * 3 of them. The bytes belong to the stream and
 * are valid only during the call. Runs on the thread that called
 * le_stream_run; it must not call le_stream_run or le_stream_destroy on the
 * same stream. */
typedef void (*le_stream_frame_fn)(void* user, int frame, const uint8_t* rgb, size_t bytes,
                                   int width, int height);

/* Opens bundle_dir with its director "model_render.onnx", the bundle's
 * recurrent head "fca_stream.onnx" and the audio feature model at
 * feature_model, with `threads` inference threads (< 1: the pool size).
 * shift (>= 0) is how many frames the audio leads the picture; gain scales
 * the deltas (finite). Returns NULL on failure with the reason in
 * le_stream_last_error ("le_stream_create: ..."). le_stream_destroy releases
 * the stream; NULL is ignored. A stream runs one le_stream_run at a time;
 * distinct streams are independent. */
LE_API le_stream* le_stream_create(const char* bundle_dir, const char* feature_model, int threads,
                                   int shift, float gain);
LE_API void le_stream_destroy(le_stream* stream);

/* Full frame size of the stream's bundle; 0 for NULL. */
LE_API int le_stream_width(const le_stream* stream);
LE_API int le_stream_height(const le_stream* stream);

/* Renders the utterance samples[0 ... n-1] (16 kHz mono float): of its
 * F = ceil(n / 640) frames, the first `shift` only advance the driver, and
 * the remaining F - shift frames (none when shift >= F) go to on_frame
 * (which may be NULL) in order. Frame k pastes into driver frame (k + shift)
 * mod NT. Returns the number of frames delivered, or -1 on failure with the
 * reason in le_stream_last_error ("le_stream_run: ..."); frames before the
 * failing one have been delivered. The stream's render thread has always
 * ended when this returns, and the stream can run again. */
LE_API int le_stream_run(le_stream* stream, const float* samples, int n, le_stream_frame_fn on_frame,
                         void* user);

/* Where the time of the stream's last le_stream_run went (all zeros before
 * the first run). Render and paste run on two threads at once, so
 * deltas_ms + render_ms + paste_ms + callback_ms may exceed wall_ms. */
typedef struct le_stream_stats {
  long long frames;   /* frames pasted (and handed to the callback) */
  double wall_ms;     /* the whole call */
  double deltas_ms;   /* le_fca: audio features and the recurrent head */
  double render_ms;   /* summed director renders, on the render thread */
  double paste_ms;    /* summed pastes, on the calling thread */
  double callback_ms; /* summed time inside the host's callback */
} le_stream_stats;

/* Copies the statistics of the last run into *out: 1, or 0 with
 * "le_stream_get_stats: NULL stream/out" in le_stream_last_error. Safe from
 * any thread; during a run (for example from its callback) it gives the run
 * so far. */
LE_API int le_stream_get_stats(const le_stream* stream, le_stream_stats* out);

/* ---- Telemetry ----------------------------------------------------------- */

/* Process-wide metrics. le_tel_record sets a numeric metric, le_tel_record_str
 * a string metric; a NULL or empty key (or a NULL value) is ignored. A key
 * holds one value, whichever was recorded last, number or string.
 * le_tel_pending_json returns {"queued":N,"snapshot":{...}} describing the
 * device and every recorded metric, always valid JSON (bytes that are not
 * valid UTF-8, in keys or values, appear as U+FFFD); the text belongs to the
 * calling thread and stays valid until that thread calls le_tel_pending_json
 * again.
 * All three are thread-safe. */
LE_API void le_tel_record(const char* key, double value);
LE_API void le_tel_record_str(const char* key, const char* value);
LE_API const char* le_tel_pending_json(void);

#ifdef __cplusplus
}
#endif

#endif /* LE_LE_H */
