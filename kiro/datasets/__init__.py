"""Data sets: read a segmentation or polygon data set, multiply it through a
pipeline, write it back in the same format.

Formats: "coco" (annotations.json + images/), "yolo" (images/ + labels/),
"masks" (images/ + masks/, other folders and a stem list with `images`, `masks`,
`list_file`), "labelme" (images with a LabelMe JSON beside each). The command line is `kiro multiply` and
`kiro preview` (see `kiro --help`); the same runs from Python::

    from kiro import datasets
    report = datasets.multiply("data/train", "data/train_x4", "pipeline.yaml",
                               format="coco", copies=4, seed=0, workers=2)
    print(report.summary())

`open(src)` gives the samples one at a time, read when asked for: the
donors of a pipeline with copy_paste or mosaic steps, or the items of a
training data set.

The "labels" of a record, one entry per keypoint row: COCO, (category id,
instance), the instance being the annotation's id, so rows with equal labels
are the polygons of one annotation; YOLO, the class number of the line;
LabelMe, (label, group_id) of the shape, so shapes of one group are one object;
masks records have no keypoints (the classes are the mask's values).
"""

from ._files import SampleError, read_image
from .coco import Coco
from .labelme import Labelme
from .masks import Masks
from .preview import preview
from .run import FORMATS, RefusedError, Report, make_format, multiply
from .source import Source
from .yolo import Yolo


def load(src, format="auto", annotations=None, keep_grey=False, images=None, masks=None, list_file=None):
    """Every sample of SRC as (reference, record or SampleError), in the data set's order.

    Images are read as displayed (EXIF orientation applied); grey ones as 3-channel BGR
    unless `keep_grey`. Masks are read unchanged. `images`, `masks`, `list_file`: the masks
    layout (see `multiply`)."""
    fmt = make_format(format, src, annotations, keep_grey, _layout(images, masks, list_file))
    refs, _ = fmt.scan()
    out = []
    for ref in refs:
        try:
            out.append((ref, fmt.read(ref)))
        except SampleError as e:
            out.append((ref, e))
    return out


def open(src, format="auto", annotations=None, keep_grey=False, images=None, masks=None, list_file=None):
    """SRC as a lazy `Source`: ``len(source)`` samples, in `load`'s order; ``source[i]`` reads
    sample i into a fresh record each time (or raises SampleError). Cheap to pickle to workers."""
    return Source(src, format, annotations, keep_grey, _layout(images, masks, list_file))


def _layout(images, masks, list_file):
    return {"images": images, "masks": masks, "list": list_file}


__all__ = ["FORMATS", "Coco", "Labelme", "Masks", "RefusedError", "Report", "SampleError", "Source", "Yolo", "load",
           "make_format", "multiply", "open", "preview", "read_image"]
