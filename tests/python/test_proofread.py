"""Corrections to track ids, the queue of doubtful moments, and what the proofreading server refuses."""

import http.client
import json
import os
import threading
import urllib.parse

import numpy as np
import pytest

from herdmask.app import corrections as corr
from herdmask.app.proofread import synthetic
from herdmask.app.proofread.queue import Queue
from herdmask.app.proofread.source import RunView


def C(kind, link, frame, track, other=None, end=None, id="x"):
    return corr.Correction(id=id, kind=kind, camera="1", link=link, frame=frame, track=track, other=other,
                           end_link=end and end[0], end_frame=end and end[1])


def test_corrections_apply_from_their_frame_in_the_order_made():
    positions = {"a": 0, "b": 1}
    # two frames of link a, one of link b; ids 1 and 2 in each
    position = np.array([0, 0, 0, 0, 1, 1])
    frame = np.array([0, 0, 5, 5, 0, 0])
    ids = np.array([1, 2, 1, 2, 1, 2])
    swap = C("swap", "a", 5, 1, other=2)
    got, wrong = corr.apply_corrections(ids, position, frame, [swap], positions)
    assert got.tolist() == [1, 2, 2, 1, 2, 1] and not wrong.any()
    # a new id given after the swap follows the id as shown then
    new = C("new-id", "b", 0, 1, other=7)
    got, _ = corr.apply_corrections(ids, position, frame, [swap, new], positions)
    assert got.tolist() == [1, 2, 2, 1, 2, 7]
    # wrong over a range ending inside link a; a correction on an unknown link changes nothing
    bad = C("wrong-mask", "a", 0, 2, end=("a", 4))
    got, wrong = corr.apply_corrections(ids, position, frame, [bad, C("swap", "gone", 0, 1, other=2)], positions)
    assert got.tolist() == ids.tolist() and wrong.tolist() == [False, True, False, False, False, False]


def test_corrections_match_a_row_by_row_reading():
    rng = np.random.default_rng(3)
    positions = {f"l{p}": p for p in range(4)}
    n = 400
    position, frame, ids = rng.integers(0, 4, n), rng.integers(0, 6, n), rng.integers(1, 6, n)
    made = []
    for i in range(12):
        kind = ["swap", "new-id", "wrong-mask"][i % 3]
        p, f = int(rng.integers(0, 4)), int(rng.integers(0, 6))
        end = (f"l{min(3, p + 1)}", int(rng.integers(0, 6))) if kind == "wrong-mask" else None
        made.append(C(kind, f"l{p}", f, int(rng.integers(1, 6)), other=int(rng.integers(6, 9)) if kind == "new-id"
                      else int(rng.integers(1, 6)) % 5 + 1, end=end))
    got, wrong = corr.apply_corrections(ids, position, frame, made, positions)
    for r in range(n):
        track, gone, at = int(ids[r]), False, (int(position[r]), int(frame[r]))
        for c in made:
            if gone or at < (positions[c.link], c.frame):
                continue
            if c.kind == "swap" and track in (c.track, c.other):
                track = c.other if track == c.track else c.track
            elif c.kind == "new-id" and track == c.track:
                track = c.other
            elif c.kind == "wrong-mask" and track == c.track and at <= (positions[c.end_link], c.end_frame):
                gone = True
        assert (gone, track if not gone else None) == (bool(wrong[r]), None if wrong[r] else int(got[r]))


def test_a_rerun_makes_corrections_of_redone_or_shortened_links_stale():
    made = [C("swap", "a", 3, 1, other=2, id="kept"), C("swap", "b", 3, 1, other=2, id="redone"),
            C("new-id", "c", 0, 1, other=9, id="gone"), C("wrong-mask", "a", 0, 1, end=("a", 40), id="short")]
    links = {("1", "a"): (10, ""), ("1", "b"): (10, "2025-01-01T00:00:00")}
    assert [(c.id, why) for c, why in corr.stale_corrections(made, links)] == [
        ("redone", "b was tracked again since"), ("gone", "camera 1 has no tracked link c now"),
        ("short", "a has 10 frames now, none numbered 40")]


@pytest.fixture
def swapped_run(tmp_path):
    """A chain of four links of three animals, ids 1 and 3 swapped from link 2 frame 6 on."""
    out = synthetic.make_run_folder(tmp_path / "run", links=4, frames=12, animals=3)
    view = RunView.open(out)
    link = view.cameras["1"][2]
    synthetic.swap_ids(out, link.video, link.segment, 6, "Box0", "Box2")
    return out, link


