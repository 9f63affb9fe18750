"""Reference outputs of the director models, computed by PyTorch, for the
C++ checks that run the exported graphs under ONNX Runtime.

Layout of a reference directory:
  index.txt                    one line per tensor (comment lines start with #):
                               <model key> <case> <in|out> <tensor> f32 <d0>x<d1>x... <file>
  <model key>/<case>/<tensor>.f32   raw little-endian float32, C order

Inputs carry the graph's input names ("pooled64", "P_rgb", "kp_driving",
"kp_source", or "fs_red", "pooled", "kd", "ks"); the one output is "rgb"."""
import os

import numpy as np
import torch

INDEX_HEADER = ("# le-bake reference outputs v1\n"
                "# <model key> <case> <in|out> <tensor> f32 <d0>x<d1>x... <file relative to this index>\n")


def case_entries(batch, frames, controls, rng_seed):
    """Drive entries and keypoint perturbations of each reference case:
    case 0 starts at the widest mouth opening of the drive track, case 1 at
    the strongest smile or brow raise, case 2 moves every keypoint of every
    frame by a seeded random offset and shifts the whole face (large flows
    that reach the crop border)."""
    opening = max(range(frames), key=lambda j: controls[j][0])
    other = max(range(frames), key=lambda j: controls[j][1] + controls[j][2])
    rng = np.random.default_rng(rng_seed)
    cases = [
        ([(opening + b) % frames for b in range(batch)], None),
        ([(other + b) % frames for b in range(batch)], None),
        ([(3 * b) % frames for b in range(batch)],
         (rng.normal(0.0, 0.05, (batch, 21, 2)) + rng.uniform(-0.12, 0.12, (batch, 1, 2))).astype(np.float32)),
    ]
    return cases


def write_references(ref_dir, models, identity_rows, drive, controls, cases_per_model, seed):
    """Runs each (key, module, batch) in `models` on its cases and writes the
    tensors and the index. `identity_rows(si)` returns the identity input
    arrays of identity frame si as {input name: float32 array}."""
    os.makedirs(ref_dir, exist_ok=True)
    xs_all, xd_all, si_all = drive
    lines = [INDEX_HEADER]
    for key, module, batch in models:
        n_cases = cases_per_model(batch)
        names = module.input_names
        for case, (entries, jitter) in enumerate(case_entries(batch, len(si_all), controls, seed)[:n_cases]):
            si = si_all[entries]
            xs = xs_all[entries].copy()
            xd = xd_all[entries].copy()
            if jitter is not None:
                xd[:, :, :2] += jitter
            rows = [identity_rows(int(s)) for s in si]
            tensors = {}
            for name in names[:2]:
                tensors[name] = np.stack([r[name] for r in rows]).astype(np.float32)
            tensors[names[2]] = xd.astype(np.float32)
            tensors[names[3]] = xs.astype(np.float32)
            with torch.no_grad():
                out = module(*(torch.from_numpy(tensors[n]) for n in names)).numpy()
            for io, name, arr in [("in", n, tensors[n]) for n in names] + [("out", "rgb", out)]:
                rel = f"{key}/{case}/{name}.f32"
                os.makedirs(os.path.join(ref_dir, key, str(case)), exist_ok=True)
                np.ascontiguousarray(arr, dtype="<f4").tofile(os.path.join(ref_dir, rel))
                shape = "x".join(str(d) for d in arr.shape)
                lines.append(f"{key} {case} {io} {name} f32 {shape} {rel}\n")
    with open(os.path.join(ref_dir, "index.txt"), "w") as f:
        f.writelines(lines)


def read_index(ref_dir):
    """Parses index.txt into {(key, case): {"in": {name: array}, "out": {...}}}."""
    cases = {}
    with open(os.path.join(ref_dir, "index.txt")) as f:
        for line in f:
            if not line.strip() or line.startswith("#"):
                continue
            key, case, io, name, dtype, shape, rel = line.split()
            dims = tuple(int(d) for d in shape.split("x"))
            arr = np.fromfile(os.path.join(ref_dir, rel), dtype="<f4").reshape(dims)
            cases.setdefault((key, int(case)), {"in": {}, "out": {}})[io][name] = arr
    return cases
