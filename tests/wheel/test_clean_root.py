"""The wheel in a minimal Debian root that holds only Python, venv and pip.

The wheel and its `app` and `demo` extras are installed into a fresh virtual
environment there, from the wheel file and the Python package registry (torch
from this machine's CPU build on disk: an unpinned torch from the registry is a
CUDA build of several GB). `herdmask demo` must run to its score, and every
library that any of its processes maps must come from the installed wheels or
from the root as it was made: nothing of the building machine leaks in.
"""

import glob
import json
import os
import re
import shutil
import subprocess
import time
from pathlib import Path

import pytest

REPO = Path(__file__).resolve().parents[2]
CACHE = Path(os.environ.get("HERDMASK_CACHE", Path.home() / ".cache" / "herdmask"))
VENV = "/opt/venv"
# The wheel keeps the libraries it links; a full OpenCV or FFmpeg would take it far past this.
MAX_WHEEL_MIB = 40


def _one(pattern):
    found = sorted(glob.glob(pattern))
    if len(found) != 1:
        pytest.fail(f"expected one file {pattern}, found {found}")
    return found[0]


def _inside(root, script, timeout):
    """Runs `script` with sh in `root`, with /proc, /dev and the pip cache mounted for this call only."""
    pip_cache = CACHE / "clean-root-pip"
    pip_cache.mkdir(parents=True, exist_ok=True)
    (root / "root/.cache/pip").mkdir(parents=True, exist_ok=True)
    mounts = (f"mount -t proc proc {root}/proc && mount --rbind /dev {root}/dev && "
              f"mount --bind {pip_cache} {root}/root/.cache/pip && ")
    env = ("env -i PATH=/usr/local/bin:/usr/bin:/bin HOME=/root LANG=C.UTF-8 PIP_CERT=/etc/host-ca.crt "
           "PIP_DISABLE_PIP_VERSION_CHECK=1 PIP_DEFAULT_TIMEOUT=180")
    command = mounts + f"exec chroot {root} {env} sh -ec \"$0\""
    done = subprocess.run(["unshare", "--mount", "--fork", "--propagation", "private", "sh", "-ec", command, script],
                          capture_output=True, text=True, timeout=timeout)
    assert done.returncode == 0, f"{script}\n{done.stdout[-4000:]}\n{done.stderr[-4000:]}"
    return done.stdout + done.stderr


@pytest.fixture(scope="module")
def root():
    if os.geteuid() != 0:
        pytest.skip("making and entering a Debian root needs root")
    base = Path(subprocess.run([str(REPO / "scripts/clean_root.sh"), str(CACHE)], check=True, capture_output=True,
                               text=True).stdout.strip())
    work = REPO / "build" / "clean-root"
    shutil.rmtree(work, ignore_errors=True)
    subprocess.run(["cp", "-a", str(base), str(work)], check=True)
    for name in ("resolv.conf", "hosts"):
        shutil.copy(f"/etc/{name}", work / "etc" / name)
    shutil.copy("/etc/ssl/certs/ca-certificates.crt", work / "etc/host-ca.crt")
    (work / "wheels").mkdir()
    yield base, work
    shutil.rmtree(work, ignore_errors=True)


def test_demo_runs_to_its_score_on_the_wheel_alone(root, capsys):
    base, work = root
    wheel = Path(_one(str(REPO / "dist" / "herdmask-*.whl")))
    torch = Path(_one("/opt/wheels/torch-2.13.0+cpu-*.whl"))
    # glibc 2.34 systems (RHEL 9 and its kin) install it: no call asks for a newer symbol version
    tag = re.search(r"-manylinux_2_(\d+)_x86_64\.whl$", wheel.name)
    assert tag and int(tag.group(1)) <= 34, wheel.name
    assert wheel.stat().st_size < MAX_WHEEL_MIB * 2**20
    for path in (wheel, torch, Path(__file__).with_name("maps_probe.py")):
        shutil.copy(path, work / "wheels" / path.name)

    times = {}
    start = time.monotonic()
    _inside(work, f"python3 -m venv {VENV} && {VENV}/bin/pip install -q /wheels/{torch.name}", 900)
    times["venv and torch"] = time.monotonic() - start
    start = time.monotonic()
    # as the docs say, nothing more: the GUI build of OpenCV-Python that trackeval and movement bring
    # does not load here (no X11 libraries), and nothing on the demo's way imports it
    _inside(work, f"{VENV}/bin/pip install -q '/wheels/{wheel.name}[app,demo]'", 900)
    times["herdmask[app,demo]"] = time.monotonic() - start
    start = time.monotonic()
    # an internal error's traceback goes to a log, shown with the output
    out = _inside(work, f"cd /tmp && {VENV}/bin/python /wheels/maps_probe.py /tmp/maps.json "
                        f"{VENV}/bin/herdmask demo --out /tmp/demo; cat /tmp/demo/logs/herdmask.log 2>/dev/null || true",
                  1800)
    times["herdmask demo"] = time.monotonic() - start
    with capsys.disabled():
        print("\nclean root: " + ", ".join(f"{k} {v:.0f} s" for k, v in times.items()) +
              f"; wheel {wheel.stat().st_size / 2**20:.1f} MiB")

    probe = json.loads((work / "tmp/maps.json").read_text())
    assert probe["returncode"] == 0, out[-4000:]
    assert re.search(r"^Against the true tracks: IDF1 ", out, re.M), out[-4000:]

    site = f"{VENV}/lib/python3.11/site-packages/"
    libraries = [f.removesuffix(" (deleted)") for f in probe["files"] if re.search(r"\.so(\.|$)", f)]
    ours = [f for f in libraries if f.startswith(site + "herdmask")]
    assert any("/herdmask/_core" in f for f in ours), "the extension was never loaded"
    assert any("/herdmask.libs/libavcodec" in f for f in ours) and any("/herdmask.libs/libgeos" in f for f in ours)
    # Anything else comes from a wheel the extras installed, or was in the root as debootstrap made it.
    strays = [f for f in libraries if not f.startswith(site) and not (base / f.lstrip("/")).exists()]
    assert not strays, strays
