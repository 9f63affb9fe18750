"""The bundle's audio side: the feature networks under audio/, the streaming
audio-to-expression members, the motion directory and the offline head,
all built from one seed."""
import numpy as np

from . import a2x, fca, motion, speech, w2v


class AudioSide:
    def __init__(self, profile, seed, xs_target):
        self.profile, self.seed = profile, seed
        self.xs_target = xs_target.reshape(-1, 63).astype(np.float32)
        self.features = w2v.Features(seed)
        self.a2x = a2x.A2X(self.features, profile, seed)
        # The motion features' normalisation is measured on real speech.
        self.calibration = speech.utterance("hello")
        self.motion = motion.Motion(seed, self.xs_target, self.calibration)
        self.fca = fca.FCA(self.features, self.calibration, seed)
        self.protos = {}

    def export_all(self):
        """Every audio graph by member name (the encoder without "wn" as self.nown)."""
        protos = dict(self.features.export())
        enc, self.nown, dec = self.a2x.export()
        protos["a2x_enc_stream.onnx"] = enc
        protos["a2x_dec.onnx"] = dec
        protos["fca_stream.onnx"] = self.fca.export()
        for name, proto in self.motion.export().items():
            protos["motion/" + name] = proto
        return protos

    def write(self, writer):
        """Writes every audio member; returns the exported graphs by member name."""
        self.protos = self.export_all()
        for name, proto in self.protos.items():
            writer.bytes(name, proto.SerializeToString())
        writer.bytes("a2x_meta.json", self.a2x.meta.encode())
        writer.array("a2x_pos.f32", self.a2x.pos, "f4")
        writer.array("a2x_norm.f32", np.concatenate([self.a2x.norm_mean, self.a2x.norm_scale]), "f4")
        for name, arr in self.motion.files().items():
            writer.array("motion/" + name, arr, "f4")
        writer.bytes("motion/meta.json", self.motion.meta.encode())
        return self.protos
