"""The teeth borrow's members: the head network and its checkpoint, the
reference bank of mouth interiors, its sidecar, the serve configuration and
the lip template."""
import json
import os

HEAD_ENVELOPE_255 = 12


def _torch():
    import torch  # imported late: bakes without the borrow never need it
    return torch


def head_module(kind, seed):
    """BlendHead(16) ("full": candidate and synthesis branches, 4 082
    parameters) or BlendHead8(16) ("cand": candidate branch, 3 489)."""
    torch = _torch()
    nn = torch.nn

    class BlendHead(nn.Module):
        def __init__(self, width=16, synthesis=True):
            super().__init__()
            # Candidate branch: two donor patches (RGB each) and the mask in,
            # one blend logit out.
            self.cand = nn.Sequential(nn.Conv2d(7, width, 3, padding=1), nn.ReLU(),
                                      nn.Conv2d(width, width, 3, padding=1), nn.ReLU(),
                                      nn.Conv2d(width, 1, 3, padding=1))
            if synthesis:
                # Synthesis branch: the blended patch in, a bounded residual out.
                self.syn = nn.Sequential(nn.Conv2d(3, width, 3, padding=1), nn.ReLU(),
                                         nn.Conv2d(width, 1, 3, padding=1))

        def forward(self, x):
            return self.cand(x)

    torch.manual_seed(seed)
    m = BlendHead(16, synthesis=(kind == "full"))
    with torch.no_grad():
        for p in m.parameters():
            p.mul_(0.5)
    return m


def save_head(path, kind="full", seed=7):
    torch = _torch()
    m = head_module(kind, seed)
    torch.save(m.state_dict(), path)
    return sum(p.numel() for p in m.parameters())


def head_config():
    return {
        "format": "tessera_head.v1",
        "retrieval": {"kshort": 8, "aperture_tol": 0.15, "K": 2},
        "temporal": {"cut": 3, "hysteresis": 2, "lookahead": 2},
        "decode": {"envelope_clamp_255": HEAD_ENVELOPE_255},
    }
