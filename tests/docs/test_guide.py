"""The guide's commands, run as printed, in order, on a generated day of recordings.

The project folder the guide assumes is laid out with the command's synthetic
sample (one camera, two videos) as the day's recordings and its true tracks as
the ground truth. The guide's model options name weights this machine does not
have: they are checked against the command's parser, then left out, so the runs
use the built-in colour-threshold stand-ins, the only models that find animals
in the synthetic sample.
"""

import os
import re
import signal
import subprocess
import sys
from pathlib import Path

import pytest

REPO = Path(__file__).resolve().parents[2]
GUIDE = REPO / "docs" / "guide.md"
MODELS = re.compile(r"^MODELS=\((.*?)\)$", re.S | re.M)


def guide_commands():
    """The guide's bash blocks, in order, as one script."""
    return "\n".join(re.findall(r"```bash\n(.*?)```", GUIDE.read_text(), re.S))


def test_guide_commands_run_as_printed(tmp_path):
    from herdmask.app import ground_truth, samples
    from herdmask.app.cli import build_parser

    script = guide_commands()
    (models,) = MODELS.findall(script)
    build_parser().parse_args(["run", "recordings", "--out", "out", *models.split()])
    script = MODELS.sub("MODELS=()", script)

    rec = samples.make_sample_recording(str(tmp_path / "recordings" / "2024-05-01"), "tiny", sub_dir=".")
    ground_truth.write_sample_ground_truth(rec, str(tmp_path / "ground-truth" / "2024-05-01"))
    bin_dir = tmp_path / "bin"
    bin_dir.mkdir()
    (bin_dir / "herdmask").write_text(f'#!/bin/sh\nexec "{sys.executable}" -m herdmask "$@"\n')
    (bin_dir / "herdmask").chmod(0o755)
    env = dict(os.environ, PATH=f"{bin_dir}:{Path(sys.executable).parent}:{os.environ['PATH']}",
               PYTHONPATH=str(REPO / "python"), MPLBACKEND="Agg")

    # its own session, so that whatever the guide starts in the background goes with it
    proc = subprocess.Popen(["bash", "-euo", "pipefail", "-c", script], cwd=tmp_path, env=env, text=True,
                            stdout=subprocess.PIPE, stderr=subprocess.STDOUT, start_new_session=True)
    try:
        out, _ = proc.communicate(timeout=1500)
    finally:
        try:
            os.killpg(proc.pid, signal.SIGKILL)
        except ProcessLookupError:
            pass
    assert proc.returncode == 0, out[-6000:]
    assert "holds results made with other settings (--time-step" in out  # stopped before --redo, naming it
    for folder in ("out/2024-05-01", "out/cluster"):
        assert (tmp_path / folder / "summary.html").exists()
    assert sorted(os.listdir(tmp_path / "exports" / "2024-05-01-mot")) == ["Camera1.txt"]
    assert re.search(r"^IDF1 \d", out, re.M)
