"""kiro's demo: every operation on the bundled sample, as one contact sheet.

    make demo          (or: python examples/demo.py [output.png])

Panel sets come from the examples/panels_<family>.py files, each exposing
panels(sample) -> [(title, image), ...].
"""

import copy
import glob
import importlib
import os
import random
import sys

import numpy as np

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, HERE)

import kiro  # noqa: E402
import kiro.data  # noqa: E402
from demo_util import as_bgr, overlay  # noqa: E402
from kiro.utils import _demo, _io  # noqa: E402

TILE = 256
TITLE_H = 26
COLUMNS = 5
OWN_ROW = {"geometry", "mixing", "pipeline"}  # families that start a row of their own
FAMILIES = ["utils", "paste", "watermark", "zoom", "delete", "repair_rotate", "ramps", "photometric", "geometry",
            "mixing", "pipeline"]


def sample_record():
    sample = kiro.data.load_sample()
    sample["texture_path"] = kiro.data.path("texture_brick.jpg")
    sample["watermark_path"] = kiro.data.path("watermark.png")
    return sample


def families():
    found = {os.path.basename(p)[len("panels_"):-3] for p in glob.glob(os.path.join(HERE, "panels_*.py"))}
    return [f for f in FAMILIES if f in found] + sorted(found - set(FAMILIES))


def tile(title, image):
    img = as_bgr(image)
    h, w = img.shape[:2]
    scale = min(TILE / w, TILE / h)
    small = _io.resize(img, max(1, int(w * scale)), max(1, int(h * scale)))
    cell = np.full((TILE + TITLE_H, TILE, 3), 32, np.uint8)
    y0 = TITLE_H + (TILE - small.shape[0]) // 2
    x0 = (TILE - small.shape[1]) // 2
    cell[y0:y0 + small.shape[0], x0:x0 + small.shape[1]] = small
    _demo.put_text(cell, title[:34], 6, 18, 0.45, (255, 255, 255), 1)
    return cell


def contact_sheet(cells):
    rows = (len(cells) + COLUMNS - 1) // COLUMNS
    sheet = np.full((rows * (TILE + TITLE_H), COLUMNS * TILE, 3), 16, np.uint8)
    for i, cell in enumerate(cells):
        r, c = divmod(i, COLUMNS)
        sheet[r * (TILE + TITLE_H):(r + 1) * (TILE + TITLE_H), c * TILE:(c + 1) * TILE] = cell
    return sheet


def main(out_path):
    sample = sample_record()
    cells = [tile("sample + labels", overlay(sample))]
    for family in families():
        module = importlib.import_module("panels_" + family)
        if family in OWN_ROW:
            while len(cells) % COLUMNS:
                cells.append(np.full((TILE + TITLE_H, TILE, 3), 16, np.uint8))
        random.seed(7)
        np.random.seed(7)
        for title, image in module.panels(copy.deepcopy(sample)):
            cells.append(tile(title, image))
    os.makedirs(os.path.dirname(out_path) or ".", exist_ok=True)
    _demo.imwrite(out_path, contact_sheet(cells))
    print(os.path.abspath(out_path))


if __name__ == "__main__":
    main(sys.argv[1] if len(sys.argv) > 1 else os.path.join("demo_out", "kiro_demo.png"))
