"""Data sets: read a segmentation or polygon data set, multiply it through a
pipeline, write it back in the same format.

Formats: "coco" (annotations.json + images/), "yolo" (images/ + labels/),
"masks" (images/ + masks/). The command line is `kiro multiply` and
`kiro preview` (see `kiro --help`); the same runs from Python::

    from kiro import datasets
    report = datasets.multiply("data/train", "data/train_x4", "pipeline.yaml",
                               format="coco", copies=4, seed=0, workers=2)
    print(report.summary())
"""

from ._files import SampleError, read_image
from .coco import Coco
from .masks import Masks
from .preview import preview
from .run import FORMATS, RefusedError, Report, make_format, multiply
from .yolo import Yolo


def load(src, format="auto", annotations=None):
    """Every sample of SRC as (reference, record or SampleError), in the data set's order."""
    fmt = make_format(format, src, annotations)
    refs, _ = fmt.scan()
    out = []
    for ref in refs:
        try:
            out.append((ref, fmt.load(ref)))
        except SampleError as e:
            out.append((ref, e))
    return out


__all__ = ["FORMATS", "Coco", "Masks", "RefusedError", "Report", "SampleError", "Yolo", "load", "make_format",
           "multiply", "preview", "read_image"]
