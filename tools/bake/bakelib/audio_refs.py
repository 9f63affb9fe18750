"""Reference outputs of the audio networks and of whole pipelines on real
speech, computed by PyTorch and NumPy, for the C++ checks under ONNX
Runtime.

Layout, under the reference directory:
  audio/index.txt   one line per tensor, the director index's format:
                    <key> <case> <in|out> <tensor> f32 <d0>x<d1>x... <file relative to audio/>
  audio/<key>/<case>/<tensor>.f32   raw little-endian float32, C order
  a2x/a2x_enc_stream_nown.onnx      the encoder without its "wn" output

Network keys (inputs in the graph's input order, then its outputs):
  w2v       audio/w2v.onnx
  trunk     audio/audio_encoder_fp16_window_trunk.onnx (output "features" is
            float16 in the graph, stored widened to float32)
  head      audio/audio_encoder_fp16_window_head.onnx
  enc       a2x_enc_stream.onnx
  enc_nown  a2x/a2x_enc_stream_nown.onnx of the reference directory
  dec       a2x_dec.onnx
  hubert    motion/hubert_student.onnx
  lmdm      motion/lmdm.onnx
  stitch    motion/stitch.onnx
  fca       fca_stream.onnx
Pipeline keys (case = clip; "in samples" is the whole clip, driver frames
in loop order from 0):
  pipe_a2x_legacy  le_a2x_deltas: out "deltas" [F,63], "wn" [F], "idx" [F], "xd" [F,63]
  pipe_a2x_short   the streaming path with the short-window features, after
                   finish: the same outputs
  pipe_motion      le_motion after finish: out "idx" [F], "motion" [F,265]
                   (latent after smoothing), "delta" [F,63], "xd" [F,63]
  pipe_fca         le_fca_deltas: out "m" [F,63]
idx values are driver frame indices stored as floats."""
import os

import numpy as np
import torch

from . import motion as motion_mod
from . import w2v

INDEX_HEADER = ("# le-bake audio reference outputs v1\n"
                "# <key> <case> <in|out> <tensor> f32 <d0>x<d1>x... <file relative to this index>\n"
                "# keys and their models: see tools/bake/README.md (Reference outputs)\n")


class Index:
    def __init__(self, root):
        self.root = root
        self.lines = [INDEX_HEADER]

    def add(self, key, case, io, name, arr):
        arr = np.ascontiguousarray(np.asarray(arr, np.float32), dtype="<f4")
        rel = f"{key}/{case}/{name}.f32"
        os.makedirs(os.path.join(self.root, key, str(case)), exist_ok=True)
        arr.tofile(os.path.join(self.root, rel))
        shape = "x".join(str(d) for d in arr.shape) if arr.ndim else "1"
        self.lines.append(f"{key} {case} {io} {name} f32 {shape} {rel}\n")

    def case(self, key, case, module, inputs, outputs):
        """Runs `module` on the named inputs and records inputs and outputs."""
        with torch.no_grad():
            res = module(*(torch.from_numpy(np.asarray(v, np.float32)) for v in inputs.values()))
        if not isinstance(res, (tuple, list)):
            res = (res,)
        for name, v in inputs.items():
            self.add(key, case, "in", name, v)
        out = [r.float().numpy() for r in res]
        for name, v in zip(outputs, out):
            self.add(key, case, "out", name, v)
        return out

    def close(self):
        with open(os.path.join(self.root, "index.txt"), "w") as f:
            f.writelines(self.lines)


def _loud_frame(d):
    from .avatar import KP
    op = d[:, KP["lip_lower_inner"] * 3 + 1] - d[:, KP["lip_upper_inner"] * 3 + 1]
    return int(np.argmax(op))


