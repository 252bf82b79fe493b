"""The data set formats by name, and the reader for a SRC."""

from .coco import Coco
from .labelme import Labelme
from .masks import Masks
from .yolo import Yolo

FORMATS = {"coco": Coco, "yolo": Yolo, "masks": Masks, "labelme": Labelme}
class RefusedError(ValueError):
    """A run refused before any work (bad SRC/DST, options or pipeline)."""


def detect_format(src):
    for name, cls in FORMATS.items():
        if cls.detect(src):
            return name
    raise RefusedError("cannot tell the format of %s: give --format coco, yolo, masks or labelme" % src)


def make_format(name, src, annotations=None, keep_grey=False, layout=None):
    """`layout`: the masks folders and list, {"images": DIR, "masks": DIR, "list": FILE} (any may be None)."""
    layout = {k: v for k, v in (layout or {}).items() if v is not None}
    if name == "auto":
        name = "masks" if layout else detect_format(src)
    if name not in FORMATS:
        raise RefusedError("unknown format %r (coco, yolo, masks or labelme)" % (name,))
    if layout and name != "masks":
        raise RefusedError("--images, --masks and --list are options of --format masks, not %s" % name)
    fmt = FORMATS[name](src, annotations)
    fmt.keep_grey = bool(keep_grey)
    if layout:
        try:
            fmt.set_layout(layout)
        except ValueError as e:
            raise RefusedError(str(e)) from None
    return fmt
