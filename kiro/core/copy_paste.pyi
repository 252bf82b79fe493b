"""Copy-paste of objects from a donor record onto a target record."""

from typing import Any, Dict, List, Optional, Tuple, Union

Record = Dict[str, Any]
Range = Union[float, Tuple[float, float], List[float]]

def copy_paste(
    data: Record,
    donor: Record,
    prob: float = 0.5,
    objects: Union[None, int, Tuple[int, int], List[int]] = None,
    scale: Range = (0.5, 1.5),
    flip: float = 0.5,
    blend: str = "hard",
    sigma: float = 1.0,
    min_visibility: float = 0.25,
    min_area: float = 1.0,
    bg_mask: float = 0,
) -> Record:
    """Paste objects of the record `donor` onto the record `data`.

    Objects: the donor's polygon rows grouped by equal "labels" entries (each
    row its own without labels), or its mask classes other than `bg_mask`.
    Draws: the gate (random() < prob), the scale (uniform), the mirror
    (random() < flip), the offset x then y (uniform over the range keeping
    part of the donor inside), the number of objects (None: randint(1, n);
    int: that many; [a, b]: randint(a, b); capped at n) and which
    (random.sample). `blend`: "hard", "gaussian" (raster blurred with
    `sigma`) or "seamless" (kiro's clone). The target's mask takes the pasted
    classes, its polygons lose what is covered (objects under
    `min_visibility` dropped whole), pasted polygons are appended with the
    donor's labels. Updated in place and returned.
    """
    ...
