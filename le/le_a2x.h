/*
 * le_core: streaming audio-to-expression (le_a2x_*), C interface.
 *
 * An le_a2x turns 16 000 Hz mono float speech into one keypoint row per
 * 25 fps video frame (640 samples per frame) for a bundle whose driver clip
 * has le_a2x_nt frames. Audio goes in with le_a2x_push as it arrives; frames
 * come out with le_a2x_pull as soon as the models' look-ahead is satisfied,
 * in whole blocks of 8 frames until le_a2x_finish releases the rest. Each
 * pulled frame names its driver frame (the clip is walked in loop or bounce
 * order from the start given to le_a2x_reset), that frame's source keypoints
 * xs (63 floats) and the speech-driven keypoints xd = xs + delta.
 *
 *     le_a2x* a = le_a2x_create("avatars/anna", 0);    // W2V_ONNX names the feature model
 *     if (!a) { fprintf(stderr, "%s\n", le_a2x_last_error()); return 1; }
 *     le_a2x_reset(a, 0, 1, 1);
 *     le_a2x_push(a, samples, n);                        // as audio arrives
 *     le_a2x_finish(a);                                  // at the end of the utterance
 *     int idx[8]; float xs[8 * 63], xd[8 * 63];
 *     while (le_a2x_avail(a) > 0) { int got = le_a2x_pull(a, idx, xs, xd, 8); ... }
 *     le_a2x_destroy(a);
 *
 * Errors follow the convention described in le/le.h; this family's reader is
 * le_a2x_last_error. An le_a2x is used by one thread at a time; separate
 * objects may run on separate threads at once (the audio feature sessions
 * they share are safe for concurrent use).
 *
 * Environment read at creation: W2V_ONNX (the legacy 8-second feature model,
 * required), LE_A2X_W2V_WIN_ONNX and LE_A2X_W2V_HEAD_ONNX (the short-window
 * feature pair; by default looked for beside W2V_ONNX), LE_A2X_W2V_RIGHT
 * (feature right context in frames, default 12), LE_A2X_SILENCE_PRIME
 * (frames of silence priming; default the bundle's "silence_prime"),
 * LE_A2X_CUDA, LE_A2X_CUDA_ALL and LE_A2X_CUDA_MEM_MIB (CUDA provider, where
 * the runtime has one).
 */
#ifndef LE_LE_A2X_H
#define LE_LE_A2X_H

#include "le/le.h"

#ifdef __cplusplus
extern "C" {
#endif

typedef struct le_a2x le_a2x;

/* The calling thread's last le_a2x_* error ("" when none). */
LE_API const char* le_a2x_last_error(void);

/* Opens the bundle's streaming models (a2x_meta.json, a2x_pos.f32,
 * a2x_norm.f32, xs_target.bin, a2x_enc_stream.onnx, a2x_dec.onnx) and the
 * process-wide feature sessions. threads <= 0, or at least the worker pool's
 * size, means the pool's size. NULL on failure. Destroy with le_a2x_destroy. */
LE_API le_a2x* le_a2x_create(const char* bundle_dir, int threads);
/* NULL is ignored. */
LE_API void le_a2x_destroy(le_a2x* a2x);

/* Opens the process-wide legacy feature session now, from `path` (NULL or
 * "": W2V_ONNX). Later creations use it whatever path they name. 1 on
 * success, 0 on failure. */
LE_API int le_a2x_preload_w2v(const char* path);

/* Driver frames of the bundle (rows of xs_target.bin); 0 for NULL. */
LE_API int le_a2x_nt(const le_a2x* a2x);
/* 1 when the encoder gives a per-frame width value (le_a2x_pull_wn), else 0. */
LE_API int le_a2x_width(const le_a2x* a2x);
/* Stored for parity with le_motion_set_eager; streaming does not depend on it. */
LE_API void le_a2x_set_eager(le_a2x* a2x, int eager);

/* Begins a new utterance: drops all audio and frames. Frames are numbered
 * from driver frame `start` walking forwards (dir >= 0) or backwards
 * (dir < 0), wrapping (loop != 0) or turning at the clip's ends (loop == 0).
 * start < 0 continues from the driver frame the next frame would have had. */
LE_API void le_a2x_reset(le_a2x* a2x, int start, int dir, int loop);
/* Appends n samples (nothing for n <= 0); 1 on success. Non-finite samples
 * are refused (0) and nothing of that push is kept. */
LE_API int le_a2x_push(le_a2x* a2x, const float* samples, int n);
/* Marks the end of the utterance: the last partial block and the look-ahead
 * tail become available. Later pushes still append. */
LE_API void le_a2x_finish(le_a2x* a2x);
/* After le_a2x_finish, the utterance's frame count ceil(samples / 640);
 * before it (or for NULL), -1. */
LE_API int le_a2x_total(const le_a2x* a2x);
/* Advances the models a bounded step and returns the frames ready to pull;
 * a model failure leaves the error set and those frames unavailable. */
LE_API int le_a2x_avail(le_a2x* a2x);
/* Writes up to max frames: for frame i, idx[i], xs[63 i .. 63 i + 62] and
 * xd[63 i .. 63 i + 62] (and wn[i] for le_a2x_pull_wn: the encoder's width
 * value, 0 when it gives none). Returns the count written. */
LE_API int le_a2x_pull(le_a2x* a2x, int* idx, float* xs, float* xd, int max);
LE_API int le_a2x_pull_wn(le_a2x* a2x, int* idx, float* xs, float* xd, float* wn, int max);

/* Whole-utterance conversion, independent of the streaming state: writes
 * F = ceil(n / 640) delta rows of 63 floats (not added to xs) and returns F;
 * 0 for n < 1, -2 (nothing written) when max_frames < F, -1 on failure. */
LE_API int le_a2x_deltas(le_a2x* a2x, const float* samples, int n, float* out, int max_frames);
/* The same plus the encoder's width values (wn[f] for f < F); -3 when the
 * encoder gives none. */
LE_API int le_a2x_deltas_wn(le_a2x* a2x, const float* samples, int n, float* out, float* wn,
                            int max_frames);

#ifdef __cplusplus
}
#endif

#endif /* LE_LE_A2X_H */
