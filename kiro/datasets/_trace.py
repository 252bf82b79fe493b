"""Outer outlines of a binary mask as polygons along the pixel edges."""

import numpy as np


def outer_polygons(mask):
    """One polygon (N x 2 float x, y) per 4-connected piece of `mask`, around its pixels; holes ignored.

    Pixel (x, y) covers [x, x + 1] x [y, y + 1]. Pieces touching only at a corner are traced apart.
    """
    m = np.pad(np.asarray(mask, bool), 1)
    inside = m[1:-1, 1:-1]
    stride = m.shape[1]
    # Boundary edges of each side, walked so that the pixels lie to the same side of every edge.
    sides = (
        (inside & ~m[:-2, 1:-1], (0, 0), (1, 0)),   # top: left to right
        (inside & ~m[1:-1, 2:], (1, 0), (1, 1)),    # right: downwards
        (inside & ~m[2:, 1:-1], (1, 1), (0, 1)),    # bottom: right to left
        (inside & ~m[1:-1, :-2], (0, 1), (0, 0)),   # left: upwards
    )
    nexts = {}
    for edges, (ax, ay), (bx, by) in sides:
        ys, xs = np.nonzero(edges)
        for a, b in zip(((ys + ay) * stride + xs + ax).tolist(), ((ys + by) * stride + xs + bx).tolist()):
            nexts.setdefault(a, []).append(b)
    polygons = []
    while nexts:
        v0 = next(iter(nexts))
        first = (v0, nexts[v0][0])
        loop, (a, b) = [v0], first
        while True:
            loop.append(b)
            dx, dy = _step(a, b, stride)
            candidates = nexts[b]
            # At a corner shared by two pieces, turn towards the pixels being traced.
            c = next((c for c in candidates if _step(b, c, stride) == (-dy, dx)), candidates[0])
            if (b, c) == first:
                break
            _remove(nexts, b, c)
            a, b = b, c
        _remove(nexts, *first)
        points = np.array([(v % stride, v // stride) for v in loop[:-1]], np.float64)
        points = _corners(points)
        x, y = points[:, 0], points[:, 1]
        if np.dot(x, np.roll(y, -1)) - np.dot(np.roll(x, -1), y) > 0:  # outer outline, not a hole
            polygons.append(points)
    return polygons


def _step(a, b, stride):
    d = b - a
    return (d, 0) if abs(d) == 1 else (0, d // stride)


def _remove(nexts, a, b):
    nexts[a].remove(b)
    if not nexts[a]:
        del nexts[a]


def _corners(points):
    """The closed loop `points` without the vertices where it runs straight on."""
    before, after = np.roll(points, 1, axis=0), np.roll(points, -1, axis=0)
    d1, d2 = points - before, after - points
    turn = d1[:, 0] * d2[:, 1] - d1[:, 1] * d2[:, 0] != 0
    return points[turn]
