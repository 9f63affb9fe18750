"""le_core from Python: open an avatar bundle, render and paste frames, and run
a live utterance session, over the C library through ctypes (no compiled
extension).

    import numpy as np, le_core
    with le_core.Context("avatars/anna") as ctx, ctx.session() as s:
        s.push(pcm_int16)            # 16 kHz mono int16
        s.end()
        frame = s.pull()              # Frame(rgba=H x W x 4 uint8, kind, driver_index, speech_seq) or None

The library is found at $LE_CORE_LIBRARY, else as "lible_core.so.0" on the
loader's path. Failures raise le_core.Error carrying the library's message.
"""
import ctypes
import os
import time

import numpy as np

__all__ = ["Error", "Context", "Session", "Frame", "load_library", "version"]


class Error(RuntimeError):
    """A failed library call, with the library's own message."""


class _UttOpts(ctypes.Structure):
    _fields_ = [("motion_dir", ctypes.c_char_p), ("threads", ctypes.c_int), ("ep", ctypes.c_char_p),
                ("steady_model", ctypes.c_char_p), ("batch", ctypes.c_int), ("gap_s", ctypes.c_double),
                ("ramp_frames", ctypes.c_int), ("param_b", ctypes.c_int)]


class _FrameInfo(ctypes.Structure):
    _fields_ = [("t_ms", ctypes.c_double), ("kind", ctypes.c_int), ("driver_index", ctypes.c_int),
                ("speech_seq", ctypes.c_int)]


class _Stats(ctypes.Structure):
    _fields_ = [("frames_delivered", ctypes.c_longlong), ("speech_delivered", ctypes.c_longlong),
                ("frames_made", ctypes.c_longlong), ("frames_dropped", ctypes.c_longlong),
                ("speech_rendered", ctypes.c_longlong), ("render_ms_smoothed", ctypes.c_double),
                ("render_ms_total", ctypes.c_double), ("paste_ms_total", ctypes.c_double),
                ("deliver_ms_total", ctypes.c_double), ("render_failures", ctypes.c_longlong),
                ("utterances", ctypes.c_int), ("state", ctypes.c_int)]


_lib = None


def load_library(path=None):
    """Loads (once) and returns the C library."""
    global _lib
    if _lib is not None:
        return _lib
    lib = ctypes.CDLL(path or os.environ.get("LE_CORE_LIBRARY") or "lible_core.so.0")
    P, I, C, S = ctypes.c_void_p, ctypes.c_int, ctypes.c_char_p, ctypes.c_size_t
    U8 = ctypes.POINTER(ctypes.c_uint8)
    F32 = ctypes.POINTER(ctypes.c_float)
    sig = {
        "le_version": (C, []), "le_last_error": (C, []), "le_utt_last_error": (C, []),
        "le_create": (P, [C, C, I, C]), "le_destroy": (None, [P]),
        "le_nt": (I, [P]), "le_width": (I, [P]), "le_height": (I, [P]), "le_crop": (I, [P]),
        "le_drive_frames": (I, [P]),
        "le_render_kp_crop": (F32, [P, I, F32, F32]),
        "le_paste_crop": (I, [P, I, F32, U8, S]),
        "le_render_kp_rgba": (I, [P, I, F32, F32, U8, S]),
        "le_target_frame": (U8, [P, I]),
        "le_bundle_resolve_handle": (I, [C, C, S]),
        "le_utt_create": (P, [P, ctypes.POINTER(_UttOpts)]), "le_utt_destroy": (None, [P]),
        "le_utt_ready": (I, [P]), "le_utt_push_audio": (I, [P, ctypes.POINTER(ctypes.c_int16), I]),
        "le_utt_end_utterance": (None, [P]), "le_utt_interrupt": (None, [P]),
        "le_utt_frames_available": (I, [P]),
        "le_utt_pull_frame": (I, [P, U8, S, ctypes.POINTER(_FrameInfo)]),
        "le_utt_get_stats": (I, [P, ctypes.POINTER(_Stats)]),
        "le_utt_render_status": (I, [P, C, S, ctypes.POINTER(ctypes.c_int)]),
    }
    for name, (res, args) in sig.items():
        fn = getattr(lib, name)
        fn.restype = res
        fn.argtypes = args
    _lib = lib
    return lib


