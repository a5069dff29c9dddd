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
    # the package alone loads not even the extension; its steps load no table, picture or plotting package
    import subprocess
    import sys

    heavy = ["dask", "distributed", "tqdm", "matplotlib", "seaborn", "sklearn", "torch", "transformers",
             "pycocotools", "trackeval", "movement", "xarray", "pandas", "PIL"]
    code = ("import sys, herdmask; print('herdmask._core' in sys.modules); "
            "from herdmask import read_frames; import herdmask.testing; "
            f"print([m for m in {heavy!r} if m in sys.modules])")
    out = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True, check=True)
    bare, steps = out.stdout.splitlines()
    assert bare == "False"
    assert steps == "[]"


def test_a_module_of_the_package_imported_first_loads_without_an_import_cycle():
    # `from . import _core` asks the package for the name first: it must not load the steps then
    import subprocess
    import sys

    for first in ("import herdmask.export", "import herdmask._native", "from herdmask import testing"):
        subprocess.run([sys.executable, "-c", f"{first}; import herdmask; herdmask.read_frames"], check=True)


def _step_names():
    from herdmask import annotation, detect, measures, pen, refine, review, video

    return {n for m in (annotation, detect, measures, pen, refine, review, video) for n in m.__all__}


def test_the_package_names_every_step_and_module_lazily():
    import herdmask as hm

    assert set(hm.__all__) == _step_names() and len(hm.__all__) == len(_step_names())
    assert hm.read_frames is hm.video.read_frames and hm.Mask_Refinement is hm.refine.Mask_Refinement
    assert hm.export.__name__ == "herdmask.export" and "scoring" in dir(hm)
    with pytest.raises(AttributeError, match="no attribute 'no_such_step'"):
        hm.no_such_step


def test_flipped_and_repeated_row_masks_read_as_their_copies():
    # OpenCV keeps a row step unsigned and reads a step of 0 as "rows follow each
    # other": such masks reach it as copies.
    import herdmask as hm

    m = np.zeros((50, 60), bool)
    m[5:20, 10:30] = True
    m[30:40, 40:55] = True
    for view in (m[::-1], m[::-2], np.broadcast_to(m[10], m.shape)):
        copy = view.copy()
        assert (_native.measures.contour_centroids([view])
                == _native.measures.contour_centroids([copy]))
        got = hm.Mask_Refinement().get_main_blob(view, {}, 1)
        want = hm.Mask_Refinement().get_main_blob(copy, {}, 1)
        assert all(np.array_equal(a, b) for a, b in zip(got, want))


def test_declared_shapes_are_checked_before_anything_is_allocated(tmp_path):
    import json
    import resource

    import herdmask as hm

    pen = tmp_path / "pen.json"
    pen.write_text(json.dumps({"shapes": [{"points": [[2, 2], [30, 2], [30, 22]]}]}))
    peak = resource.getrusage(resource.RUSAGE_SELF).ru_maxrss
    for dtype in (bool, np.float32, object):  # an empty stack of 10-gigapixel frames
        out = hm.get_in_pen_mask(0, np.zeros((0, 100_000, 100_000), dtype), pen, ["f"])
        assert out.shape == (0, 100_000, 100_000) and out.dtype == dtype
    assert resource.getrusage(resource.RUSAGE_SELF).ru_maxrss - peak < 1 << 20  # KiB
    with pytest.raises(FileNotFoundError):  # the pen file is still read
        hm.get_in_pen_mask(0, np.zeros((0, 100_000, 100_000), bool), tmp_path / "no.json", ["f"])

    # Three masks of 2^31 x 2^31 pixels: a size no buffer can have.
    annotation = tmp_path / "output_pp_0.json"
    annotation.write_text(json.dumps({"image_path": "x.jpg", "detections": [
        {"object_id": k, "formatted_polygon": []} for k in range(3)]}))
    with pytest.raises(ValueError, match="do not fit"):
        hm.process_json_and_generate_masks(annotation, 2**31 - 1, 2**31 - 1)
