"""Masks of each dtype the steps read in place, holding the values that tell
their rules apart: greater than 0, non-zero but not greater than 0 (negative,
NaN), and zero with its sign bit set."""

import numpy as np

DTYPES = [bool, np.uint8, np.float32, np.float64]

_SET = {bool: [True], np.uint8: [1, 7, 255]}
_REAL_SET = [1.0, 2.5, 0.25, -0.5, np.nan]


def with_values(mask, dtype, rng):
    """`mask` (bool) as `dtype`: each set pixel a value that is not zero, each other
    pixel 0 (or -0.0 for reals)."""
    mask = np.asarray(mask, bool)
    if dtype in _SET:
        values = np.asarray(_SET[dtype], dtype)
        return np.where(mask, values[rng.integers(0, len(values), mask.shape)], dtype(0))
    set_values = np.asarray(_REAL_SET, dtype)[rng.integers(0, len(_REAL_SET), mask.shape)]
    zeros = np.where(rng.random(mask.shape) < 0.5, dtype(-0.0), dtype(0.0))
    return np.where(mask, set_values, zeros).astype(dtype)


def valued_masks(rng, dtype, n, shape):
    """`n` masks, each a random patch of set pixels in a random rectangle."""
    h, w = shape
    masks = []
    for _ in range(n):
        m = np.zeros(shape, bool)
        y, x = rng.integers(0, h - 1), rng.integers(0, w - 1)
        hh, ww = rng.integers(1, h - y + 1), rng.integers(1, w - x + 1)
        m[y:y + hh, x:x + ww] = rng.random((hh, ww)) < 0.7
        masks.append(with_values(m, dtype, rng))
    return masks
