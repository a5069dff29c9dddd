"""Conventions every exported step relies on: number text, mask reading, printing."""

import contextlib
import io
import math
import random
import struct

import numpy as np
import pytest

from herdmask import _native
from herdmask._text import number_text


def _random_doubles(n, seed=1):
    rng = random.Random(seed)
    values = [0.0, -0.0, 1.0, 10.0, 0.1, 0.1 + 0.2, 1e-05, 1e16, 1e15, 123456789.0, 5e-324,
              1.7976931348623157e308, 0.0001, 0.00001234, 2.5e-5, 9999999999999998.0]
    for _ in range(n):
        kind = rng.randrange(4)
        if kind == 0:  # any bit pattern
            bits = rng.getrandbits(64)
            v = struct.unpack("<d", struct.pack("<Q", bits))[0]
            if math.isnan(v):
                continue
        elif kind == 1:  # integral
            v = float(rng.randrange(-10**18, 10**18))
        elif kind == 2:  # around the layout boundaries
            v = rng.uniform(0.5, 9.5) * 10.0 ** rng.randrange(-8, 20)
        else:
            v = round(rng.uniform(-1000, 1000), rng.randrange(0, 6))
        values.append(v)
    return values


def test_real_text_equals_python_repr_on_random_sample():
    for v in _random_doubles(100_000):
        assert _native.common.real_text(v) == repr(v), v
    for v in (math.inf, -math.inf, math.nan):
        assert _native.common.real_text(v) == repr(v)


def test_number_text_keeps_integers_plain():
    assert number_text(0) == "0"
    assert number_text(np.int64(7)) == "7"
    assert number_text(np.float32(0.5)) == "0.5"
    assert number_text(25.0) == "25.0"


@pytest.mark.parametrize(
    "mask",
    [
        np.eye(5, dtype=bool),
        np.eye(5, dtype=np.uint8) * 255,
        np.eye(5, dtype=np.float32),
        np.eye(5, dtype=np.int64)[None],
        np.asfortranarray(np.eye(5, dtype=np.uint8)),
        np.eye(10, dtype=bool)[::2, ::2],
        np.eye(5).astype(object),
    ],
)
def test_masks_of_any_layout_read_the_same(mask):
    assert _native.common.count_set(mask) == 5


def test_mask_with_long_leading_axis_is_rejected():
    with pytest.raises(ValueError, match="two-dimensional"):
        _native.common.count_set(np.zeros((2, 4, 4), bool))
    with pytest.raises(ValueError, match="two-dimensional"):
        _native.common.count_set(np.zeros(4, bool))


def test_empty_mask_counts_zero():
    assert _native.common.count_set(np.zeros((0, 0), bool)) == 0


def test_importing_the_library_loads_no_application_or_model_package():
    import subprocess
    import sys

    heavy = ["dask", "distributed", "tqdm", "matplotlib", "seaborn", "sklearn", "torch", "transformers",
             "pycocotools", "motmetrics"]
    code = ("import sys, herdmask, herdmask.testing; "
            f"print([m for m in {heavy!r} if m in sys.modules])")
    out = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True, check=True)
    assert out.stdout.strip() == "[]"
