"""The run folder on hand-made records: track ids by lineage, stale links, frame numbers along
the recording, outputs swapped in whole, every selection in the index, settings compared by value."""

import argparse
import os
import shutil

import pytest

pytest.importorskip("pandas")

from herdmask.app import export, identity, pages, plan, records, settings  # noqa: E402
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
    work = _plan_work(args, run, {"1": links}, "f")["1"]
    assert [w.keep is None for w in work] == [False, True]  # A is current again; C follows the old A
    run.write_record(records.LinkRecord(**dict(chain[links[0].key].to_dict(), status="failed", identities=[])))
    work = _plan_work(args, run, {"1": links}, "f")["1"]
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
    page = pages.write_run_pages(run, {}, identity.track_table(run), {}, "stand-ins", "f")
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
    values = dict(no_crop=False, crop_box=None, time_step=0.1, animals=10, step=10, small_area=100.0, max_gap=60.0,
                  match_frames=3, relink_cost=0.6, relink_margin=0.2, frame_skip=1, resize=None)
    values.update(changes)
    return argparse.Namespace(**values)


def test_settings_typed_otherwise_or_moved_files_are_the_same_settings(tmp_path):
    pen = tmp_path / "pen.json"
    pen.write_text('{"shapes": [{"points": [[0, 0], [9, 0], [9, 9]]}]}')
    base = settings.run_settings(_args(), ModelSettings(), str(pen))
    moved = tmp_path / "moved"
    moved.mkdir()
    shutil.copy(pen, moved / "pen.json")
    same = settings.run_settings(_args(small_area=100, animals=10.0), ModelSettings(), str(moved / "pen.json"))
    assert settings.fingerprint(same) == settings.fingerprint(base) and settings.differences(base, same) == []
    other = settings.run_settings(_args(step=5), ModelSettings(box_threshold=0.3), str(pen))
    assert settings.differences(base, other) == ["--step: 10 before, 5 now",
                                                 "the model options: box_threshold 0.25, detector True, text_threshold "
                                                 "0.25 before, box_threshold 0.3, detector True, text_threshold 0.25 now"]
