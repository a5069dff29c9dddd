"""The run folder on hand-made records: track ids by lineage, stale links, frame numbers along
the recording, outputs swapped in whole, every selection in the index, settings compared by value."""

import argparse
import os
import shutil

import pytest

pytest.importorskip("pandas")

from herdmask.app import export, identity, pages, plan, records, settings  # noqa: E402
from herdmask.app.lab import CameraSetup  # noqa: E402
from herdmask.app.models import ModelSettings  # noqa: E402
from herdmask.app.run import _plan_work, _Summary  # noqa: E402
from run_folders import add_link, add_videos, make_run  # noqa: E402

TWO = {"Box0": 1, "Box1": 2}


def _ids_of(table, video):
    rows = table[table["video"] == video]
    return dict(zip(rows["box_key"], rows["track_id"]))


def test_abc_rerun_keeps_c_on_the_ids_of_the_link_it_was_carried_from(tmp_path):
    # A done; B was not, C carried over it from A; then B restarted in a later run
    run = make_run(tmp_path / "out")
    add_videos(run, 1, [30, 30, 30])
    a = add_link(run, 1, 1, ids=TWO)
    add_link(run, 1, 3, started="carried", ids=TWO, source=a)
    add_link(run, 1, 2, started="restarted", ids=identity.fresh_ids(["Box0", "Box1"], identity.highest_id(
        run.chain("1"))))
    table = identity.track_table(run)
    assert _ids_of(table, "Camera1_2_2024050110" + "0200") == {"Box0": 3, "Box1": 4}
    assert _ids_of(table, "Camera1_3_2024050110" + "0300") == TWO
    mot = export.run_mot(run.out)["Camera1"]
    assert sorted(set(mot[mot["frame"] > 60]["id"])) == [1, 2]
    # nothing is stale: C's source is as C took it
    chain = {r.key: r for r in run.chain("1")}
    assert all(identity.redo_reason(r, chain, "f") == "" for r in chain.values())


def test_a_link_carried_from_a_link_made_again_is_stale(tmp_path):
    run = make_run(tmp_path / "out")
    a = add_link(run, 1, 1, ids=TWO)
    c = add_link(run, 1, 2, started="carried", ids=TWO, source=a)
    add_link(run, 1, 1, ids=TWO, token="remade")
    chain = {r.key: r for r in run.chain("1")}
    assert "was made again since" in identity.redo_reason(chain[c.key], chain, "f")
    outdated = pages.outdated_links(run, run.chain("1"), "f")
    assert list(outdated) == [c.key]
    # a rerun that makes A again makes C again too, saying why
    links = [plan.Link("1", r.video, r.segment, i, r.start_time, r.end_time, "") for i, r in enumerate(run.chain("1"))]
    args = argparse.Namespace(redo=False)
    work = _plan_work(args, run, {"1": links}, {"1": "f"})["1"]
    assert [w.keep is None for w in work] == [False, True]  # A is current again; C follows the old A
    run.write_record(records.LinkRecord(**dict(chain[links[0].key].to_dict(), status="failed", identities=[])))
    work = _plan_work(args, run, {"1": links}, {"1": "f"})["1"]
    assert [w.keep is None for w in work] == [True, True]
    assert "is made again in this run" in work[1].redo_reason


def test_a_failed_middle_link_leaves_the_later_frame_numbers_unchanged(tmp_path):
    run = make_run(tmp_path / "out")
    add_videos(run, 1, [30, 25, 30])
    a = add_link(run, 1, 1, ids=TWO)
    add_link(run, 1, 2, status="failed")
    add_link(run, 1, 3, started="carried", ids=TWO, source=a)
    before = export.run_mot(run.out)["Camera1"]
    assert sorted(set(before["frame"])) == [2, 3, 4, 57, 58, 59]  # 30 + 25 frames before the third video
    add_link(run, 1, 2, started="carried", ids=TWO, source=a)
    after = export.run_mot(run.out)["Camera1"]
    assert sorted(set(after["frame"])) == [2, 3, 4, 32, 33, 34, 57, 58, 59]
    coco = export.run_coco(run.out)["Camera1"]
    assert sorted({im["frame_id"] for im in coco["images"]}) == sorted(set(after["frame"]))
    assert [a["track_id"] for a in coco["annotations"]] == list(after["id"])


def test_two_selections_into_one_folder_export_both(tmp_path):
    run = make_run(tmp_path / "out")
    for camera in (1, 2):  # --camera 1, then --camera 2
        add_videos(run, camera, [30])
        add_link(run, camera, 1, ids=TWO)
    run.forget()
    assert set(export.run_mot(run.out)) == {"Camera1", "Camera2"}
    _Summary(run).write()
    with open(run.path("run_summary.csv")) as f:
        assert [line.split(",")[0] for line in f.read().splitlines()[1:]] == ["1", "2"]
    page = pages.write_run_pages(run, {}, {}, "stand-ins")
    assert "camera_1.html" in open(page).read() and "camera_2.html" in open(page).read()


