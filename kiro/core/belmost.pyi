"""Underlay paste: paste a light-adjusted patch under the labelled object."""

from typing import Any, Dict, List, Optional, Sequence, Union

import numpy as np

from .KirO import *  # noqa: F401,F403
from ..utils.caspen import caspen as caspen
from ..utils.kp2mask import kp2mask as kp2mask

ImageSource = Optional[Union[np.ndarray, str, List[str]]]

def belmost(
    data: Dict[str, Any],
    prob: float = 0.5,
    cover_position: int = ...,
    fit_method: int = ...,
    image_source: ImageSource = None,
    bg_mask: Union[int, float] = 0,
    size_ratio: Sequence[float] = (0.15625, 0.84375),
) -> Dict[str, Any]:
    """Paste a patch into data["image"] under the labelled object; returns `data`.

    `data` holds "image" (height x width x 3, uint8) and "mask" and/or
    "keypoints" (without "mask" the object is kp2mask(data, one_class_only=True)).
    Mask elements equal to `bg_mask` are background. With probability `prob`
    (one random() draw; above `prob` the record is returned untouched):

    - the patch comes from the sample's own image (`image_source` None: a
      random height and width from `size_ratio`, then a random position) or
      from another image: an array, a file path, a pattern containing "*"
      (matches sorted, one chosen at random) or a list of paths (one chosen
      at random), scaled by caspen(image, other, size_ratio). A tuple is
      refused. A 4-channel source's alpha marks pixels that are never pasted.
    - its light changes to x * scale + shift (scale in [0.8, 0.98] or
      [1.02, 1.2], shift in [-10, -5] or [5, 10]), clipped, cut to 8 bits.
    - `cover_position`: COPY_INTER (over the object's extent, default),
      COPY_MASK_EDGE (across one of its edges), COPY_IMAGE_EDGE (against a
      border of the image) or COPY_RANDOM.
    - `fit_method`: FIT_PASTE writes the patch on background pixels only;
      FIT_NORMAL (default), FIT_MIX, FIT_MONO clone it seamlessly (border
      strips touching the object left out) and then put every object pixel
      back; FIT_RANDOM picks one of the four.

    Draws, in order: the gate; the patch size and position (own image) or the
    file choice (pattern, list) and the size inside caspen; six light draws;
    the placement; the method (FIT_RANDOM).

    Only data["image"] is replaced (a new array), at the end; labels and the
    caller's arrays are never changed, and nothing is changed on an error.
    Raises Exception with a fixed message for a record without labels, a
    `size_ratio` that is not a tuple or list (after the gate), a wrong
    source kind, an unmatched pattern, an unknown placement or an unknown
    method (after the placement); KeyError without "image"; ValueError for
    an image that is not height x width x 3 uint8 (after the gate) or a mask
    of another size; FileNotFoundError / ValueError for missing or
    undecodable files; RuntimeError for OpenCV's failures.
    """
    ...