def test_the_queue_puts_a_swap_first_with_both_animals(swapped_run):
    out, link = swapped_run
    queue = Queue(RunView.open(out))
    queue.scan()
    first = queue.page(0, 5)["items"][0]
    assert (first["link"], first["frame"], sorted(first["swap"])) == (link.key, 6, ["Box0", "Box2"])
    assert any("same frame" in r for r in first["reasons"])
    # the run's own signals are there before any track is read
    assert Queue(RunView.open(out)).page(0, 10)["total"] == 3  # the carried links' first frames


# ------------------------------------------------------------------ the server


@pytest.fixture
def server(swapped_run, tmp_path):
    from herdmask.app.proofread import open_server

    out, link = swapped_run
    address, uv, thread, proofread = open_server(out)
    parts = urllib.parse.urlsplit(address)
    yield parts.port, proofread.token, out, link
    uv.should_exit = True
    thread.join(5)


def _request(port, path, token=None, method="GET", body=None, headers=None, host=None):
    conn = http.client.HTTPConnection("127.0.0.1", port, timeout=10)
    sent = {"Host": host or f"127.0.0.1:{port}", **(headers or {})}
    if token:
        sent["X-Herdmask-Token"] = token
    conn.putrequest(method, path, skip_host=True, skip_accept_encoding=True)  # the path goes as written
    for k, v in sent.items():
        conn.putheader(k, v)
    data = json.dumps(body).encode() if isinstance(body, dict) else (body or b"")
    conn.putheader("Content-Length", str(len(data)))
    conn.endheaders(data)
    response = conn.getresponse()
    return response.status, response.read()


def test_the_server_refuses_requests_without_the_token_or_outside_the_run_folder(server, tmp_path):
    port, token, out, _ = server
    secret = tmp_path / "secret.txt"
    secret.write_text("not for the page")
    os.symlink(secret, os.path.join(out, "out.txt"))
    assert _request(port, "/files/settings.json", token)[0] == 200
    assert _request(port, f"/api/queue?token={token}")[0] == 200
    refused = [("/files/settings.json", None, None), ("/api/queue?token=wrong", None, None),
               ("/files/settings.json", token, "evil.example:80")]
    for path in ["/files/../secret.txt", "/files/%2e%2e/secret.txt", "/files/annotations/..%2f..%2fsecret.txt",
                 "/files/%252e%252e/secret.txt", "/files//etc/hostname", "/files/out.txt", "/files/.herdmask-run.lock"]:
        refused.append((path, token, None))
    for path, given, host in refused:
        status, body = _request(port, path, given, host=host)
        assert status in (401, 403), (path, status)
        assert b"not for the page" not in body
    # a write needs the token in its header, not only the cookie the page sets
    status, _ = _request(port, "/api/corrections", None, "POST", {"kind": "undo"},
                         headers={"Cookie": f"herdmask=x; token={token}"})
    assert status == 403


def test_malformed_corrections_are_refused_and_change_nothing(server):
    port, token, out, link = server
    good = {"kind": "swap", "camera": "1", "link": link.key, "frame": 6, "track": 1, "other": 3}
    cases = [(b"{not json", "not JSON"), ({**good, "kind": "merge"}, "unknown kind"),
             ({**good, "link": "nowhere/0min"}, "no link"), ({**good, "frame": 12}, "frames 0 to 11"),
             ({**good, "track": 42}, "no animal has id 42"), ({**good, "other": 1}, "two different ids"),
             ({**good, "frame": "6"}, "whole number"), ({"kind": "undo", "undoes": "nothing"}, "no correction")]
    for body, said in cases:
        status, text = _request(port, "/api/corrections", token, "POST", body)
        assert status == 400 and said in json.loads(text)["error"], (body, text)
    assert not os.path.exists(os.path.join(out, corr.CORRECTIONS))


def test_two_writers_at_once_keep_every_correction(server):
    port, token, out, link = server
    body = {"kind": "swap", "camera": "1", "link": link.key, "frame": 0, "track": 1, "other": 2}
    statuses = []

    def write():
        for _ in range(5):
            statuses.append(_request(port, "/api/corrections", token, "POST", body)[0])

    writers = [threading.Thread(target=write) for _ in range(2)]
    for w in writers:
        w.start()
    for w in writers:
        w.join()
    assert statuses == [200] * 10
    entries = corr.read_entries(out)
    assert len(entries) == 10 and len({e["id"] for e in entries}) == 10
    # undo takes the last one back; the file keeps both lines
    status, _ = _request(port, "/api/corrections", token, "POST", {"kind": "undo", "undoes": entries[-1]["id"]})
    assert status == 200 and len(corr.effective_corrections(corr.read_entries(out))) == 9