def version():
    return load_library().le_version().decode()


def _error(reader):
    return Error(reader().decode(errors="replace"))


def _f32(a, n, name):
    a = np.ascontiguousarray(a, dtype=np.float32).reshape(-1)
    if a.size != n:
        raise Error(f"{name}: expected {n} floats, got {a.size}")
    return a


class _Handle:
    """A library handle closed by close(), by a with block, or when collected."""
    _h = None

    def _release(self, h):
        raise NotImplementedError

    def close(self):
        if self._h:
            self._release(self._h)
            self._h = None

    def __enter__(self):
        return self

    def __exit__(self, *exc):
        self.close()

    def __del__(self):
        self.close()

    def _handle(self):
        if not self._h:
            raise Error(f"{type(self).__name__.lower()} is closed")
        return self._h


class Frame:
    """One delivered frame: rgba (H x W x 4 uint8), kind ("idle", "speech" or
    "ramp"), driver_index, speech_seq and t_ms."""
    KINDS = ("idle", "speech", "ramp")

    def __init__(self, rgba, info):
        self.rgba = rgba
        self.kind = self.KINDS[info.kind] if 0 <= info.kind < 3 else str(info.kind)
        self.driver_index = info.driver_index
        self.speech_seq = info.speech_seq
        self.t_ms = info.t_ms

    def __repr__(self):
        return f"Frame({self.kind}, driver_index={self.driver_index}, speech_seq={self.speech_seq})"


class Context(_Handle):
    """An opened bundle (le_create). Close it, or use it as a context manager;
    it closes itself when collected."""

    def __init__(self, bundle, model="b1", threads=0, ep=""):
        self._lib = load_library()
        self.bundle = os.fspath(bundle)
        self._h = self._lib.le_create(self.bundle.encode(), model.encode(), threads, ep.encode())
        if not self._h:
            raise _error(self._lib.le_last_error)
        self.nt = self._lib.le_nt(self._h)
        self.width = self._lib.le_width(self._h)
        self.height = self._lib.le_height(self._h)
        self.crop = self._lib.le_crop(self._h)
        self.drive_frames = self._lib.le_drive_frames(self._h)
        self._sessions = []

    def close(self):
        for s in getattr(self, "_sessions", []):
            s.close()  # a session must go before its context
        self._sessions = []
        super().close()

    def _release(self, h):
        self._lib.le_destroy(h)

    def render(self, si, kp_source, kp_driving):
        """The face crop for identity frame si: 3 x crop x crop float32 (a copy)."""
        xs, xd = _f32(kp_source, 63, "kp_source"), _f32(kp_driving, 63, "kp_driving")
        p = self._lib.le_render_kp_crop(self._handle(), si, xs.ctypes.data_as(ctypes.POINTER(ctypes.c_float)),
                                        xd.ctypes.data_as(ctypes.POINTER(ctypes.c_float)))
        if not p:
            raise _error(self._lib.le_last_error)
        return np.ctypeslib.as_array(p, shape=(3, self.crop, self.crop)).copy()

    def paste(self, frame, crop):
        """Driver frame `frame` with `crop` pasted in: H x W x 3 uint8."""
        c = _f32(crop, 3 * self.crop * self.crop, "crop")
        out = np.empty((self.height, self.width, 3), np.uint8)
        ok = self._lib.le_paste_crop(self._handle(), frame, c.ctypes.data_as(ctypes.POINTER(ctypes.c_float)),
                                     out.ctypes.data_as(ctypes.POINTER(ctypes.c_uint8)), out.nbytes)
        if not ok:
            raise _error(self._lib.le_last_error)
        return out

    def render_rgba(self, si, kp_source, kp_driving):
        """Render and paste in one call: H x W x 4 uint8."""
        xs, xd = _f32(kp_source, 63, "kp_source"), _f32(kp_driving, 63, "kp_driving")
        out = np.empty((self.height, self.width, 4), np.uint8)
        ok = self._lib.le_render_kp_rgba(self._handle(), si, xs.ctypes.data_as(ctypes.POINTER(ctypes.c_float)),
                                         xd.ctypes.data_as(ctypes.POINTER(ctypes.c_float)),
                                         out.ctypes.data_as(ctypes.POINTER(ctypes.c_uint8)), out.nbytes)
        if not ok:
            raise _error(self._lib.le_last_error)
        return out

    def session(self, motion_dir=None, **options):
        """A live utterance session over this context (see Session)."""
        s = Session(self, motion_dir, **options)
        self._sessions.append(s)
        return s


