"""Behaviour measures on trajectories with known answers, the demo against its generator, and the
command's zone-file faults."""

import json

import numpy as np
import pandas as pd
import pytest

pytest.importorskip("movement")

from herdmask import behaviour  # noqa: E402
from herdmask.app import cli  # noqa: E402

FPS = 10


def _centroid(mask):
    """cx, cy and area of a mask's set pixels."""
    ys, xs = np.nonzero(mask)
    return xs.mean(), ys.mean(), len(xs)


def _track(track_id, xs, ys, start="2024-05-01 05:59:00", area=400):
    n = len(xs)
    return pd.DataFrame({"frame": np.arange(1, n + 1), "track_id": track_id, "cx": xs, "cy": ys, "area": area,
                         "time": pd.Timestamp(start) + pd.to_timedelta(np.arange(n) / FPS, unit="s")})


def _row(table, track, kind="all"):
    return table[(table["track_id"] == track) & (table["bin_kind"] == kind)].iloc[0]


def test_straight_walk_then_rest_across_an_hour_and_dawn():
    # 60 s walking at 20 pixels/s, then 30 s still; the clock passes 06:00 (day starts) halfway
    t = np.arange(900) / FPS
    walk = _track(1, np.where(t < 60, 100 + 20 * t, 1300.0), np.full(900, 50.0))
    result = behaviour.behaviour_measures(walk, behaviour.BehaviourSettings(fps=FPS, bin="1min",
                                                                            pixels_per_metre=100))
    whole = _row(result.table, 1)
    assert whole["distance_px"] == pytest.approx(1200, rel=1e-6)
    assert whole["distance_m"] == pytest.approx(12, rel=1e-6)
    assert whole["speed_p95_px_s"] == pytest.approx(20, rel=1e-6)
    assert whole["tracked_s"] == pytest.approx(90) and whole["missing_s"] == 0
    # resting needs 5 s under a tenth of the body size (20 pixels) per second
    assert whole["resting_s"] == pytest.approx(30, abs=0.5) and whole["resting_bouts"] == 1
    assert whole["active_bouts"] == 1
    night, day = _row(result.table, 1, "night"), _row(result.table, 1, "day")
    assert night["tracked_s"] == pytest.approx(60) and day["distance_px"] < 5
    bins = result.table[result.table["bin_kind"] == "bin"]
    assert list(bins["bin_start"].dt.strftime("%H:%M")) == ["05:59", "06:00"]


def test_missing_frames_count_as_missing_and_long_gaps_break_the_distance():
    xs = 100 + 2.0 * np.arange(300)  # 20 pixels/s for 30 s
    track = _track(1, xs, np.zeros(300))
    gone = track.drop(index=range(100, 105)).drop(index=range(200, 250))  # 0.5 s bridged, 5 s not
    settings = behaviour.BehaviourSettings(fps=FPS)
    whole = _row(behaviour.behaviour_measures(gone, settings, frames=track[["frame", "time"]]).table, 1)
    assert whole["missing_s"] == pytest.approx(5.5)
    assert whole["distance_px"] == pytest.approx(2.0 * (299 - 51), rel=1e-6)


def _zone_file(tmp_path, shapes):
    path = tmp_path / "zones.json"
    path.write_text(json.dumps({"shapes": shapes}) if not isinstance(shapes, str) else shapes)
    return path


def test_one_stay_in_a_zone_with_one_exit_and_a_stay_too_short_to_count(tmp_path):
    feeder = {"label": "feeder", "points": [[0, 0], [100, 0], [100, 100], [0, 100]]}
    zones = behaviour.read_zones(_zone_file(tmp_path, [feeder]))
    # 20 s inside, 10 s outside, 1 s back in (shorter than a visit), 10 s outside
    xs = np.concatenate([np.full(200, 50.0), np.full(100, 300.0), np.full(10, 50.0), np.full(100, 300.0)])
    settings = behaviour.BehaviourSettings(fps=FPS, smooth=0)
    whole = _row(behaviour.behaviour_measures(_track(1, xs, np.full(len(xs), 50.0)), settings, zones=zones).table, 1)
    assert whole["zone_feeder_s"] == pytest.approx(20) and whole["zone_feeder_visits"] == 1