def write_audio_references(ref_dir, side, clips):
    """Writes ref_dir/audio/ and ref_dir/a2x/ for the AudioSide `side`; clips
    is a list of float32 sample arrays (real speech)."""
    root = os.path.join(ref_dir, "audio")
    os.makedirs(root, exist_ok=True)
    os.makedirs(os.path.join(ref_dir, "a2x"), exist_ok=True)
    with open(os.path.join(ref_dir, "a2x", "a2x_enc_stream_nown.onnx"), "wb") as f:
        f.write(side.nown.SerializeToString())
    idx_w = Index(root)
    feats, m, mo, fc = side.features, side.a2x, side.motion, side.fca
    nt = side.xs_target.shape[0]
    speech = clips[0]
    frames = (len(speech) + w2v.FRAME - 1) // w2v.FRAME
    results = {}

    # Whole pipelines first: their states feed the network cases.
    for case, clip in enumerate(clips):
        n = (len(clip) + w2v.FRAME - 1) // w2v.FRAME
        idx = np.arange(n) % nt
        for key, short in (("pipe_a2x_legacy", False), ("pipe_a2x_short", True)):
            d, wn, feat = m.deltas(clip, short=short)
            idx_w.add(key, case, "in", "samples", clip)
            for name, v in (("deltas", d), ("wn", wn), ("idx", idx), ("xd", side.xs_target[idx] + d)):
                idx_w.add(key, case, "out", name, v)
            results[(key, case)] = (d, wn, feat)
        midx, motion, delta, xd = mo.run(clip)
        results[("motion_run", case)] = (midx, motion)
        idx_w.add("pipe_motion", case, "in", "samples", clip)
        for name, v in (("idx", midx), ("motion", motion), ("delta", delta), ("xd", xd)):
            idx_w.add("pipe_motion", case, "out", name, v)
        results[("motion", case)] = delta
        fd, blocks = fc.deltas(clip)
        idx_w.add("pipe_fca", case, "in", "samples", clip)
        idx_w.add("pipe_fca", case, "out", "m", fd)
        results[("fca", case)] = (fd, blocks)

    # Feature networks: the 8-second window of the speech clip and of silence.
    buf = np.zeros(w2v.LEGACY_SAMPLES, np.float32)
    buf[:min(len(speech), len(buf))] = speech[:len(buf)]
    idx_w.case("w2v", 0, feats.legacy, {"input_values": w2v.normalise(buf)[None]}, ["audio_emb"])
    idx_w.case("w2v", 1, feats.legacy, {"input_values": np.zeros((1, w2v.LEGACY_SAMPLES), np.float32)},
               ["audio_emb"])
    # Short windows: the first one (starting before the audio) and one in the middle of the clip.
    short = w2v.ShortTrunk(feats.trunk).eval()
    for case, w in enumerate((0, max(0, (frames // 2) // 8 * 8))):
        j_end = (12 + w + 8) * w2v.FRAME
        n0 = j_end - w2v.SHORT_SAMPLES
        sbuf = np.zeros(w2v.SHORT_SAMPLES, np.float32)
        lo, hi = max(n0, 0), min(len(speech), j_end)
        if hi > lo:
            sbuf[lo - n0:hi - n0] = speech[lo:hi]
        trunk = idx_w.case("trunk", case, short, {"input_values": w2v.normalise(sbuf)[None]}, ["features"])[0][0]
        x = np.stack([w2v.short_position(trunk, n0, w + k) for k in range(w2v.HEAD_BATCH)])
        idx_w.case("head", case, feats.head, {"x": x}, ["emb"])

    # Encoder and decoder on the speech clip's 8-second features.
    d, wn, feat = results[("pipe_a2x_legacy", 0)]
    loud = _loud_frame(d)
    ctx = m.left * m.layers
    a = max(0, loud - 12)
    cs, ce = max(0, a - ctx), min(a + 24 + m.window * m.layers, frames)
    f_in, p_in, mask = m.encoder_inputs(feat, cs, ce)
    inputs = {"feat": f_in, "pos_window": p_in, "attn": mask}
    idx_w.case("enc", 0, m.enc, inputs, ["enc", "wn"])
    idx_w.case("enc_nown", 0, m.enc_nown, inputs, ["enc"])
    f1, p1, m1 = m.encoder_inputs(feat, frames - 1, frames)
    idx_w.case("enc", 1, m.enc, {"feat": f1, "pos_window": p1, "attn": m1}, ["enc", "wn"])
    enc, _ = m.encode(feat, 24)
    prev = torch.zeros(1, 63)
    hid = torch.zeros(1, 1, m.h)
    with torch.no_grad():
        for fr in range(loud):
            prev, hid = m.dec(torch.from_numpy(enc[fr:fr + 1]), prev, hid)
    idx_w.case("dec", 0, m.dec, {"ctx_t": enc[loud:loud + 1], "prev": prev.numpy(), "h": hid.numpy()},
               ["m", "h_out"])
    idx_w.case("dec", 1, m.dec, {"ctx_t": np.zeros((1, m.h)), "prev": np.zeros((1, 63)),
                                 "h": np.zeros((1, 1, m.h))}, ["m", "h_out"])

    # Motion networks: a loud front-end step and the silence past the end; chunk 0 and 1.
    mloud = _loud_frame(results[("motion", 0)]) // 5 * 5
    idx_w.case("hubert", 0, mo.student, {"mel": mo.mel(speech, mloud)[None]}, ["feat"])
    idx_w.case("hubert", 1, mo.student, {"mel": mo.mel(speech, frames + 10)[None]}, ["feat"])
    items = mo.items(speech)
    cond, overlap, xs_info = mo.chunk_inputs(speech, 0, items=items)
    v0 = idx_w.case("lmdm", 0, mo.lmdm, {"cond": cond[None], "overlap": overlap[None], "xs_info": xs_info[None]},
                    ["v"])[0]
    cond, _, xs_info = mo.chunk_inputs(speech, 1, items=items)
    idx_w.case("lmdm", 1, mo.lmdm, {"cond": cond[None], "overlap": v0[0, -motion_mod.OVERLAP:][None],
                                    "xs_info": xs_info[None]}, ["v"])
    _, motion = results[("motion_run", 0)]
    ml = _loud_frame(results[("motion", 0)])
    idx_w.case("stitch", 0, mo.stitch, {"xs": side.xs_target[ml % nt][None], "motion": motion[ml][None]}, ["delta"])

    # Offline head: the loudest frame with the recurrent state reached there, and the zero state.
    fd, blocks = results[("fca", 0)]
    fl = _loud_frame(fd)
    prev = torch.zeros(1, 63)
    hid = torch.zeros(1, 1, 384)
    with torch.no_grad():
        for fr in range(fl):
            prev, hid = fc.head(torch.from_numpy(blocks[fr:fr + 1]), prev, hid)
    idx_w.case("fca", 0, fc.head, {"cond": blocks[fl:fl + 1], "prev": prev.numpy(), "h": hid.numpy()},
               ["m", "hn"])
    idx_w.case("fca", 1, fc.head, {"cond": np.zeros((1, 5376)), "prev": np.zeros((1, 63)),
                                                "h": np.zeros((1, 1, 384))}, ["m", "hn"])
    idx_w.close()
    return results