class Session(_Handle):
    """A live utterance session (le_utt). push() 16 kHz mono int16 audio, end()
    an utterance, pull() frames; interrupt() drops what is queued. Options:
    threads, steady_model, batch, gap_s, ramp_frames (see le/le.h)."""

    def __init__(self, ctx, motion_dir=None, threads=0, steady_model=None, batch=0, gap_s=0.0, ramp_frames=0,
                 wait_ready=60.0):
        self._lib = load_library()
        self._ctx = ctx
        if motion_dir is None:
            buf = ctypes.create_string_buffer(4096)
            if self._lib.le_bundle_resolve_handle(ctx.bundle.encode(), buf, 4096) != 1:
                raise _error(self._lib.le_last_error)
            motion_dir = buf.value.decode()
        if "W2V_ONNX" not in os.environ:
            own = os.path.join(motion_dir, "audio", "w2v.onnx")
            if os.path.exists(own):
                os.environ["W2V_ONNX"] = own
        self._keep = [os.fspath(motion_dir).encode(), (steady_model or "").encode()]
        opts = _UttOpts(self._keep[0], threads, None, self._keep[1] if steady_model else None, batch, gap_s,
                        ramp_frames, 0)
        self._h = self._lib.le_utt_create(ctx._handle(), ctypes.byref(opts))
        if not self._h:
            raise _error(self._lib.le_utt_last_error)
        self._frame_bytes = ctx.width * ctx.height * 4
        if wait_ready:
            deadline = time.monotonic() + wait_ready
            while self.ready() == 0 and time.monotonic() < deadline:
                time.sleep(0.005)

    def _release(self, h):
        self._lib.le_utt_destroy(h)

    def ready(self):
        """1 loaded, 0 loading; raises when the audio models failed to load."""
        r = self._lib.le_utt_ready(self._handle())
        if r < 0:
            raise _error(self._lib.le_utt_last_error)
        return r

    def push(self, pcm):
        a = np.ascontiguousarray(pcm)
        if a.dtype != np.int16:
            raise Error(f"push: expected int16 samples, got {a.dtype}")
        a = a.reshape(-1)
        if not self._lib.le_utt_push_audio(self._handle(), a.ctypes.data_as(ctypes.POINTER(ctypes.c_int16)), a.size):
            raise _error(self._lib.le_utt_last_error)

    def end(self):
        self._lib.le_utt_end_utterance(self._handle())

    def interrupt(self):
        self._lib.le_utt_interrupt(self._handle())

    def available(self):
        return self._lib.le_utt_frames_available(self._handle())

    def pull(self, timeout=0.0):
        """The next frame, waiting up to `timeout` seconds; None when none came."""
        out = np.empty((self._ctx.height, self._ctx.width, 4), np.uint8)
        info = _FrameInfo()
        deadline = time.monotonic() + timeout
        while True:
            r = self._lib.le_utt_pull_frame(self._handle(), out.ctypes.data_as(ctypes.POINTER(ctypes.c_uint8)),
                                            out.nbytes, ctypes.byref(info))
            if r == 1:
                return Frame(out, info)
            message = self._lib.le_utt_last_error()
            if message:
                raise Error(message.decode(errors="replace"))
            if time.monotonic() >= deadline:
                return None
            time.sleep(0.001)

    def stats(self):
        s = _Stats()
        self._lib.le_utt_get_stats(self._handle(), ctypes.byref(s))
        return {name: getattr(s, name) for name, _ in _Stats._fields_}

    def render_status(self):
        """(failure count, last failure text)."""
        buf = ctypes.create_string_buffer(512)
        n = ctypes.c_int(0)
        self._lib.le_utt_render_status(self._handle(), buf, 512, ctypes.byref(n))
        return n.value, buf.value.decode(errors="replace")
