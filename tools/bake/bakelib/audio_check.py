"""The bundle checks of the audio side (used by check_bundle.py)."""
import json
import os

import numpy as np
import onnx

from . import a2x as a2x_mod
from . import audio_side, speech, w2v
from .avatar import KP

F32, F16 = onnx.TensorProto.FLOAT, onnx.TensorProto.FLOAT16
T = "T"  # a dynamic axis
LIP_UPPER, LIP_LOWER = KP["lip_upper_inner"] * 3 + 1, KP["lip_lower_inner"] * 3 + 1
SPEECH = "fox"


def contract(h):
    """member -> (inputs, outputs), each a list of (name, type, dims); a name
    of None takes any name (the trunk's output is read by position)."""
    return {
        "audio/w2v.onnx": ([("input_values", F32, (1, 128000))], [("audio_emb", F32, (12, 200, 768))]),
        "audio/audio_encoder_fp16_window_trunk.onnx": ([("input_values", F32, (1, 32000))],
                                                       [(None, F16, (1, 640, 400))]),
        "audio/audio_encoder_fp16_window_head.onnx": ([("x", F32, (8, 640))], [("emb", F32, (8, 9216))]),
        "a2x_enc_stream.onnx": ([("feat", F32, (1, T, 12, 768)), ("pos_window", F32, (1, T, h)),
                                 ("attn", F32, (1, 1, T, T))], [("enc", F32, (1, T, h)), ("wn", F32, (1, T))]),
        "a2x_dec.onnx": ([("ctx_t", F32, (1, h)), ("prev", F32, (1, 63)), ("h", F32, (1, 1, h))],
                         [("m", F32, (1, 63)), ("h_out", F32, (1, 1, h))]),
        "motion/hubert_student.onnx": ([("mel", F32, (1, 20, 80))], [("feat", F32, (1, 20, 1024))]),
        "motion/lmdm.onnx": ([("cond", F32, (1, 80, 1103)), ("overlap", F32, (1, 10, 265)), ("xs_info", F32, (1, 328))],
                             [("v", F32, (1, 80, 265))]),
        "motion/stitch.onnx": ([("xs", F32, (1, 63)), ("motion", F32, (1, 265))], [("delta", F32, (1, 63))]),
        "fca_stream.onnx": ([("cond", F32, (1, 5376)), ("prev", F32, (1, 63)), ("h", F32, (1, 1, 384))],
                            [("m", F32, (1, 63)), ("hn", F32, (1, 1, 384))]),
    }


def motion_counts(nt, n_emo=1):
    return {"hubert_stft_window.bin": 512, "hubert_stft_binmat.bin": 20560, "hubert_fmean.bin": 1024,
            "hubert_fstd.bin": 1024, "emo.bin": n_emo * 8, "ch_xs_info.bin": 328, "ch_sc.bin": 63,
            "ch_eye_open.bin": 2, "ch_eye_ball.bin": 6, "v_min_max.bin": 530, "src_xs_info.bin": nt * 328,
            "xs_target.bin": nt * 63, "cond.bin": 1103}


def _dims(v):
    return tuple(d.dim_param if d.dim_param else (d.dim_value if d.HasField("dim_value") else None)
                 for d in v.type.tensor_type.shape.dim)


def interface_problems(proto, inputs, outputs):
    bad = []
    inits = {t.name for t in proto.graph.initializer}
    real = [v for v in proto.graph.input if v.name not in inits]
    for kind, declared, wanted in (("input", real, inputs), ("output", list(proto.graph.output), outputs)):
        if len(declared) != len(wanted):
            bad.append(f"{len(declared)} {kind}s, expected {len(wanted)}")
            continue
        for v, (name, elem, dims) in zip(declared, wanted):
            got = _dims(v)
            ok_dims = len(got) == len(dims) and all(
                (isinstance(g, str) and g) if w == T else g == w for g, w in zip(got, dims))
            if (name is not None and v.name != name) or v.type.tensor_type.elem_type != elem or not ok_dims:
                bad.append(f"{kind} {v.name} {got} type {v.type.tensor_type.elem_type}, expected "
                           f"{name or '(any name)'} {dims} type {elem}")
    if not any(o.domain in ("", "ai.onnx") and o.version == w2v.OPSET for o in proto.opset_import):
        bad.append(f"default opset is not {w2v.OPSET}")
    return bad


def _opening(rows):
    return rows[:, LIP_LOWER] - rows[:, LIP_UPPER]


