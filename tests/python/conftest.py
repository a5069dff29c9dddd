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
    every test that reads its output: (output folder, exit status).

    It runs as a user runs it, in a process of its own, where `import cv2` fails as on a server whose
    OpenCV-Python is the GUI build without the system's X11 libraries: nothing the demo does, in the
    driver or in the workers (which inherit PYTHONPATH), may need cv2."""
    pytest.importorskip("torch")
    pytest.importorskip("distributed")
    import subprocess
    import sys

    import herdmask

    out = tmp_path_factory.mktemp("demo")
    broken = tmp_path_factory.mktemp("broken-cv2")
    (broken / "cv2.py").write_text('raise ImportError("libxcb.so.1: cannot open shared object file")\n')
    path = [str(broken), os.path.dirname(os.path.dirname(herdmask.__file__)), os.environ.get("PYTHONPATH", "")]
    done = subprocess.run([sys.executable, "-m", "herdmask", "demo", "--out", str(out), "--preset", "chain",
                           "--workers", "2"], env=dict(os.environ, PYTHONPATH=os.pathsep.join(path)),
                          capture_output=True, text=True, timeout=1200)
    print(done.stdout, done.stderr, sep="\n")  # shown with the output of a failing test that reads the run
    return out, done.returncode


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
