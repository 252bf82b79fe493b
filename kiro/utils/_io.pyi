from typing import Sequence, Union

import numpy as np

def read_image(path: str) -> np.ndarray:
    """Read a file whole and decode it unchanged (channels, alpha and depth kept)."""
    ...

def decode(data: bytes) -> np.ndarray:
    """Decode image bytes unchanged; ValueError when they do not decode."""
    ...

def encode(image: np.ndarray, ext: str = ".png", quality: int = 95) -> bytes:
    """Encode an image as .png or .jpg/.jpeg (`quality` 0..100 for JPEG).

    PNG is lossless (8 or 16-bit, grey, BGR or BGRA stored as RGB(A)) and written for speed.
    """
    ...

def resize(image: np.ndarray, width: int, height: int) -> np.ndarray:
    """Area-averaged resize to width x height (a new array)."""
    ...

def draw_polygons(
    image: np.ndarray,
    polygons: Sequence[np.ndarray],
    colors: Sequence[Sequence[float]],
    texts: Sequence[str] = ...,
    thickness: int = 2,
    font_scale: float = 0.5,
) -> None:
    """Draw closed polygon outlines and optional captions into a uint8 BGR image in place."""
    ...
