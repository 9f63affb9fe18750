#!/usr/bin/python3
"""Bakes the synthetic demo avatar into a bundle directory.

  bake.py --profile tiny|full --out DIR [--seed N] [--layout welded|manifest]
          [--jpeg-dir] [--hevc-prior] [--featsynth] [--director standard|m4b] [--msrc-canvas WxH]
          [--crop N] [--canvas WxH] [--nt N] [--frames N]
          [--refs N] [--ref-dir DIR] [--keypoints-png PATH]
          [--imx OUT.imx --le-imx PATH] [--threads N] [--tessera] [--force]

The same arguments and tool sources always produce the same bytes; a bake
whose stamp (DIR.stamp) matches is skipped."""
import argparse
import glob
import hashlib
import json
import os
import shutil
import subprocess
import sys
import time

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, HERE)

PROFILES = {
    # crop, canvas, identity frames, drive frames, unsharp (amount, sigma, ksize), reference cases
    "tiny": {"crop": 64, "canvas": (320, 240), "nt": 8, "frames": 16, "unsharp": (0.8, 1.0, 5), "refs": 3},
    "full": {"crop": 512, "canvas": (1920, 1080), "nt": 100, "frames": 150, "unsharp": (1.3, 2.0, 13), "refs": 0},
}
FPS = 25
# Reference donors of the teeth bank per profile (--tessera).
TESSERA_DONORS = {"tiny": 8, "full": 32}


def _size(text):
    try:
        w, h = text.lower().split("x")
        return int(w), int(h)
    except ValueError:
        raise argparse.ArgumentTypeError(f"expected WxH, got {text!r}")


def parse_args(argv):
    p = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    p.add_argument("--profile", choices=sorted(PROFILES), required=True)
    p.add_argument("--out", required=True, help="bundle directory to write")
    p.add_argument("--seed", type=int, default=1)
    p.add_argument("--layout", choices=("welded", "manifest"), default="welded",
                   help="member names: the welded names, or the manifest-layout names")
    p.add_argument("--jpeg-dir", action="store_true", help="also write the driver as target_frames/*.jpg")
    p.add_argument("--hevc-prior", action="store_true", help="P_hevc.mov (HEVC 4:4:4) instead of P.f16")
    p.add_argument("--featsynth", action="store_true", help="fs_red.f16 and FeatSynth directors, no P.f16")
    p.add_argument("--director", choices=("standard", "m4b"), default="standard",
                   help="m4b: the fused director at crop 512 (models b1 and b4 only)")
    p.add_argument("--msrc-canvas", type=_size, help="author M on this canvas (the paste-space stamp)")
    p.add_argument("--crop", type=int)
    p.add_argument("--canvas", type=_size, help="driver canvas WxH")
    p.add_argument("--nt", type=int, help="identity frames (the driver loop's length)")
    p.add_argument("--frames", type=int, help="drive track frames")
    p.add_argument("--agent", default="demo-avatar")
    p.add_argument("--refs", type=int, help="reference cases per director model (0: none)")
    p.add_argument("--ref-dir", help="where the references go (default: DIR.ref)")
    p.add_argument("--keypoints-png", help="write a driver frame with its keypoints drawn")
    p.add_argument("--keypoints-frame", type=int, default=0)
    p.add_argument("--imx", help="also pack the bundle into this IMX container")
    p.add_argument("--le-imx", help="path of the le_imx packer (needed with --imx)")
    p.add_argument("--threads", type=int, default=2)
    p.add_argument("--force", action="store_true", help="bake even when the stamp says up to date")
    p.add_argument("--tessera", action="store_true",
                   help="also write the teeth borrow's members and the lip template")
    args = p.parse_args(argv)

    prof = PROFILES[args.profile]
    pick = lambda given, default: default if given is None else given
    cfg = {
        "profile": args.profile, "seed": args.seed, "layout": args.layout, "jpeg_dir": args.jpeg_dir,
        "hevc_prior": args.hevc_prior, "featsynth": args.featsynth, "agent": args.agent,
        "director": args.director,
        "crop": pick(args.crop, 512 if args.director == "m4b" else prof["crop"]), "canvas": list(pick(args.canvas, prof["canvas"])),
        "nt": pick(args.nt, prof["nt"]), "frames": pick(args.frames, prof["frames"]),
        "unsharp": list(prof["unsharp"]),
        "refs": prof["refs"] if args.refs is None else args.refs,
    }
    cfg["msrc"] = list(pick(args.msrc_canvas, cfg["canvas"]))
    if args.tessera:
        cfg["tessera"] = {"donors": TESSERA_DONORS[args.profile]}
    problems = []
    if args.hevc_prior and args.featsynth:
        problems.append("--hevc-prior and --featsynth are different bundle kinds; pick one")
    w, h = cfg["canvas"]
    if w < 16 or h < 16 or w % 2 or h % 2:
        problems.append(f"the canvas must be even and at least 16x16 (4:2:0 video), not {w}x{h}")
    if min(cfg["msrc"]) < 1:
        problems.append("--msrc-canvas must be positive")
    if cfg["crop"] < 16 or cfg["crop"] % 16 or (cfg["crop"] > 64 and cfg["crop"] % 64):
        problems.append(f"the crop must be a multiple of 16 and, above 64, of 64, not {cfg['crop']}")
    if cfg["featsynth"] and cfg["crop"] % 64:
        problems.append("the FeatSynth variant needs a crop that is a multiple of 64")
    if cfg["director"] == "m4b" and (cfg["crop"] != 512 or cfg["featsynth"]):
        problems.append("the m4b director is a standard director at crop 512")
    if cfg["nt"] < 1 or cfg["frames"] < 1:
        problems.append("--nt and --frames must be at least 1")
    if cfg["refs"] < 0 or cfg["refs"] > 3:
        problems.append("--refs is 0 to 3")
    if args.imx and not (args.le_imx and os.access(args.le_imx, os.X_OK)):
        problems.append("--imx needs --le-imx, the path of the le_imx packer")
    if problems:
        p.error("; ".join(problems))
    return args, cfg


