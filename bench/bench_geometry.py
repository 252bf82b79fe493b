"""Geometric operations (flip, affine, perspective, crop, resize, scale_jitter)
on image and mask, beside their OpenCV calls.

Each operation has four rows: image and mask alone, the same with 100
polygons of 64 vertices (a third of them crossing the image border), and both
again on fresh inputs. The first two give every call the same arrays; the
"(fresh inputs)" rows give each call new copies, as a data loader does, and
every column makes those copies inside the timed call alike (the harness
times cv2 and the peer without a setup step)."""

import random

import numpy as np

from harness import Case
import kiro
import peers
from kiro.core.affine import _matrix as affine_matrix
from kiro.core.perspective import _matrix as perspective_matrix

try:
    import cv2
except ImportError:
    cv2 = None

ROTATE, SCALE, TRANSLATE, SHEAR = 10, 1.1, 0.05, 5
DISTORTION = 0.08
CROP = (640, 640)
CROP_PADDED = (1280, 1280)
LETTERBOX = (640, 640)
RESIZE = (540, 960)
JITTER, JITTER_SCALE = (1024, 1024), 1.25
POLYGONS, VERTICES = 100, 64
TARGET = 1.3


def _polygons(h, w):
    """POLYGONS star-shaped rings of VERTICES vertices, float32 rows x1, y1, ...;
    every third one is centred on an image edge, so it crosses the border."""
    rng = np.random.RandomState(1)
    t = np.arange(VERTICES) * (2 * np.pi / VERTICES)
    rows = []
    for i in range(POLYGONS):
        r = rng.uniform(30, 120)
        if i % 3 == 0:
            edge = (i // 3) % 4
            u = rng.uniform(0.1, 0.9)
            cx, cy = [(u * w, 0), (w, u * h), (u * w, h), (0, u * h)][edge]
        else:
            cx, cy = rng.uniform(r, w - r), rng.uniform(r, h - r)
        radius = r * rng.uniform(0.85, 1.15, VERTICES)
        rows.append(np.stack([cx + radius * np.cos(t), cy + radius * np.sin(t)], 1).ravel())
    return np.array(rows, np.float32)


def _continuous(pixel):
    """The map of continuous coordinates whose pixel-centre matrix is `pixel`
    (2 x 3 or 3 x 3): T(0.5) P T(-0.5)."""
    p = np.eye(3)
    p[:pixel.shape[0]] = pixel
    t = np.eye(3)
    t[:2, 2] = 0.5
    return t @ p @ np.linalg.inv(t)


def _scaling(sx, sy, tx, ty):
    return np.array([[sx, 0, tx], [0, sy, ty], [0, 0, 1]], np.float64)


class _Inputs:
    """One row's arrays: the same every call, or fresh copies (made inside the
    timed call, the same way for every column)."""

    def __init__(self, image, mask, keypoints, fresh):
        self.image, self.mask, self.keypoints, self.fresh = image, mask, keypoints, fresh
        # The floor, cv2 and the peer take the vertices as one N x 2 array.
        self.points = None if keypoints is None else keypoints.reshape(-1, 2)

    def _get(self, *arrays):
        return tuple(a.copy() if self.fresh and a is not None else a for a in arrays)

    def record(self):
        image, mask, kp = self._get(self.image, self.mask, self.keypoints)
        rec = {"image": image, "mask": mask}
        if kp is not None:
            rec["keypoints"] = kp
        return rec

    def arrays(self):
        return self._get(self.image, self.mask, self.points)


def _cv2_points(points, pmap):
    if points is None:
        return None
    pts = points.reshape(-1, 1, 2)
    if pmap[2, 0] or pmap[2, 1] or pmap[2, 2] != 1:
        return cv2.perspectiveTransform(pts, pmap)
    return cv2.transform(pts, pmap[:2])


class _Op:
    """One operation: its kiro call on a record, its floor and cv2 calls on
    (image, mask, points), its peer maker and labels."""

    def __init__(self, label, kiro_call, floor_call, floor_name, cv2_call, peer):
        self.label, self.kiro_call, self.floor_call, self.floor_name = label, kiro_call, floor_call, floor_name
        self.cv2_call, self.peer = cv2_call, peer


def _rows(ctx, op, polygons):
    out = []
    for fresh in (False, True):
        for kp in (None, polygons):
            inp = _Inputs(ctx.image, ctx.mask, kp, fresh)
            what = "image, mask" if kp is None else "image, mask, %d x %d-vertex polygons" % (POLYGONS, VERTICES)
            name = "%s (%s)%s" % (op.label, what, " (fresh inputs)" if fresh else "")
            floor_name = ("copy + " if fresh else "") + op.floor_name + (
                "" if kp is None else " + vertex map")
            peer_name, peer = op.peer(ctx.image, ctx.mask, None if kp is None else inp.points, fresh)
            if fresh:
                kiro_fn, setup = (lambda inp=inp: op.kiro_call(inp.record())), None
            else:
                kiro_fn, setup = op.kiro_call, inp.record
            out.append(Case(op=name, kiro=kiro_fn, setup=setup,
                            floor=lambda inp=inp: op.floor_call(*inp.arrays()), floor_name=floor_name,
                            target=TARGET,
                            cv2=(lambda inp=inp: op.cv2_call(*inp.arrays())) if cv2 else None,
                            peer=peer, peer_name=peer_name))
    return out


def cases(ctx):
    floors = ctx.floors("geometry")
    h, w = ctx.mask.shape
    polygons = _polygons(h, w)
    ops = []

    # flip
    flip_map = _scaling(-1, 1, w, 0)

    def cv2_flip(image, mask, points):
        cv2.flip(image, 1)
        cv2.flip(mask, 1)
        _cv2_points(points, flip_map)

    ops.append(_Op("flip horizontal", lambda rec: kiro.flip(rec, prob=1, direction="horizontal"),
                   lambda image, mask, points: floors.flip(image, mask, 1, points, flip_map),
                   "2 x cv::flip", cv2_flip,
                   lambda image, mask, kp, fresh: peers.hflip(image, mask, kp, fresh)))

    # affine
    M = affine_matrix(w, h, ROTATE, SCALE, TRANSLATE, TRANSLATE, SHEAR, SHEAR)
    affine_map = _continuous(M)

    def cv2_affine(image, mask, points):
        cv2.warpAffine(image, M, (w, h), flags=cv2.INTER_LINEAR, borderMode=cv2.BORDER_CONSTANT, borderValue=0)
        cv2.warpAffine(mask, M, (w, h), flags=cv2.INTER_NEAREST, borderMode=cv2.BORDER_CONSTANT, borderValue=0)
        _cv2_points(points, affine_map)

    ops.append(_Op("affine rotate %g scale %g translate %g shear %g" % (ROTATE, SCALE, TRANSLATE, SHEAR),
                   lambda rec: kiro.affine(rec, prob=1, rotate=ROTATE, scale=SCALE, translate=TRANSLATE,
                                           shear=SHEAR),
                   lambda image, mask, points: floors.affine(image, mask, M, points, affine_map),
                   "2 x warpAffine (bilinear image, nearest mask)", cv2_affine,
                   lambda image, mask, kp, fresh: peers.affine(image, mask, ROTATE, SCALE, TRANSLATE, SHEAR,
                                                               kp, fresh)))

    # perspective
    P = perspective_matrix(w, h, [DISTORTION] * 8)
    perspective_map = _continuous(P)

    def cv2_perspective(image, mask, points):
        cv2.warpPerspective(image, P, (w, h), flags=cv2.INTER_LINEAR, borderMode=cv2.BORDER_CONSTANT,
                            borderValue=0)
        cv2.warpPerspective(mask, P, (w, h), flags=cv2.INTER_NEAREST, borderMode=cv2.BORDER_CONSTANT,
                            borderValue=0)
        _cv2_points(points, perspective_map)

    ops.append(_Op("perspective distortion %g" % DISTORTION,
                   lambda rec: kiro.perspective(rec, prob=1, distortion=DISTORTION),
                   lambda image, mask, points: floors.perspective(image, mask, P, points, perspective_map),
                   "2 x warpPerspective (bilinear image, nearest mask)", cv2_perspective,
                   lambda image, mask, kp, fresh: peers.perspective(image, mask, DISTORTION, kp, fresh)))

    # crop: a window inside the image (views), and one taller than it (padded)
    for size in (CROP, CROP_PADDED):
        ch, cw = size
        xs, ys = (min(0, w - cw), max(0, w - cw)), (min(0, h - ch), max(0, h - ch))

        def cv2_crop(image, mask, points, ch=ch, cw=cw, xs=xs, ys=ys):
            x0, y0 = random.randint(*xs), random.randint(*ys)
            if x0 >= 0 and y0 >= 0 and x0 + cw <= w and y0 + ch <= h:
                image[y0:y0 + ch, x0:x0 + cw]
                mask[y0:y0 + ch, x0:x0 + cw]
            else:
                top, left, down, right = max(y0, 0), max(x0, 0), min(y0 + ch, h), min(x0 + cw, w)
                for a in (image, mask):
                    cv2.copyMakeBorder(a[top:down, left:right], top - y0, y0 + ch - down, left - x0,
                                       x0 + cw - right, cv2.BORDER_CONSTANT, value=0)
            _cv2_points(points, _scaling(1, 1, -x0, -y0))

        inside = ch <= h and cw <= w
        ops.append(_Op("crop %d x %d random%s" % (ch, cw, "" if inside else " (padded)"),
                       lambda rec, size=size: kiro.crop(rec, size, prob=1),
                       lambda image, mask, points, ch=ch, cw=cw: floors.crop(image, mask, ch, cw, points),
                       "2 x randint + " + ("2 views" if inside else "window copy + border fill"), cv2_crop,
                       lambda image, mask, kp, fresh, size=size: peers.random_crop(image, mask, size, kp, fresh)))

    # resize: letterbox, then plain
    lh, lw = LETTERBOX
    r = min(lh / h, lw / w)
    nh, nw = min(lh, int(np.floor(h * r + 0.5))), min(lw, int(np.floor(w * r + 0.5)))
    top, left = (lh - nh) // 2, (lw - nw) // 2
    box_map = _scaling(nw / w, nh / h, left, top)

    def cv2_letterbox(image, mask, points):
        cv2.copyMakeBorder(cv2.resize(image, (nw, nh), interpolation=cv2.INTER_LINEAR), top, lh - nh - top,
                           left, lw - nw - left, cv2.BORDER_CONSTANT, value=0)
        cv2.copyMakeBorder(cv2.resize(mask, (nw, nh), interpolation=cv2.INTER_NEAREST_EXACT), top, lh - nh - top,
                           left, lw - nw - left, cv2.BORDER_CONSTANT, value=0)
        _cv2_points(points, box_map)

    ops.append(_Op("resize letterbox %d x %d" % LETTERBOX,
                   lambda rec: kiro.resize(rec, LETTERBOX, keep_ratio=True, letterbox=True),
                   lambda image, mask, points: floors.resize(image, mask, nh, nw, lh, lw, top, left, points,
                                                             box_map),
                   "2 x cv::resize into the box + border fill", cv2_letterbox,
                   lambda image, mask, kp, fresh: peers.letterbox(image, mask, LETTERBOX, kp, fresh)))

    rh, rw = RESIZE
    resize_map = _scaling(rw / w, rh / h, 0, 0)

    def cv2_resize(image, mask, points):
        cv2.resize(image, (rw, rh), interpolation=cv2.INTER_LINEAR)
        cv2.resize(mask, (rw, rh), interpolation=cv2.INTER_NEAREST_EXACT)
        _cv2_points(points, resize_map)

    ops.append(_Op("resize %d x %d" % RESIZE, lambda rec: kiro.resize(rec, RESIZE),
                   lambda image, mask, points: floors.resize(image, mask, rh, rw, rh, rw, 0, 0, points,
                                                             resize_map),
                   "2 x cv::resize (bilinear image, nearest-exact mask)", cv2_resize,
                   lambda image, mask, kp, fresh: peers.resize(image, mask, RESIZE, kp, fresh)))

    # scale_jitter at a fixed scale: resized, then cropped one way and padded the other
    jh, jw = JITTER
    k = JITTER_SCALE * max(jh, jw) / max(h, w)
    sh, sw = int(np.floor(h * k + 0.5)), int(np.floor(w * k + 0.5))

    def jitter_window():
        return random.randint(0, max(0, sw - jw)), random.randint(0, max(0, sh - jh))

    def floor_jitter(image, mask, points):
        x0, y0 = jitter_window()
        pmap = None if points is None else _scaling(sw / w, sh / h, -x0, -y0)
        return floors.scale_jitter(image, mask, sh, sw, jh, jw, y0, x0, points, pmap)

    def cv2_jitter(image, mask, points):
        x0, y0 = jitter_window()
        for a, flags in ((image, cv2.INTER_LINEAR), (mask, cv2.INTER_NEAREST_EXACT)):
            win = cv2.resize(a, (sw, sh), interpolation=flags)[y0:y0 + jh, x0:x0 + jw]
            cv2.copyMakeBorder(win, 0, jh - win.shape[0], 0, jw - win.shape[1], cv2.BORDER_CONSTANT, value=0)
        if points is not None:
            _cv2_points(points, _scaling(sw / w, sh / h, -x0, -y0))

    ops.append(_Op("scale_jitter %d x %d scale %g" % (jh, jw, JITTER_SCALE),
                   lambda rec: kiro.scale_jitter(rec, JITTER, scale=JITTER_SCALE),
                   floor_jitter, "2 x cv::resize + window copy + border fill", cv2_jitter,
                   lambda image, mask, kp, fresh: peers.scale_jitter(image, mask, JITTER,
                                                                     int(round(JITTER_SCALE * max(JITTER))),
                                                                     kp, fresh)))

    rows = []
    for op in ops:
        rows += _rows(ctx, op, polygons)
    return rows
