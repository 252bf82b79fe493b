"""Camera shake: shifted double exposure with a slight blur."""

from typing import Optional, Union

import numpy as np

def tremor_image(
    image: np.ndarray,
    x: Optional[Union[int, float]] = None,
    y: Optional[Union[int, float]] = None,
) -> np.ndarray:
    """0.7 * image + 0.3 * image shifted by (x, y), then a 3 x 3 Gaussian blur (sigma 2).

    The shift is used only when both x and y are given; otherwise both are
    drawn from `random` by the image height: up to 300 rows randint(-3, 3)
    twice; from 1000 rows x1 = randint(-10, -5), y1 = randint(5, 10),
    x2 = randint(5, 10), y2 = randint(-10, -5), x = choice([x1, x2]),
    y = choice([y1, y2]); in between the same with [-5, -3], [-5, -3], [3, 5],
    [3, 5]. The uncovered strip of the shifted copy is black. `image` must be
    height x width x channels; the result keeps its shape and element type.
    """
    ...