def stamp_of(args, cfg):
    """Hash of the tool's sources, the resolved configuration and the
    outputs asked for: equal stamps mean equal bakes."""
    h = hashlib.sha256()
    for root, _, files in sorted(os.walk(HERE)):
        for name in sorted(files):
            if name.endswith(".py") and "__pycache__" not in root:
                path = os.path.join(root, name)
                h.update(os.path.relpath(path, HERE).encode() + b"\0")
                with open(path, "rb") as f:
                    h.update(f.read())
    packer = None
    if args.imx:
        st = os.stat(args.le_imx)
        packer = [os.path.abspath(args.le_imx), st.st_size, st.st_mtime_ns]
    extra = {"imx": args.imx and os.path.abspath(args.imx), "packer": packer,
             "ref_dir": os.path.abspath(ref_dir_of(args)),
             "png": args.keypoints_png and os.path.abspath(args.keypoints_png), "png_frame": args.keypoints_frame}
    h.update(json.dumps([cfg, extra], sort_keys=True).encode())
    return h.hexdigest()


def ref_dir_of(args):
    return args.ref_dir or os.path.normpath(args.out) + ".ref"


def up_to_date(args, cfg, stamp):
    path = os.path.normpath(args.out) + ".stamp"
    try:
        with open(path) as f:
            if f.read().strip() != stamp:
                return False
    except OSError:
        return False
    wanted = [os.path.join(args.out, "manifest.json")]
    if cfg["refs"]:
        wanted.append(os.path.join(ref_dir_of(args), "index.txt"))
    if args.imx:
        wanted.append(args.imx)
    if args.keypoints_png:
        wanted.append(args.keypoints_png)
    return all(os.path.exists(p) for p in wanted)


class Clock:
    def __init__(self):
        self.start = self.last = time.time()
        self.lines = []

    def lap(self, what):
        now = time.time()
        self.lines.append(f"{what} {now - self.last:.2f} s")
        self.last = now


