#!/usr/bin/python3
"""Checks a baked bundle's contents against each other and against the
contract of its director models.

  check_bundle.py BUNDLE_DIR [--min-psnr DB]

Exit status 0 when every check passes; each failure is printed. Checks:
  - manifest.json parses, names no loader key twice, and the arrays agree
    with it (element counts, source indices in range, source keypoints of
    the drive track equal to the identity frames' keypoints);
  - the driver movie is H.264 yuv420p of W x H and decodes to exactly NT
    frames (the JPEG directory, when there is one, holds NT W x H frames);
  - each identity frame's warp prior (P.f16, or the P_hevc.mov frames, or
    the image rebuilt from fs_red.f16) matches the crop cut from the decoded
    driver frame through M, within codec loss;
  - every director model passes onnx.checker and keeps its contract;
  - the audio side: every audio network passes onnx.checker and declares
    the tensors, shapes and types the library reads; the streaming tables
    and the motion directory's arrays have their exact sizes; the networks
    are the ones the bake's seed builds, and on real speech (espeak-ng) the
    short-window features reproduce the 8-second ones and every pipeline
    opens the lips on voiced frames and closes them in silence."""
import argparse
import json
import math
import os
import sys

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, HERE)

import numpy as np  # noqa: E402
import onnx  # noqa: E402
import torch  # noqa: E402

from bakelib import audio_check, director, identity, m4b, media, members  # noqa: E402

LOADER_KEYS = ("NT", "frame_count", "H", "W", "crop", "crop_size", "amount", "sigma", "ksize", "frames",
               "M_src_w", "paste_source_width", "M_src_h", "paste_source_height", "format", "agent")


class Report:
    def __init__(self):
        self.failures = []

    def check(self, ok, what):
        print(("ok    " if ok else "FAIL  ") + what)
        if not ok:
            self.failures.append(what)
        return ok


def member_path(root, name):
    """The file of member `name` under whichever layout the bundle uses."""
    welded = os.path.join(root, name)
    if os.path.exists(welded):
        return welded
    layout = os.path.join(root, members.manifest_layout_name(name))
    return layout if os.path.exists(layout) else welded


def key_counts(obj, counts):
    if isinstance(obj, dict):
        for k, v in obj.items():
            if not isinstance(v, (dict, list)):
                counts[k] = counts.get(k, 0) + 1
            key_counts(v, counts)
    elif isinstance(obj, list):
        for v in obj:
            key_counts(v, counts)
    return counts


def psnr(a, b):
    mse = float(np.mean((np.asarray(a, np.float64) - np.asarray(b, np.float64)) ** 2))
    return math.inf if mse == 0 else 10.0 * math.log10(1.0 / mse)


