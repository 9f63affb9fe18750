"""Anti-aliased vector drawing on numpy images.

Shapes are signed distance functions (negative inside) evaluated on the pixel
centres of a bounding box; coverage is the distance clipped to one pixel, so
edges come out anti-aliased at any scale without supersampling."""
import numpy as np


def sd_ellipse(x, y, cx, cy, rx, ry):
    """Approximate signed distance to an axis-aligned ellipse (exact on the
    axes, within a few percent elsewhere: ample for edge coverage)."""
    dx = (x - cx) / rx
    dy = (y - cy) / ry
    k0 = np.sqrt(dx * dx + dy * dy)
    k1 = np.sqrt(dx * dx / (rx * rx) + dy * dy / (ry * ry))
    return k0 * (k0 - 1.0) / np.maximum(k1, 1e-9)


def sd_polyline(x, y, pts, radii):
    """Distance to a polyline whose half-width is interpolated along it
    (a tapered stroke): pts is (n, 2), radii (n,)."""
    pts = np.asarray(pts, dtype=np.float64)
    radii = np.broadcast_to(np.asarray(radii, dtype=np.float64), (len(pts),))
    best = np.full(np.shape(x), np.inf)
    for (ax, ay), (bx, by), ra, rb in zip(pts[:-1], pts[1:], radii[:-1], radii[1:]):
        vx, vy = bx - ax, by - ay
        t = np.clip(((x - ax) * vx + (y - ay) * vy) / max(vx * vx + vy * vy, 1e-12), 0.0, 1.0)
        ex = x - ax - t * vx
        ey = y - ay - t * vy
        best = np.minimum(best, np.sqrt(ex * ex + ey * ey) - (ra + t * (rb - ra)))
    return best


def coverage(d, px):
    """Fraction of a pixel of side px covered by the region d < 0."""
    return np.clip(0.5 - d / px, 0.0, 1.0)


def smoothstep(e0, e1, v):
    t = np.clip((v - e0) / (e1 - e0), 0.0, 1.0)
    return t * t * (3.0 - 2.0 * t)


class Layer:
    """A premultiplied RGBA image whose pixel centres map to a rectangle of a
    continuous coordinate system (pixel (i, j) sits at x0 + (j + 0.5) * px,
    y0 + (i + 0.5) * px)."""

    def __init__(self, x0, y0, width, height, px, opaque_rgb=None):
        self.x0, self.y0, self.px = float(x0), float(y0), float(px)
        self.w, self.h = int(width), int(height)
        self.rgb = np.zeros((self.h, self.w, 3), np.float64)
        self.alpha = np.zeros((self.h, self.w), np.float64)
        if opaque_rgb is not None:
            self.rgb[:] = opaque_rgb
            self.alpha[:] = 1.0

    def window(self, bbox):
        """Pixel slices and centre coordinates covering bbox = (x0, y0, x1, y1)."""
        bx0, by0, bx1, by1 = bbox
        j0 = max(int(np.floor((bx0 - self.x0) / self.px)) - 1, 0)
        j1 = min(int(np.ceil((bx1 - self.x0) / self.px)) + 1, self.w)
        i0 = max(int(np.floor((by0 - self.y0) / self.px)) - 1, 0)
        i1 = min(int(np.ceil((by1 - self.y0) / self.px)) + 1, self.h)
        if j0 >= j1 or i0 >= i1:
            return None
        xs = self.x0 + (np.arange(j0, j1) + 0.5) * self.px
        ys = self.y0 + (np.arange(i0, i1) + 0.5) * self.px
        x, y = np.meshgrid(xs, ys)
        return (slice(i0, i1), slice(j0, j1)), x, y

    def paint(self, bbox, shape, color, opacity=1.0):
        """Composites `color` over the layer where `shape` (a function of the
        coordinate grids returning a signed distance) is negative. `color` is
        an RGB triple or a function of the grids returning (..., 3);
        `opacity` a number or a function of the grids."""
        win = self.window(bbox)
        if win is None:
            return
        sl, x, y = win
        a = coverage(shape(x, y), self.px)
        a = a * (opacity(x, y) if callable(opacity) else opacity)
        c = color(x, y) if callable(color) else np.asarray(color, np.float64)
        a3 = a[..., None]
        self.rgb[sl] = self.rgb[sl] * (1.0 - a3) + c * a3
        self.alpha[sl] = self.alpha[sl] * (1.0 - a) + a

    def grids(self):
        xs = self.x0 + (np.arange(self.w) + 0.5) * self.px
        ys = self.y0 + (np.arange(self.h) + 0.5) * self.px
        return np.meshgrid(xs, ys)
