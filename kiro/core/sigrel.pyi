"""Watermark: paste a scaled watermark picture onto an image."""

from typing import List, Optional, Sequence, Union

import numpy as np

from .KirO import *  # noqa: F401,F403
from ..utils.caspen import caspen as caspen

WatermarkSource = Union[np.ndarray, str, List[str]]

def sigrel(
    image: np.ndarray,
    watermark: WatermarkSource,
    watermark_position: int = ...,
    fit_method: int = ...,
    prob: float = 1.0,
    size_ratio: Sequence[float] = (0.125, 0.5),
    thresh: Optional[float] = None,
) -> np.ndarray:
    """Paste a watermark onto `image` (height x width x channels, 8-bit).

    With probability `prob` (one random() draw; a draw above `prob` returns
    `image` itself, untouched) the watermark is loaded, scaled by
    `caspen(image, watermark, size_ratio)` and placed.

    `watermark`: an array, a file path, a pattern containing "*" (matches are
    sorted, then one is chosen at random) or a list of paths (one chosen at
    random). A tuple is refused. Files are decoded with their alpha channel.

    `watermark_position`: WATERMARK_UPLEFT, WATERMARK_UP, WATERMARK_UPRIGHT,
    WATERMARK_CENTER, WATERMARK_DOWNLEFT, WATERMARK_DOWN, WATERMARK_DOWNRIGHT
    (against the edges, moved inward by up to a quarter of the watermark's
    size), WATERMARK_RANDOM_ANCHOR (default: one of the seven at random) or
    WATERMARK_RANDOM_ALL (anywhere). The rectangle always lies inside the image.

    `thresh`: None uses the alpha channel of a 4-channel watermark (alpha 0 is
    transparent); a number makes every element at or below it transparent.

    `fit_method`: FIT_PASTE (default) writes the opaque watermark elements
    into `image` in place, on any channel count, and returns `image`;
    FIT_NORMAL, FIT_MIX and FIT_MONO return a new image blended by seamless
    cloning (the image must be height x width x 3, 8-bit); FIT_RANDOM picks
    one of the four.

    Draws, in order: the gate; the file choice (pattern or list); the size
    inside caspen; the anchor (WATERMARK_RANDOM_ANCHOR); the placement jitter;
    the method (FIT_RANDOM).

    Raises Exception with a fixed message for a wrong watermark kind, an
    unmatched pattern, an unknown position (after the scaling) or an unknown
    method (after the placement); ValueError for images the method cannot
    take (read-only for FIT_PASTE, not 3-channel 8-bit for cloning);
    RuntimeError for OpenCV's failures.
    """
    ...
