"""Mosaic of four sample records."""

from typing import Any, Dict, List, Sequence, Tuple, Union

Record = Dict[str, Any]

def mosaic(
    records: Sequence[Record],
    size: Union[int, Tuple[int, int], List[int]],
    prob: float = 1.0,
    center: Union[float, Tuple[float, float], List[float]] = (0.25, 0.75),
    fill: Union[float, Sequence[float]] = 0,
    mask_fill: float = 0,
    min_area: float = 1.0,
    min_visibility: float = 0.0,
) -> Record:
    """Four records on one (h, w) canvas split at a drawn centre.

    Draws the gate (random() < prob), then cx = round(uniform(center) * w),
    then cy likewise. records[0..3] go top-left, top-right, bottom-left,
    bottom-right; each is resized (ratio kept) to cover its quadrant and cut
    to it at the corner meeting the centre. Polygons are clipped exactly to
    their quadrant and concatenated in record order with their "labels".
    records[0] is updated in place to be the mosaic and returned.
    """
    ...