def check(root, min_psnr):
    r = Report()
    with open(os.path.join(root, "manifest.json")) as f:
        man = json.load(f)
    counts = key_counts(man, {})
    r.check(all(counts.get(k, 0) <= 1 for k in LOADER_KEYS), "manifest names each loader key at most once")
    r.check(man.get("format") == "le-bundle-v0", "manifest format is le-bundle-v0")
    nt, h, w, crop, frames = (int(man[k]) for k in ("NT", "H", "W", "crop", "frames"))
    msrc_w, msrc_h = int(man["M_src_w"]), int(man["M_src_h"])

    def arr(name, dtype, shape):
        data = np.fromfile(member_path(root, name), dtype=dtype)
        if not r.check(data.size == int(np.prod(shape)), f"{name} holds {shape} {np.dtype(dtype).name}"):
            raise SystemExit(1)
        return data.reshape(shape)

    m = arr("M.f32", "<f4", (nt, 2, 3)).astype(np.float64)
    m_canvas = m * np.array([w / msrc_w, h / msrc_h])[None, :, None]
    xs_target = arr("xs_target.bin", "<f4", (nt, 21, 3))
    xs = arr("drive/xs.f32", "<f4", (frames, 21, 3))
    xd = arr("drive/xd.f32", "<f4", (frames, 21, 3))
    si = arr("drive/si.i32", "<i4", (frames,))
    pooled = arr("pooled64.f16", "<f2", (nt,) + identity.POOLED_SHAPE)
    mask = arr("mask_512.u8", "u1", (crop, crop))
    r.check(bool(np.all((si >= 0) & (si < nt))), "drive source indices lie in 0..NT-1")
    r.check(bool(np.array_equal(xs, xs_target[np.clip(si, 0, nt - 1)])),
            "drive source keypoints are the identity frames' keypoints")
    r.check(bool(np.all(np.isfinite(xd)) and np.abs(xd[:, :, :2]).max() < 1.0), "driven keypoints lie in the crop")
    r.check(bool(np.abs(xs_target[:, :, :2]).max() < 1.0), "source keypoints lie in the crop")
    r.check(bool(np.all(np.linalg.det(m_canvas[:, :, :2]) > 0)), "paste transforms are not degenerate")
    centre = m_canvas[:, :, :2] @ np.array([crop / 2.0, crop / 2.0]) + m_canvas[:, :, 2]
    r.check(bool(np.all((centre >= 0) & (centre < [w, h]))), "every crop centre lands on the canvas")
    r.check(mask[crop // 2, crop // 2] == 255 and mask[0, 0] == 0 and mask[-1, -1] == 0,
            "paste mask is opaque at the centre and clear at the corners")
    r.check(bool(np.all(np.isfinite(pooled.astype(np.float32)))), "pooled features are finite")

    # Driver video.
    movie = member_path(root, "target_frames.mp4")
    info = media.probe_video(movie)
    r.check(info["codec_name"] == "h264" and info["pix_fmt"] == "yuv420p", f"driver movie is H.264 yuv420p ({info})")
    r.check(info["nb_frames"] == nt, f"driver movie declares NT={nt} frames")
    driver = media.decode_rgb(movie, w, h)
    r.check(driver.shape == (nt, h, w, 3), f"driver movie decodes to {nt} frames of {w}x{h}")
    jpeg_dir = os.path.join(root, "target_frames")
    if os.path.isdir(jpeg_dir):
        jpegs = media.decode_rgb(os.path.join(jpeg_dir, "frame_%06d.jpg"), w, h)
        r.check(jpegs.shape[0] == nt and len(os.listdir(jpeg_dir)) == nt, f"JPEG directory holds {nt} frames")
        r.check(min(psnr(a / 255.0, b / 255.0) for a, b in zip(jpegs, driver)) > 30.0,
                "JPEG frames show the same pictures as the movie")

    # Warp prior against the crops of the decoded driver.
    cuts = np.stack([identity.cut_crop(torch.from_numpy(f.transpose(2, 0, 1).astype(np.float32) / 255.0),
                                       m_canvas[i], crop).numpy() for i, f in enumerate(driver[:nt])])
    prior_kind, prior = None, None
    if os.path.exists(member_path(root, "P.f16")):
        prior_kind, prior = "P.f16", arr("P.f16", "<f2", (nt, 3, crop, crop)).astype(np.float32)
    elif isinstance(man.get("P_hevc"), str):
        path = member_path(root, man["P_hevc"])
        info = media.probe_video(path)
        r.check(info["codec_name"] == "hevc" and info["pix_fmt"] == "yuv444p" and info["nb_frames"] == nt,
                f"{man['P_hevc']} is HEVC yuv444p with NT frames ({info})")
        prior_kind = man["P_hevc"]
        prior = media.decode_rgb(path, crop, crop).transpose(0, 3, 1, 2).astype(np.float32) / 255.0
    elif os.path.exists(member_path(root, "fs_red.f16")):
        fs = arr("fs_red.f16", "<f2", (nt, 262144)).astype(np.float32)
        synth = director.FeatSynthDirector(crop)
        with torch.no_grad():
            prior = synth.source(torch.from_numpy(fs)).numpy()
        prior_kind = "fs_red.f16 (rebuilt image)"
        # The features keep the crop at up to 256 pixels: reduce the cuts the same way.
        with torch.no_grad():
            cuts = synth.source(identity.featsynth_features(torch.from_numpy(cuts)).reshape(nt, -1)).numpy()
    if r.check(prior is not None, "the bundle carries a warp prior"):
        worst = min(psnr(prior[i], cuts[i]) for i in range(nt))
        r.check(worst >= min_psnr, f"{prior_kind} rows match the decoded driver's crops through M "
                                   f"(worst PSNR {worst:.1f} dB >= {min_psnr} dB)")

    # Director models.
    featsynth = bool(prior_kind) and prior_kind.startswith("fs_red")
    kind = director.FeatSynthDirector if featsynth else director.StandardDirector
    is_m4b = man.get("bake", {}).get("director") == "m4b"
    for key, batch in members.M4B_MODEL_KEYS if is_m4b else members.MODEL_KEYS:
        path = member_path(root, f"model_{key}.onnx")
        proto = onnx.load(path)
        try:
            onnx.checker.check_model(proto, full_check=True)
            checked = True
        except onnx.checker.ValidationError as e:
            checked = False
            print(e)
        r.check(checked, f"model_{key}.onnx passes onnx.checker")
        if is_m4b:
            problems = m4b.contract_problems(proto, batch)
        else:
            model = kind(crop)
            problems = director.contract_problems(proto, model.input_names, model.example_inputs(batch), crop)
        r.check(not problems, f"model_{key}.onnx keeps the director contract {problems or ''}")

    audio_check.check_audio(root, man, xs_target, r, lambda name: member_path(root, name))
    return r


def main():
    p = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    p.add_argument("bundle")
    p.add_argument("--min-psnr", type=float, default=30.0)
    args = p.parse_args()
    torch.set_num_threads(2)
    report = check(args.bundle, args.min_psnr)
    n = len(report.failures)
    print(f"{args.bundle}: {'all checks passed' if not n else f'{n} check(s) FAILED'}")
    return 1 if n else 0


if __name__ == "__main__":
    sys.exit(main())
