"""Video and image members through the ffmpeg command-line tools.

Every encode is made reproducible: bit-exact flags, no metadata, fixed
thread counts, and an explicit limited-range BT.601 colour conversion (the
one the library's movie decoders assume; JPEG files are full-range JFIF, as
image decoders read them)."""
import os
import subprocess

import numpy as np

FFMPEG = os.environ.get("LE_BAKE_FFMPEG", "ffmpeg")
_QUIET = ["-hide_banner", "-loglevel", "error", "-nostdin"]
_EXACT = ["-fflags", "+bitexact", "-flags:v", "+bitexact", "-map_metadata", "-1"]
_TO_YUV = "scale=out_color_matrix=bt601:out_range=tv:flags=bitexact+accurate_rnd+full_chroma_int"
_TO_JFIF = "scale=out_color_matrix=bt601:out_range=pc:flags=bitexact+accurate_rnd+full_chroma_int"
_FROM_YUV = "scale=in_color_matrix=bt601:in_range=tv:flags=bitexact+accurate_rnd+full_chroma_int"


class MediaError(RuntimeError):
    pass


def _raw_input(width, height, fps):
    return ["-f", "rawvideo", "-pix_fmt", "rgb24", "-s", f"{width}x{height}", "-r", str(fps), "-i", "-"]


class Encoder:
    """An ffmpeg process that takes raw RGB24 frames (HxWx3 uint8) on stdin."""

    def __init__(self, args):
        self.args = args
        self.proc = subprocess.Popen([FFMPEG] + _QUIET + args, stdin=subprocess.PIPE, stderr=subprocess.PIPE)

    def write(self, frame):
        try:
            self.proc.stdin.write(np.ascontiguousarray(frame, dtype=np.uint8).tobytes())
        except BrokenPipeError:
            self.close()  # reports why ffmpeg stopped
            raise

    def close(self):
        if self.proc.stdin and not self.proc.stdin.closed:
            try:
                self.proc.stdin.close()
            except BrokenPipeError:
                pass
        err = self.proc.stderr.read().decode(errors="replace")
        if self.proc.wait() != 0:
            raise MediaError(f"ffmpeg failed writing {self.args[-1]}: {err.strip()}")


def h264_encoder(width, height, fps, path, crf=16):
    """The driver movie: H.264, yuv420p, one keyframe per second."""
    return Encoder(_raw_input(width, height, fps) + [
        "-vf", _TO_YUV + ",format=yuv420p", "-c:v", "libx264", "-preset", "veryfast", "-crf", str(crf),
        "-g", str(fps), "-bf", "0", "-threads", "2", "-pix_fmt", "yuv420p",
        "-colorspace", "bt470bg", "-color_primaries", "bt470bg", "-color_trc", "smpte170m",
        "-color_range", "tv", "-movflags", "+faststart"] + _EXACT + ["-f", "mp4", "-y", path])


def hevc444_encoder(side, fps, path, crf=8):
    """The warp prior as a movie: HEVC 4:4:4 in a QuickTime container."""
    return Encoder(_raw_input(side, side, fps) + [
        "-vf", _TO_YUV + ",format=yuv444p", "-c:v", "libx265", "-preset", "fast", "-crf", str(crf),
        "-x265-params", "log-level=error:pools=2:frame-threads=1:keyint=25", "-pix_fmt", "yuv444p",
        "-colorspace", "bt470bg", "-color_primaries", "bt470bg", "-color_trc", "smpte170m",
        "-color_range", "tv", "-tag:v", "hvc1"] + _EXACT + ["-f", "mov", "-y", path])


def jpeg_dir_encoder(width, height, directory):
    """The driver as numbered JPEG files frame_000000.jpg, frame_000001.jpg, ..."""
    os.makedirs(directory, exist_ok=True)
    return Encoder(_raw_input(width, height, 25) + [
        "-vf", _TO_JFIF + ",format=yuvj444p", "-q:v", "2", "-threads", "1"] + _EXACT +
        ["-start_number", "0", "-f", "image2", "-y", os.path.join(directory, "frame_%06d.jpg")])


def write_png(image, path):
    """Writes an HxWx3 uint8 image as PNG."""
    h, w = image.shape[:2]
    enc = Encoder(_raw_input(w, h, 25) + ["-frames:v", "1"] + _EXACT + ["-f", "image2", "-y", path])
    enc.write(image)
    enc.close()


def decode_rgb(path, width, height):
    """All frames of a movie (or an image sequence pattern) as (N, H, W, 3)
    uint8, converted with limited-range BT.601 and no rescaling: a movie
    of another size is an error, not something to resample."""
    cmd = [FFMPEG] + _QUIET + ["-i", path, "-vf", _FROM_YUV + ",format=rgb24", "-s", f"{width}x{height}",
                               "-f", "rawvideo", "-pix_fmt", "rgb24", "-"]
    probe = probe_video(path)
    if (probe["width"], probe["height"]) != (width, height):
        raise MediaError(f"{path} is {probe['width']}x{probe['height']}, expected {width}x{height}")
    out = subprocess.run(cmd, stdout=subprocess.PIPE, stderr=subprocess.PIPE)
    if out.returncode != 0:
        raise MediaError(f"cannot decode {path}: {out.stderr.decode(errors='replace').strip()}")
    frame = width * height * 3
    if len(out.stdout) % frame:
        raise MediaError(f"{path}: decoded {len(out.stdout)} bytes, not a whole number of frames")
    return np.frombuffer(out.stdout, np.uint8).reshape(-1, height, width, 3)


def probe_video(path):
    """Codec, pixel format, size and declared frame count of the first video stream."""
    cmd = [FFMPEG.replace("ffmpeg", "ffprobe")] + _QUIET[:3] + [
        "-select_streams", "v:0", "-show_entries", "stream=codec_name,pix_fmt,width,height,nb_frames",
        "-of", "default=noprint_wrappers=1", path]
    out = subprocess.run(cmd, stdout=subprocess.PIPE, stderr=subprocess.PIPE)
    if out.returncode != 0:
        raise MediaError(f"cannot probe {path}: {out.stderr.decode(errors='replace').strip()}")
    info = dict(line.split("=", 1) for line in out.stdout.decode().splitlines() if "=" in line)
    for key in ("width", "height"):
        info[key] = int(info[key])
    info["nb_frames"] = int(info["nb_frames"]) if info.get("nb_frames", "N/A").isdigit() else -1
    return info
