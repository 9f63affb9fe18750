"""Bundle member names under the two naming layouts, raw array files and
the manifest."""
import json
import os

import numpy as np

_FIXED = {
    "P.f16": "source_frames.f16", "P_hevc.mov": "source_frames.hevc",
    "a2x_enc_stream.onnx": "audio_motion_encoder.onnx", "a2x_dec.onnx": "audio_motion_decoder.onnx",
    "M.f32": "paste_transform.f32", "mask_512.u8": "paste_mask.u8", "pooled64.f16": "pooled_features.f16",
    "fs_red.f16": "feature_synth.f16", "xs_target.bin": "target_keypoints.bin",
}
_DRIVE_STEMS = {"xs": "source_keypoints", "xd": "driven_keypoints", "si": "source_index"}

# Director model keys and their batch sizes.
MODEL_KEYS = (("b1", 1), ("b4", 4), ("b24_fp32", 24), ("render", 1))
# The m4b director at crop 512 is exported at the batches its engine serves.
M4B_MODEL_KEYS = (("b1", 1), ("b4", 4))


def manifest_layout_name(name):
    """The manifest-layout name of a welded member name (itself when it has
    none): the mapping the library's member resolution undoes."""
    if name in _FIXED:
        return _FIXED[name]
    if name.startswith("model_b") and name.endswith(".onnx") and len(name) > 12:
        batch, _, tag = name[7:-5].partition("_")
        return "render_model.batch" + batch + ("." + tag if tag else "") + ".onnx"
    if name.startswith("drive/"):
        stem, dot, ext = name[6:].partition(".")
        return "idle_loop/" + _DRIVE_STEMS.get(stem, stem) + dot + ext
    return name


class Writer:
    """Writes members of one bundle directory under the chosen layout and
    remembers what it wrote."""

    def __init__(self, root, layout):
        if layout not in ("welded", "manifest"):
            raise ValueError(f"unknown layout {layout}")
        self.root, self.layout = root, layout
        self.written = []

    def path(self, name):
        stored = manifest_layout_name(name) if self.layout == "manifest" else name
        full = os.path.join(self.root, stored)
        os.makedirs(os.path.dirname(full), exist_ok=True)
        return full

    def array(self, name, values, dtype):
        arr = np.ascontiguousarray(values, dtype=np.dtype(dtype).newbyteorder("<"))
        with open(self.path(name), "wb") as f:
            f.write(arr.tobytes())
        self.written.append(name)

    def bytes(self, name, data):
        with open(self.path(name), "wb") as f:
            f.write(data)
        self.written.append(name)


def manifest_text(*, agent, nt, height, width, crop, frames, msrc, unsharp, extra):
    """manifest.json: the keys the library reads at the root, the unsharp
    parameters in their own block, and descriptive blocks whose keys never
    repeat a name the loader reads."""
    doc = {
        "format": "le-bundle-v0",
        "agent": agent,
        "NT": nt, "H": height, "W": width, "crop": crop, "frames": frames,
        "M_src_w": msrc[0], "M_src_h": msrc[1],
        "unsharp": {"amount": unsharp[0], "sigma": unsharp[1], "ksize": unsharp[2]},
    }
    doc.update(extra)
    return json.dumps(doc, indent=2) + "\n"
