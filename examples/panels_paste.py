"""Demo panels: underlay paste from the sample's own image and from a texture
file, and an occluding paste over the objects."""

import kiro
from demo_util import overlay


def _record(sample):
    return {"image": sample["image"].copy(), "mask": sample["mask"], "keypoints": sample["keypoints"]}


def _first_fit(op, sample, tries=20, **kwargs):
    """The first call whose clone area fits in the image (OpenCV refuses the others)."""
    for _ in range(tries):
        try:
            return op(_record(sample), 1.0, **kwargs)
        except RuntimeError:
            continue
    return op(_record(sample), 1.0, **dict(kwargs, fit_method=kiro.FIT_PASTE))


def panels(sample):
    own = _first_fit(kiro.belmost, sample, cover_position=kiro.COPY_MASK_EDGE,
                     fit_method=kiro.FIT_NORMAL, size_ratio=(0.3, 0.5))
    texture = _first_fit(kiro.belmost, sample, cover_position=kiro.COPY_INTER,
                         fit_method=kiro.FIT_PASTE, image_source=sample["texture_path"],
                         size_ratio=(0.4, 0.6))
    occluded = _first_fit(kiro.trevane, sample, cover_position=kiro.OCCLUSION_EDGDE,
                          fit_method=kiro.FIT_PASTE, size_ratio=(0.15, 0.25))
    return [
        ("belmost: own image, NORMAL", overlay(own)),
        ("belmost: texture file, PASTE", overlay(texture)),
        ("trevane: own image, PASTE", overlay(occluded)),
    ]