def _replace_dir(tmp, final):
    if os.path.lexists(final):
        shutil.rmtree(final) if os.path.isdir(final) and not os.path.islink(final) else os.remove(final)
    os.rename(tmp, final)


def bake(args, cfg):
    import numpy as np
    import torch

    from bakelib import avatar as av
    from bakelib import audio_refs, audio_side, director, identity, media, members, performance, preview, references

    torch.set_num_threads(max(1, args.threads))
    clock = Clock()
    out = os.path.normpath(args.out)
    tmp = f"{out}.partial-{os.getpid()}"
    ref_tmp = f"{ref_dir_of(args)}.partial-{os.getpid()}"
    for d in glob.glob(f"{glob.escape(out)}.partial-*") + glob.glob(f"{glob.escape(ref_dir_of(args))}.partial-*"):
        pid = d.rsplit("-", 1)[-1]
        if not pid.isdigit() or not os.path.exists(f"/proc/{pid}") or int(pid) == os.getpid():
            shutil.rmtree(d, ignore_errors=True)  # left by a bake that did not finish
    os.makedirs(tmp)
    writer = members.Writer(tmp, cfg["layout"])
    (w, h), crop, nt, frames = cfg["canvas"], cfg["crop"], cfg["nt"], cfg["frames"]
    person = av.Avatar(w, h, nt, cfg["seed"])

    # Driver clip and the face crops cut from it.
    encoders = [media.h264_encoder(w, h, FPS, writer.path("target_frames.mp4"))]
    if cfg["jpeg_dir"]:
        encoders.append(media.jpeg_dir_encoder(w, h, os.path.join(tmp, "target_frames")))
    crops = np.zeros((nt, 3, crop, crop), np.float16)
    transforms = np.zeros((nt, 2, 3), np.float64)
    png_frame = args.keypoints_frame % nt
    picture = None
    try:
        for i in range(nt):
            frame = person.frame(i)
            u8 = (frame.clamp(0, 1) * 255.0 + 0.5).to(torch.uint8).permute(1, 2, 0).contiguous().numpy()
            for e in encoders:
                e.write(u8)
            transforms[i] = person.crop_affine(i, crop)
            crops[i] = identity.cut_crop(frame, transforms[i], crop).numpy().astype(np.float16)
            if args.keypoints_png and i == png_frame:
                picture = preview.keypoint_picture(frame, person.keypoints_canvas(i))
    finally:
        for e in encoders:
            e.close()
    clock.lap("driver+crops")

    # Identity members.
    crops32 = torch.from_numpy(crops.astype(np.float32))
    if cfg["hevc_prior"]:
        enc = media.hevc444_encoder(crop, FPS, writer.path("P_hevc.mov"))
        try:
            for i in range(nt):
                enc.write(np.round(crops[i].astype(np.float32).transpose(1, 2, 0) * 255.0).astype(np.uint8))
        finally:
            enc.close()
        writer.written.append("P_hevc.mov")
    elif not cfg["featsynth"]:
        writer.array("P.f16", crops, "f2")
    pooled = identity.pooled_features(crops32, cfg["seed"]).numpy().astype(np.float16)
    writer.array("pooled64.f16", pooled, "f2")
    fs_red = None
    if cfg["featsynth"]:
        fs_red = identity.featsynth_features(crops32).numpy().astype(np.float16)
        writer.array("fs_red.f16", fs_red, "f2")
    msrc_scale = np.array([cfg["msrc"][0] / w, cfg["msrc"][1] / h])[:, None]
    writer.array("M.f32", transforms * msrc_scale, "f4")
    writer.array("mask_512.u8", identity.paste_mask(crop), "u1")
    xs_target = np.stack([person.keypoints_crop(i, crop) for i in range(nt)]).astype(np.float32)
    writer.array("xs_target.bin", xs_target, "f4")
    xs, xd, si = performance.drive_track(xs_target, frames)
    writer.array("drive/xs.f32", xs, "f4")
    writer.array("drive/xd.f32", xd, "f4")
    writer.array("drive/si.i32", si, "i4")
    clock.lap("identity+drive")

    # Director models and their references.
    if cfg["director"] == "m4b":
        from bakelib import m4b
        model, export, model_keys = m4b.build_m4b(cfg["seed"]), m4b.export_onnx, members.M4B_MODEL_KEYS
    else:
        model = director.build_director(crop, cfg["seed"], cfg["featsynth"])
        export, model_keys = director.export_onnx, members.MODEL_KEYS
    exported = []
    for key, batch in model_keys:
        proto = export(model, batch)
        writer.bytes(f"model_{key}.onnx", proto.SerializeToString())
        exported.append((key, model, batch))
    clock.lap("directors")

    # Audio networks: features, streaming audio-to-expression, motion directory, offline head.
    audio = audio_side.AudioSide(cfg["profile"], cfg["seed"], xs_target)
    audio.write(writer)
    clock.lap("audio")
    if cfg.get("tessera"):
        from bakelib import tessera
        extra_tessera = tessera.write_members(writer, xs_target, crop, cfg["seed"], cfg["tessera"]["donors"])
        clock.lap("tessera")
    if cfg["refs"]:
        def identity_rows(s):
            rows = {"pooled64": pooled[s].astype(np.float32), "pooled": pooled[s].astype(np.float32)}
            if fs_red is not None:
                rows["fs_red"] = fs_red[s].astype(np.float32).reshape(-1)
            else:
                rows["P_rgb"] = crops[s].astype(np.float32)
            return rows

        controls = [performance.controls(j, frames) for j in range(frames)]
        references.write_references(ref_tmp, exported, identity_rows, (xs, xd, si), controls,
                                    lambda b: 1 if b > 4 else cfg["refs"], cfg["seed"])
        clock.lap("references")
        audio_refs.write_audio_references(ref_tmp, audio, [audio.calibration])
        clock.lap("audio references")

    extra = {
        "fps": FPS,
        "keypoint_names": list(av.KEYPOINT_NAMES),
        "bake": {"tool": "le-bake", "profile": cfg["profile"], "seed": cfg["seed"], "layout": cfg["layout"],
                 "director": "featsynth" if cfg["featsynth"] else cfg["director"],
                 "models": [f"model_{k}.onnx" for k, _ in model_keys]},
    }
    if cfg["hevc_prior"]:
        extra["P_hevc"] = "P_hevc.mov"
    if cfg.get("tessera"):
        extra["tessera"] = extra_tessera
    with open(os.path.join(tmp, "manifest.json"), "w") as f:
        f.write(members.manifest_text(agent=cfg["agent"], nt=nt, height=h, width=w, crop=crop, frames=frames,
                                      msrc=cfg["msrc"], unsharp=cfg["unsharp"], extra=extra))

    _replace_dir(tmp, out)
    if cfg["refs"]:
        _replace_dir(ref_tmp, ref_dir_of(args))
    if args.imx:
        subprocess.run([args.le_imx, "pack", out, args.imx], check=True, stdout=subprocess.DEVNULL)
        clock.lap("imx")
    if picture is not None:
        media.write_png(picture, args.keypoints_png)
    clock.lap("finish")
    return clock


def dir_bytes(path):
    total = 0
    for root, _, files in os.walk(path):
        total += sum(os.path.getsize(os.path.join(root, f)) for f in files)
    return total


def main(argv=None):
    args, cfg = parse_args(sys.argv[1:] if argv is None else argv)
    stamp = stamp_of(args, cfg)
    out = os.path.normpath(args.out)
    if not args.force and up_to_date(args, cfg, stamp):
        print(f"[bake] {out} is up to date")
        return 0
    stamp_path = out + ".stamp"
    if os.path.exists(stamp_path):
        os.remove(stamp_path)
    clock = bake(args, cfg)
    with open(stamp_path, "w") as f:
        f.write(stamp + "\n")
    total = time.time() - clock.start
    print(f"[bake] {out}: profile {cfg['profile']}, {dir_bytes(out) / 1e6:.1f} MB in {total:.1f} s "
          f"({', '.join(clock.lines)})")
    return 0


if __name__ == "__main__":
    sys.exit(main())