def test_identities_corrected_and_the_mot_export_agree_after_corrections(server):
    import pandas as pd

    from herdmask.app import export, identity
    from herdmask.app.runfolder import RunFolder

    port, token, out, link = server
    for body in ({"kind": "swap", "camera": "1", "link": link.key, "frame": 6, "track": 1, "other": 3},
                 {"kind": "wrong-mask", "camera": "1", "link": link.key, "frame": 2, "track": 2, "end_link": link.key,
                  "end_frame": 3}):
        assert _request(port, "/api/corrections", token, "POST", body)[0] == 200
    # the append path wrote the file anew: Box0's id splits at the swap's frame and follows it down the chain
    table = pd.read_csv(os.path.join(out, "identities_corrected.csv"))
    chain = RunView.open(out).cameras["1"]
    box0 = table[table["box_key"] == "Box0"]
    assert box0[["segment", "first_frame", "last_frame", "track_id"]].values.tolist() == [
        [lk.segment, 0, 11, 1] for lk in chain[:2]] + [
        [link.segment, 0, 5, 1], [link.segment, 6, 11, 3], [chain[3].segment, 0, 11, 3]]
    ids = identity.track_map(RunFolder.open(out), "1")
    assert (ids.track_id(link.record, "Box0", 6), ids.track_id(link.record, "Box1", 2)) == (3, None)
    # every (frame number, id) the table gives a kept mask is in the export, and nothing else
    run = RunFolder.open(out)
    numbers = {lk.key: run.sequence_frames(lk.record) for lk in chain}
    expected = {(int(numbers[f"{r.video}/{r.segment}"][f]), r.track_id) for r in table.itertuples() if not r.wrong
                for f in range(r.first_frame, r.last_frame + 1)}
    mot = export.run_mot(out)["Camera1"]
    assert set(zip(mot["frame"].tolist(), mot["id"].tolist())) == expected and len(mot) == len(expected)


def test_rendering_only_what_changed_redraws_links_after_a_correction(tmp_path):
    from herdmask.app import render

    out = synthetic.make_run_folder(tmp_path / "run", links=2, frames=4, animals=2)

    def rendered():
        return [link.key for link, path, _ in render.render_run(out, changed_only=True) if path]

    assert len(rendered()) == 2 and rendered() == []
    link = RunView.open(out).cameras["1"][1]
    corr.append_correction(out, {"kind": "swap"}, lambda req, made: {
        "kind": "swap", "camera": "1", "link": link.key, "frame": 1, "track": 1, "other": 2, "stamp": link.stamp})
    assert len(rendered()) == 2


def test_pages_show_the_ids_after_a_new_id_correction(server):
    from herdmask.app import identity, pages, week
    from herdmask.app.runfolder import RunFolder

    port, token, out, link = server
    status, body = _request(port, "/api/corrections", token, "POST",
                            {"kind": "new-id", "camera": "1", "link": link.key, "frame": 0, "track": 2})
    assert status == 200
    given = json.loads(body)["stored"]["other"]
    run = RunFolder.open(out)
    chain = run.read_chain("1")
    columns = week.ChainTable(chain, identity.corrected_ids_by_link(identity.track_map(run, "1")))
    assert [columns.ids_by_key[r.key] for r in chain] == [[1, 2, 3]] * 2 + [sorted([1, 3, given])] * 2
    pages.rewrite_run_pages(run)
    camera_page = open(run.camera_file("1", ".html")).read()
    assert f"{len({1, 2, 3, given})} track ids" in camera_page


def test_the_first_queue_page_loads_no_table_package_extension_or_other_command(tmp_path):
    # what keeps `herdmask proofread`'s first page quick from a cold start
    import subprocess
    import sys

    out = synthetic.make_run_folder(tmp_path / "run", links=2, frames=4, animals=2)
    unwanted = ["pandas", "PIL", "herdmask._core", "herdmask.app.models", "herdmask.app.samples",
                "herdmask.app.behaviour", "herdmask.app.init"]
    code = ("import sys; from herdmask.app import cli; cli.build_parser('proofread'); "
            "from herdmask.app.proofread.server import ProofreadServer; "
            f"assert ProofreadServer({str(out)!r}).queue.page(0, 10)['links'] == 2; "
            f"print([m for m in {unwanted!r} if m in sys.modules])")
    done = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True, check=True)
    assert done.stdout.strip() == "[]"