def test_outputs_made_again_are_the_old_or_the_new_never_neither(tmp_path):
    run = make_run(tmp_path / "out")
    old = add_link(run, 1, 1, ids=TWO)
    home = run.annotation_dir(old)
    # a making interrupted before its record: the old outputs stand, the staged ones go next time
    new = records.LinkRecord(**dict(old.to_dict(), token="new"))
    staged, _ = run.staged_dirs(new)
    open(os.path.join(staged, "output_pp_0.json"), "w").write("{}")
    assert run.annotation_dir(run.read_record(old.video, old.segment)) == home
    # the record written, the swap interrupted after the old folder moved away: the new ones are found
    from herdmask.app import runfolder

    records.write_record(run.record_path(new.video, new.segment), new)
    os.rename(home, home + ".old")
    current = run.read_record(new.video, new.segment)
    assert run.annotation_dir(current) == staged and sorted(os.listdir(staged)) == [".herdmask-token", "output_pp_0.json"]
    # the next making finishes that swap first: nothing of the committed making is lost
    runfolder._settle(home, current.token)
    assert sorted(os.listdir(home)) == [".herdmask-token", "output_pp_0.json"] and not os.path.exists(home + ".old")
    # a making that ends not done leaves the last done making's outputs where they are
    run.write_record(records.LinkRecord(**dict(new.to_dict(), token="failed", status="failed")))
    assert sorted(os.listdir(home)) == [".herdmask-token", "output_pp_0.json"]


def _args(**changes):
    values = dict(time_step=0.1, step=10, small_area=100.0, max_gap=60.0, match_frames=3, relink_cost=0.6,
                  relink_margin=0.2, frame_skip=1, resize=None)
    values.update(changes)
    return argparse.Namespace(**values)


def test_settings_typed_otherwise_or_moved_files_are_the_same_settings(tmp_path):
    pen = tmp_path / "pen.json"
    pen.write_text('{"shapes": [{"points": [[0, 0], [9, 0], [9, 9]]}]}')
    base = settings.run_settings(_args(), ModelSettings(), {"1": CameraSetup("1", str(pen))})
    moved = tmp_path / "moved"
    moved.mkdir()
    shutil.copy(pen, moved / "pen.json")
    same = settings.run_settings(_args(small_area=100), ModelSettings(),
                                 {"1": CameraSetup("1", str(moved / "pen.json"), animals=10.0)})
    assert settings.fingerprint(same, "1") == settings.fingerprint(base, "1") and settings.differences(base, same) == []
    other = settings.run_settings(_args(step=5), ModelSettings(box_threshold=0.3), {"1": CameraSetup("1", str(pen))})
    assert settings.differences(base, other) == ["--step: 10 before, 5 now",
                                                 "the model options: box_threshold 0.25, detector True, text_threshold "
                                                 "0.25 before, box_threshold 0.3, detector True, text_threshold 0.25 now"]


def test_each_camera_keeps_its_own_pen_crop_and_animals_in_one_folder(tmp_path):
    pens = []
    for n in (1, 2):
        pens.append(tmp_path / f"pen{n}.json")
        pens[-1].write_text('{"shapes": [{"points": [[0, 0], [9, 0], [9, %d]]}]}' % (9 * n))
    first = settings.run_settings(_args(), ModelSettings(), {"1": CameraSetup("1", str(pens[0]))})
    # a second selection into the folder, camera 2 with its own pen: nothing differs, camera 1 stays
    second = settings.run_settings(_args(), ModelSettings(), {"2": CameraSetup("2", str(pens[1]), (0, 0, 5, 5), 8)})
    assert settings.differences(first, second) == []
    stored = settings.merged(first, second)
    assert set(stored["cameras"]) == {"1", "2"}
    assert settings.fingerprint(stored, "1") == settings.fingerprint(first, "1")
    assert settings.extraction_key(stored, "1") != settings.extraction_key(stored, "2")  # crops differ
    again = settings.run_settings(_args(), ModelSettings(), {"1": CameraSetup("1", str(pens[1]), animals=9)})
    assert settings.differences(stored, again) == [
        "camera 1: the animals (--animals or the lab file): 10 before, 9 now",
        f"camera 1: the pen polygon file's content: {stored['cameras']['1']['pen_polygon']} before, "
        f"{again['cameras']['1']['pen_polygon']} now"]