def test_two_animals_touching_for_a_known_time():
    # two 10 x 10 squares side by side; for frames 31-50 (2 s) the second moves in to touch the first
    rows, frames = [], []
    for f in range(1, 101):
        a, b = np.zeros((40, 60), bool), np.zeros((40, 60), bool)
        a[10:20, 10:20] = True
        gap = 0 if 31 <= f <= 50 else 5
        b[10:20, 20 + gap:30 + gap] = True
        for track, mask in ((1, a), (2, b)):
            rows.append((f, track, *_centroid(mask)))
        frames.append((f - 1, {"Box0": a, "Box1": b.astype(np.float32)}))  # frame indices from 0, keys as filed
    positions = pd.DataFrame(rows, columns=["frame", "track_id", "cx", "cy", "area"])
    by_key = behaviour.frame_contacts(frames)
    contacts = behaviour.track_contacts(by_key)  # the files' object ids, frames from 1
    result = behaviour.behaviour_measures(positions, behaviour.BehaviourSettings(fps=FPS), contacts=contacts)
    pair = result.pairs[result.pairs["bin_kind"] == "all"].iloc[0]
    assert (pair["track_a"], pair["track_b"], pair["contact_s"], pair["contacts"]) == (1, 2, 2.0, 1)
    assert _row(result.table, 2)["contact_s"] == 2.0
    assert set(by_key["overlap"]) == {0}  # touching, not overlapping


def _rendered_demo_positions(preset, frames):
    """The demo generator's animals drawn as the videos draw them (whole pixels), measured as masks."""
    cv2 = pytest.importorskip("cv2")
    from herdmask.app import samples

    scene = samples._Scene(preset)
    axes = (int(round(scene.a)), int(round(scene.b)))
    rows, true = [], []
    for t in range(1, frames + 1):
        centres, angles = scene.state(float(t))
        true.append(centres)
        masks = []
        for (cx, cy), angle in zip(centres, angles):
            mask = np.zeros((preset.height, preset.crop_width), np.uint8)
            cv2.ellipse(mask, (int(round(cx)), int(round(cy))), axes, float(angle), 0, 360, 1, -1)
            masks.append(mask)
        for k, mask in enumerate(masks):
            rows.append((t, k + 1, *_centroid(mask)))
    return pd.DataFrame(rows, columns=["frame", "track_id", "cx", "cy", "area"]), np.stack(true)


def test_demo_distance_within_five_percent_of_its_generator():
    from herdmask.app import samples

    preset = samples.PRESETS["demo"]
    positions, true = _rendered_demo_positions(preset, 600)
    table = behaviour.behaviour_measures(positions, behaviour.BehaviourSettings(fps=preset.fps)).table
    measured = table[table["bin_kind"] == "all"].sort_values("track_id")["distance_px"].to_numpy()
    truth = np.linalg.norm(np.diff(true, axis=0), axis=2).sum(axis=0)
    assert np.abs(measured / truth - 1).max() < 0.05


def test_demo_run_zone_time_within_five_percent_of_its_generator(tiny_demo):
    from herdmask.app import sample_truth, samples

    out, _ = tiny_demo
    rec = samples.make_sample_recording(out / "recording", "chain")
    comparison, page = sample_truth.measure_demo(str(out), rec)
    assert len(comparison) == 20 and comparison.groupby("camera")["animal"].nunique().tolist() == [10, 10]
    zones = [c[len("true_"):] for c in comparison.columns if c.startswith("true_zone_")]
    for zone in zones:
        assert np.allclose(comparison[zone], comparison[f"true_{zone}"], rtol=0.05)
    assert (comparison[[f"true_{z}" for z in zones]].to_numpy() > 0).sum() >= 8
    # the animal that walks over its neighbour moves farthest, in the run as in truth
    walker = comparison.loc[comparison.groupby("camera")["distance_px"].idxmax()]
    assert (walker["animal"] == 10).all()
    assert "behaviour" in open(page).read() and (out / "behaviour" / "behaviour.parquet").exists()


@pytest.mark.parametrize("content, message", [
    ("{not json", "is not JSON"),
    ([{"label": "feeder", "points": [[0, 0], [5, 5]]}], "a zone needs at least 3"),
    ([{"lable": "feeder", "points": [[0, 0], [5, 0], [5, 5]]}], "unknown field(s) 'lable'"),
    ([{"label": "", "points": [[0, 0], [5, 0], [5, 5]]}], "has no name"),
])
def test_bad_zone_files_give_one_line_and_exit_2(tmp_path, capsys, content, message):
    path = _zone_file(tmp_path, content)
    assert cli.main(["behaviour", str(tmp_path), "--zones", str(path)]) == 2
    err = capsys.readouterr().err.strip()
    assert message in err and "\n" not in err and err.startswith("herdmask behaviour:")
