#!/usr/bin/python3
"""Head checkpoints for the reader tests, written by torch.save, and copies
damaged the ways a caller could meet: OUT/<name>.pt."""
import io
import os
import sys
import zipfile

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "../../tools/bake"))
import torch  # noqa: E402
from bakelib import tessera  # noqa: E402


def entries(path):
    with zipfile.ZipFile(path) as z:
        return [(i.filename, z.read(i.filename)) for i in z.infolist()]


def rewrite(path, items, deflate=()):
    with zipfile.ZipFile(path, "w", zipfile.ZIP_STORED) as z:
        for name, data in items:
            kind = zipfile.ZIP_DEFLATED if any(name.endswith(d) for d in deflate) else zipfile.ZIP_STORED
            z.writestr(zipfile.ZipInfo(name), data, compress_type=kind)


def edit_pkl(items, fn):
    return [(n, fn(d) if n.endswith("/data.pkl") else d) for n, d in items]


def main(out):
    os.makedirs(out, exist_ok=True)
    full = os.path.join(out, "full.pt")
    cand = os.path.join(out, "cand.pt")
    tessera.save_head(full, "full")
    tessera.save_head(cand, "cand")
    # The full head's values in table order, for an exact comparison.
    sd = torch.load(full)
    names = ["cand.0.weight", "cand.0.bias", "cand.2.weight", "cand.2.bias", "cand.4.weight",
             "cand.4.bias", "syn.0.weight", "syn.0.bias", "syn.2.weight", "syn.2.bias"]
    with open(os.path.join(out, "full.f32"), "wb") as f:
        for n in names:
            f.write(sd[n].contiguous().numpy().astype("<f4").tobytes())
    base = entries(full)

    rewrite(os.path.join(out, "deflated.pkl.pt"), base, deflate=("/data.pkl",))
    rewrite(os.path.join(out, "truncated.pt"), edit_pkl(base, lambda d: d[: len(d) // 2]))
    rewrite(os.path.join(out, "global.pt"),
            edit_pkl(base, lambda d: d.replace(b"torch._utils\n_rebuild_tensor_v2\n", b"os\nsystem\n", 1)))
    small = [(n, d[:-4] if n.endswith("/data/0") else d) for n, d in base]
    rewrite(os.path.join(out, "small_storage.pt"), small)

    sd = tessera.head_module("cand", 7).state_dict()
    dup = dict(sd)
    dup["cand.2.biaX"] = torch.zeros(16)
    torch.save(dup, os.path.join(out, "dup.pt"))
    with open(os.path.join(out, "dup.pt"), "rb") as f:
        raw = f.read()
    with open(os.path.join(out, "dup.pt"), "wb") as f:
        f.write(raw.replace(b"cand.2.biaX", b"cand.2.bias"))

    dbl = dict(sd)
    dbl["cand.0.bias"] = sd["cand.0.bias"].double()
    torch.save(dbl, os.path.join(out, "double.pt"))

    half_syn = dict(sd)
    half_syn["syn.0.weight"] = torch.zeros(16, 3, 3, 3)
    torch.save(half_syn, os.path.join(out, "half_syn.pt"))

    shape = dict(sd)
    shape["cand.4.bias"] = torch.zeros(2)
    torch.save(shape, os.path.join(out, "shape.pt"))


if __name__ == "__main__":
    main(sys.argv[1])
