"""Occluding paste: paste a light-adjusted patch over the labelled object."""

from typing import Any, Dict, List, Optional, Sequence, Union

import numpy as np

from .KirO import *  # noqa: F401,F403
from ..utils.caspen import caspen as caspen
from ..utils.kp2mask import kp2mask as kp2mask

ImageSource = Optional[Union[np.ndarray, str, List[str]]]

def trevane(
    data: Dict[str, Any],
    prob: float = 0.5,
    cover_position: int = ...,
    fit_method: int = ...,
    image_source: ImageSource = None,
    bg_mask: Union[int, float] = 0,
    size_ratio: Sequence[float] = (0.03125, 0.15625),
) -> Dict[str, Any]:
    """Paste a patch into data["image"] over the labelled object; returns `data`.

    The patch is made as in belmost (own image or another image, caspen,
    the light change, the same draws). `cover_position`: OCCLUSION_INTER
    (over the object's extent), OCCLUSION_EDGDE (across one of its edges,
    default) or OCCLUSION_RANDOM. `fit_method`: FIT_PASTE writes the whole
    patch (a 4-channel source's zero-alpha pixels keep the image); FIT_NORMAL
    (default), FIT_MIX, FIT_MONO clone it seamlessly with the alpha (or an
    all-255 mask) as the clone mask; FIT_RANDOM picks one of the four.
    Nothing of the object is restored and the labels are not changed: the
    mask still shows the object where the patch now hides it.

    Only data["image"] is replaced (a new array), at the end; nothing is
    changed on an error. `size_ratio` is not type-checked: its entries are
    read where they are used. Errors as belmost's, without the size_ratio
    message.
    """
    ...
