import matplotlib

matplotlib.use("Agg")


import pytest  # noqa: E402


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
