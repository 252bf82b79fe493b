import numpy as np

def quarnet(polygon: np.ndarray) -> np.ndarray:
    """Bounding boxes of polygons (rows x0, y0, x1, y1, ...; a 1-axis array is one polygon).

    Returns a new N x 4 array of rows x_min, y_min, x_max, y_max in the element
    type of `polygon`. Rows with fewer than two values raise ValueError.
    """
    ...