def check_audio(root, man, xs_target, r, member_path):
    """Adds the audio side's checks to the Report r."""
    meta_path = member_path("a2x_meta.json")
    if not r.check(os.path.exists(meta_path), "the bundle carries the streaming audio-to-expression members"):
        return
    with open(meta_path) as f:
        meta = json.load(f)
    h = int(meta.get("h", 0))
    r.check(h > 0 and meta.get("window", -1) >= 0 and meta.get("left", -1) >= 0 and meta.get("layers", 0) >= 1
            and meta.get("width") is True, f"a2x_meta.json names h, window, left, layers and width ({meta})")
    pos = np.fromfile(member_path("a2x_pos.f32"), "<f4")
    r.check(pos.size >= 2 * h and pos.size % h == 0, f"a2x_pos.f32 holds whole rows of h={h} (at least 2)")
    norm = np.fromfile(member_path("a2x_norm.f32"), "<f4")
    r.check(norm.size == 126 and np.all(norm[63:] > 0), "a2x_norm.f32 holds 63 means and 63 positive scales")

    nt = xs_target.shape[0]
    for name, count in motion_counts(nt).items():
        data = np.fromfile(os.path.join(root, "motion", name), "<f4") if os.path.exists(
            os.path.join(root, "motion", name)) else np.zeros(0)
        r.check(data.size == count, f"motion/{name} holds {count} floats")
    with open(os.path.join(root, "motion", "meta.json")) as f:
        mmeta = json.load(f)
    r.check(mmeta.get("nt") == nt and mmeta.get("n_src") == nt and mmeta.get("n_emo") == 1,
            f"motion/meta.json names nt = n_src = {nt}, n_emo 1 ({mmeta})")
    r.check(np.array_equal(np.fromfile(os.path.join(root, "motion", "xs_target.bin"), "<f4"),
                           xs_target.reshape(-1)), "motion/xs_target.bin is the bundle's xs_target.bin")

    protos = {}
    for name, (ins, outs) in contract(h).items():
        path = member_path(name)
        if not r.check(os.path.exists(path), f"{name} is present"):
            continue
        proto = onnx.load(path)
        protos[name] = proto
        try:
            onnx.checker.check_model(proto, full_check=True)
            checked = True
        except onnx.checker.ValidationError as e:
            checked = False
            print(e)
        r.check(checked, f"{name} passes onnx.checker")
        problems = interface_problems(proto, ins, outs)
        r.check(not problems, f"{name} declares the tensors the library reads {problems or ''}")

    # The graphs are the seed's: then the PyTorch modules below speak for them.
    bake = man.get("bake", {})
    side = audio_side.AudioSide(bake.get("profile", "tiny"), int(bake.get("seed", 1)), xs_target)
    rebuilt = side.export_all()
    same = [n for n in protos if n in rebuilt and protos[n].SerializeToString() == rebuilt[n].SerializeToString()]
    r.check(len(same) == len(protos), f"the audio networks are the ones seed {bake.get('seed')} builds "
                                      f"({len(same)} of {len(protos)})")

    clip = speech.utterance(SPEECH)
    voiced, silent = speech.voiced_frames(clip)
    frames = len(voiced)
    legacy = side.features.legacy_frames(clip, frames)
    short = side.features.short_frames(clip, frames)
    worst = float(np.abs(legacy - short).max())
    corr = float(np.corrcoef(legacy.ravel(), short.ravel())[0, 1])
    r.check(corr > 0.999 and worst < 1.0, f"short-window features reproduce the 8-second ones on speech "
                                          f"(worst |diff| {worst:.3g}, correlation {corr:.6f})")

    # The scripted performance's talking: its "open" expression at full strength.
    open_row, _ = a2x_mod.expression_rows()
    peak = float(_opening(open_row[None])[0])
    runs = {"le_a2x (8-second features)": side.a2x.deltas(clip)[0],
            "le_a2x (short-window features)": side.a2x.deltas(clip, short=True)[0],
            "le_motion": side.motion.run(clip)[2],
            "le_fca": side.fca.deltas(clip)[0]}
    for name, rows in runs.items():
        op = _opening(rows)
        v, s, top = float(op[voiced].mean()), float(np.abs(op[silent]).mean()), float(op.max())
        r.check(v > 4.0 * s and 0.2 * peak < v < 0.9 * peak and top < 1.5 * peak,
                f"{name} lip opening on speech: voiced {v:.4f}, silence {s:.4f}, widest {top:.4f} "
                f"(scripted full opening {peak:.4f})")
