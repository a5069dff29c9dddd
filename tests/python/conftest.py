import importlib.util
import os
import pathlib

import matplotlib
import pytest

matplotlib.use("Agg")

ROOT = pathlib.Path(__file__).resolve().parents[2]


@pytest.fixture(scope="session")
def tiny_demo(tmp_path_factory):
    """`herdmask demo --preset chain` (two cameras, three videos each) on a local cluster, run once for
    every test that reads its output: (output folder, exit status)."""
    pytest.importorskip("cv2")
    pytest.importorskip("torch")
    pytest.importorskip("distributed")
    from herdmask.app import cli

    out = tmp_path_factory.mktemp("demo")
    return out, cli.main(["demo", "--out", str(out), "--preset", "chain", "--workers", "2"])


def _segmenter_missing(reason):
    reason = f"{reason}; `make test-segmenter` runs these tests in an environment that has it"
    if os.environ.get("HERDMASK_REQUIRE_SEGMENTER") == "1":
        pytest.fail(reason)
    pytest.skip(reason)


@pytest.fixture(scope="session")
def segmenter():
    """The segmenter package, or a skip (a failure under `make test-segmenter`) where it does not load."""
    try:
        import sam2.build_sam
        import sam2.sam2_image_predictor  # noqa: F401 - imports torchvision, which may not load beside torch
    except Exception as exc:  # noqa: BLE001 - any import failure means the package is unusable here
        _segmenter_missing(f"segmenter package unavailable ({exc!r})")
    return sam2


@pytest.fixture(scope="session")
def tiny_model_script():
    """scripts/make_tiny_models.py as a module."""
    module_spec = importlib.util.spec_from_file_location("make_tiny_models", ROOT / "scripts" / "make_tiny_models.py")
    module = importlib.util.module_from_spec(module_spec)
    module_spec.loader.exec_module(module)
    return module
