"""Small data sets for the data set tests, drawn with known polygons and masks.

Every object is filled with its category's colour on a grey background, so a
test can tell which category lies under a polygon in any written image.
"""

import json
import os

import numpy as np

COLOURS = {1: (0, 0, 255), 2: (0, 255, 0), 3: (255, 0, 0)}  # BGR per category
BACKGROUND = 128
WIDTH, HEIGHT = 96, 72


def _encode(image, ext=".png"):
    from kiro.utils import _io

    return _io.encode(image, ext, 95)


def _write(path, data):
    os.makedirs(os.path.dirname(path), exist_ok=True)
    with open(path, "wb") as f:
        f.write(data)


def shapes(index):
    """(category, polygon as [x1, y1, ...]) of image `index`: boxes and a triangle, no overlap."""
    shift = 3 * index
    return [
        (1, [8 + shift, 8, 34 + shift, 8, 34 + shift, 30, 8 + shift, 30]),
        (2, [50, 10 + shift, 86, 10 + shift, 86, 34 + shift, 50, 34 + shift]),
        (3, [20, 44, 44, 62, 8, 62]),
    ][: 2 + index % 2]


def draw(polygons, width=WIDTH, height=HEIGHT):
    """Image with each (category, polygon) filled in its colour, and the class mask."""
    import kiro

    image = np.full((height, width, 3), BACKGROUND, np.uint8)
    mask = np.zeros((height, width), np.uint8)
    for category, polygon in polygons:
        kp = np.array([polygon], np.int32)
        inside = kiro.kp2mask({"image": image, "keypoints": kp}).astype(bool)
        image[inside] = COLOURS[category]
        mask[inside] = category
    return image, mask


def make_coco(root, count=4, ext=".png"):
    """COCO set: polygon annotations, one annotation of two polygons, one crowd RLE, one empty image."""
    from pycocotools import mask as mask_utils

    extra = [10, 2, 20, 2, 20, 6, 10, 6]  # second part of image 1's category-1 annotation
    images, annotations = [], []
    for i in range(count):
        polys = shapes(i) if i != count - 1 else []
        image, mask = draw(polys + ([(1, extra)] if i == 1 else []))
        name = "img%02d%s" % (i, ext)
        _write(os.path.join(root, "images", name), _encode(image, ext))
        images.append({"id": 10 + i, "file_name": name, "width": WIDTH, "height": HEIGHT, "license": 1})
        for category, polygon in polys:
            seg = [[float(v) for v in polygon]]
            if i == 1 and category == 1:  # one annotation, two parts
                seg.append([float(v) for v in extra])
            annotations.append({"id": 100 + len(annotations), "image_id": 10 + i, "category_id": category,
                                "segmentation": seg, "area": 1.0, "bbox": [0, 0, 1, 1], "iscrowd": 0,
                                "note": "a%d" % len(annotations)})
        if i == 0:
            crowd = np.zeros((HEIGHT, WIDTH), np.uint8)
            crowd[40:50, 60:90] = 1
            rle = mask_utils.encode(np.asfortranarray(crowd))
            annotations.append({"id": 100 + len(annotations), "image_id": 10, "category_id": 3, "iscrowd": 1,
                                "segmentation": {"size": [HEIGHT, WIDTH], "counts": rle["counts"].decode()},
                                "area": 300.0, "bbox": [60, 40, 30, 10]})
    data = {"info": {"description": "test set"}, "licenses": [{"id": 1, "name": "x"}], "images": images,
            "annotations": annotations,
            "categories": [{"id": c, "name": "class%d" % c} for c in sorted(COLOURS)]}
    _write(os.path.join(root, "annotations.json"), json.dumps(data).encode())
    return data


def make_yolo(root, count=4, ext=".png"):
    for i in range(count):
        polys = shapes(i)
        image, _ = draw(polys)
        _write(os.path.join(root, "images", "img%02d%s" % (i, ext)), _encode(image, ext))
        lines = ["%d %s" % (c - 1, " ".join("%.6f" % (v / (WIDTH if j % 2 == 0 else HEIGHT)) for j, v in enumerate(p)))
                 for c, p in polys]
        _write(os.path.join(root, "labels", "img%02d.txt" % i), ("\n".join(lines) + "\n").encode())
    _write(os.path.join(root, "data.yaml"), b"names: [class1, class2, class3]\n")


def make_masks(root, count=4, ext=".png"):
    for i in range(count):
        image, mask = draw(shapes(i))
        _write(os.path.join(root, "images", "sub", "img%02d%s" % (i, ext)), _encode(image, ext))
        _write(os.path.join(root, "masks", "sub", "img%02d.png" % i), _encode(mask))


MAKERS = {"coco": make_coco, "yolo": make_yolo, "masks": make_masks}


def tree(root):
    """Relative path -> bytes of every file under root."""
    out = {}
    for folder, _, files in os.walk(root):
        for name in files:
            path = os.path.join(folder, name)
            with open(path, "rb") as f:
                out[os.path.relpath(path, root)] = f.read()
    return out


def crash_on_second(ref):
    """Pool task for the worker-crash test: sample 1 ends its process abruptly."""
    if ref["index"] == 1:
        os._exit(3)
    from kiro.datasets.run import _process_in_worker

    return _process_in_worker(ref)
