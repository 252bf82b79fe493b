"""A contact sheet: for a few samples, the original and pipeline copies with labels drawn."""

import os

import numpy as np

from ._files import SampleError, encode_image, write_atomic
from ._format import unpack
from .formats import RefusedError, make_format
from .source import Donors, Source
from .work import _clone, _message, run_pipeline

GAP = 4
_PALETTE = np.array([
    (75, 25, 230), (75, 180, 60), (25, 225, 255), (200, 130, 0), (48, 130, 245), (180, 30, 145),
    (240, 240, 70), (230, 50, 240), (60, 245, 210), (212, 190, 250), (128, 128, 0), (255, 190, 220),
    (40, 110, 170), (200, 250, 255), (0, 0, 128), (195, 255, 170), (0, 128, 128), (180, 215, 255),
], np.uint8)


def class_names(fmt):
    """Class id -> name, where the data set names its classes."""
    meta = getattr(fmt, "meta", None)
    if isinstance(meta, dict) and "categories" in meta:
        return {c.get("id"): str(c.get("name", c.get("id"))) for c in meta["categories"] if isinstance(c, dict)}
    return meta if isinstance(meta, dict) else {}


def _class_of(label):
    if isinstance(label, (tuple, list)) and label:
        label = label[0]
    try:
        return int(label)
    except (TypeError, ValueError):
        return 0


def _bgr8(image):
    if image.dtype == np.uint16:
        image = (image >> 8).astype(np.uint8)
    elif image.dtype != np.uint8:
        image = np.clip(image, 0, 255).astype(np.uint8)
    if image.ndim == 3 and image.shape[2] < 3:
        image = image[:, :, 0]
    if image.ndim == 2:
        image = np.repeat(image[:, :, None], 3, axis=2)
    return np.ascontiguousarray(image[:, :, :3])


def render(record, names, height):
    """One tile: the image `height` pixels high, mask classes tinted, polygons outlined and named."""
    from kiro.utils import _io

    image = _bgr8(record["image"]).copy()
    mask = record.get("mask")
    if mask is not None and mask.shape[:2] == image.shape[:2]:
        on = mask != 0
        tint = _PALETTE[mask[on].astype(np.int64) % len(_PALETTE)]
        image[on] = ((image[on].astype(np.uint16) + tint) // 2).astype(np.uint8)
    scale = height / float(image.shape[0])
    tile = _io.resize(image, max(1, int(round(image.shape[1] * scale))), height)
    polygons, labels = unpack(record)
    if polygons:
        classes = [_class_of(label) for label in labels]
        colors = [[float(c) for c in _PALETTE[k % len(_PALETTE)]] for k in classes]
        texts = [str(names.get(k, k)) for k in classes]
        _io.draw_polygons(tile, [np.asarray(p, np.float64) * scale for p in polygons], colors, texts, 1, 0.4)
    return tile


def compose(rows):
    """Rows of tiles on one dark sheet."""
    width = max(sum(t.shape[1] for t in row) + GAP * (len(row) + 1) for row in rows)
    height = sum(max(t.shape[0] for t in row) for row in rows) + GAP * (len(rows) + 1)
    sheet = np.full((height, width, 3), 32, np.uint8)
    y = GAP
    for row in rows:
        x = GAP
        for tile in row:
            sheet[y:y + tile.shape[0], x:x + tile.shape[1]] = tile
            x += tile.shape[1] + GAP
        y += max(t.shape[0] for t in row) + GAP
    return sheet


def preview(src, pipeline, output, format="auto", samples=8, copies=4, seed=0, annotations=None, tile_height=240,
            donor_skips=None, keep_grey=False, images=None, masks=None, list_file=None):
    """Write a contact sheet to `output` (.png or .jpg); returns the failures (sample, copy, reason).

    Samples are spread evenly over SRC; copy k of sample i is the copy that
    `multiply` with the same seed writes as <stem>_k<k> (copy_paste and mosaic
    steps take their donors from SRC, as there). Donors that fail to load are
    appended to the list `donor_skips`, when given, as (sample, copy, donor,
    reason).
    """
    import kiro

    if samples < 1 or copies < 0 or tile_height < 16:
        raise RefusedError("--samples must be >= 1, --copies >= 0, --tile-height >= 16")
    ext = os.path.splitext(output)[1].lower()
    if ext not in (".png", ".jpg", ".jpeg"):
        raise RefusedError("the sheet is written as .png or .jpg, not %r" % (ext or output))
    try:
        if not isinstance(pipeline, kiro.Pipeline):
            pipeline = kiro.Pipeline.from_config(pipeline)
    except (OSError, ValueError, TypeError) as e:
        raise RefusedError("pipeline: %s" % e) from e
    fmt = make_format(format, src, annotations, keep_grey, {"images": images, "masks": masks, "list": list_file})
    try:
        refs, _ = fmt.scan()
    except (OSError, ValueError) as e:
        raise RefusedError(str(e)) from e
    if not refs:
        raise RefusedError("SRC %s has no samples" % src)
    names = class_names(fmt)
    donors = Donors(Source._of(fmt, refs)) if pipeline.needs_donors else None
    picked = sorted(set(np.linspace(0, len(refs) - 1, min(samples, len(refs))).round().astype(int).tolist()))
    rows, failures = [], []
    for i in picked:
        ref = refs[i]
        sample = ref.get("image") or ref["name"]
        try:
            record = fmt.read(ref)
        except SampleError as e:
            failures.append((sample, None, e.reason))
            continue
        row = [render(record, names, tile_height)]
        for k in range(copies):
            work = _clone(record)
            skips = []
            try:
                work = run_pipeline(pipeline, work, kiro.sample_seed(seed, ref["index"], k), donors, skips)
            except Exception as e:
                failures.append((sample, k, _message(e)))
                row.append(np.zeros((tile_height, tile_height, 3), np.uint8))
                continue
            finally:
                if donor_skips is not None:
                    donor_skips.extend((sample, k, donors.source.name(skip.index), _message(skip.error))
                                       for skip in skips)
            row.append(render(work, names, tile_height))
        rows.append(row)
    if not rows:
        raise RefusedError("no sample of %s could be read" % src)
    write_atomic(output, encode_image(compose(rows), ext, 95))
    return failures
