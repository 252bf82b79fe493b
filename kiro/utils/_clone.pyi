import numpy as np

def seamless_clone(src: np.ndarray, dst: np.ndarray, mask: np.ndarray, x: int, y: int, flags: int,
                   isa: str = "") -> np.ndarray:
    """kiro's seamless clone of `src` into a copy of `dst`: the box of `mask` centred on (x, y).

    flags: 1 NORMAL_CLONE, 2 MIXED_CLONE, 3 MONOCHROME_TRANSFER; isa: kernel build ("" = the processor's)."""
    ...
