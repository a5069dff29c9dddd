"""The command's HTML pages: a page per segment, per camera and for the run, and the
pages of sections that review and evaluate write.

Pages are self-contained HTML beside their PNG figures, linked by relative
paths, so the output folder can be moved or served as it is. They read as a
report: sentences and tables, no Python values.
"""

from __future__ import annotations

import dataclasses
import os

from . import figures, html_parts, identity, records, settings, standins, untracked, week, week_pages
from .files import write_atomic, write_text
from .html_parts import a as _a
from .html_parts import e as _e
from .html_parts import figure as _figure
from .html_parts import id_ranges
from .html_parts import write_page
from .runfolder import EVALUATION_PAGE, EVALUATION_TABLE, IDENTITIES, RUN_SUMMARY, SUMMARY_PAGE, TIMING

__all__ = ["id_ranges", "link_figures", "outdated_links", "refresh_quality_section", "report_table_html",
           "rewrite_run_pages",
           "write_link_page", "write_run_pages", "write_summary_page"]

def _write(path, title, body, nav="", banner=""):
    return write_page(path, title, body, nav, banner)


def _status(r):
    cls = "done" if r.status == records.DONE else "not-done"
    return f"<span class='{cls}'>{_e(r.status)}</span>"


def _number(value, missing="–"):
    return missing if value is None or value == "" else _e(value)


def report_table_html(report_path, limit=40):
    import pandas as pd

    if not report_path or not os.path.exists(report_path):
        return "<p>No questions: the tracking report was not needed.</p>"
    df = pd.read_csv(report_path)
    more = f"<p>... {len(df) - limit} more rows in the CSV file.</p>" if len(df) > limit else ""
    return df.head(limit).to_html(index=False, na_rep="", border=0, classes="report") + more


def write_summary_page(path, title, sections, standins_used=False):
    """A page of sections (heading, text lines, {caption: png}, extra html); `standins_used`: the
    results shown were made with the stand-in models."""
    body = []
    for heading, lines, images, extra in sections:
        body.append(f"<h2>{_e(heading)}</h2>")
        body.extend(f"<p>{_e(line)}</p>" for line in lines)
        body.extend(_figure(img, path, caption) for caption, img in images.items())
        if extra:
            body.append(extra)
    return write_page(path, title, "".join(body), banner=standins.banner_html(standins_used))


# ------------------------------------------------------------------ one segment

SEGMENT_PAGE = "segment.html"


def _segment_page(run, record):
    return os.path.join(run.report_dir(record), SEGMENT_PAGE)


def link_figures(report_dir, review, start):
    """The link's figures under its report folder; {caption: path relative to that folder}."""
    fig_dir = os.path.join(report_dir, "figures")
    os.makedirs(fig_dir, exist_ok=True)
    found = {}
    if start.picture is not None:
        path = write_atomic(os.path.join(fig_dir, "start_frame.png"), start.picture.save)
        keys = ", ".join(start.keys)
        if start.matched_from is not None:
            caption = (f"Frame {start.frame}: the previous segment's animals found again with the matcher "
                       f"(from its frame {start.matched_from}), keys {keys}")
        else:
            caption = f"Frame {start.frame}: the start frame found by the search, keys {keys}"
        found[caption] = path
    found.update(figures.save_review_figures(review, fig_dir))
    return {caption: os.path.relpath(p, report_dir) for caption, p in found.items()}


def _ids_text(record):
    return ", ".join(f"{k} = track {record.track_ids[k]}" for k in record.keys if k in record.track_ids)


def write_link_page(run, record, report_dir, review):
    """The segment's page, written into `report_dir` (where the link's report is being made) and
    linking what lies beside it as it will lie in the link's own folders."""
    home = os.path.join(run.out, "reports", record.video, record.name, SEGMENT_PAGE)
    camera_page = run.camera_file(record.camera, ".html")
    nav = f"<nav>{_a(camera_page, home, f'Camera {record.camera}')}</nav>"
    body = [f"<p>Status: {_status(record)}. Tracking started at frame {record.start_frame} "
            f"({_e(record.how_started())}), {record.animals} animals ({_e(_ids_text(record))}), "
            f"{record.frames} frames.</p>"]
    for text in (record.redo_reason and f"Made again: {record.redo_reason}", record.note,
                 record.restart_reason and f"Keys restarted: {record.restart_reason}"):
        if text:
            body.append(f"<p class='note'>{_e(text)}.</p>")
    body.append("<h2>Review</h2>")
    body.append(f"<p>{_e(review.overlap_text())}</p><p>{_e(review.small_area_text())}</p>")
    ann = os.path.join(run.out, "annotations", record.video, record.segment)
    log = run.log_path(record)
    body.append(f"<p>Annotation files: {_a(ann, home, os.path.relpath(ann, run.out))}. "
                f"Log: {_a(log, home, os.path.relpath(log, run.out))}.</p>")
    for caption, rel in record.figures.items():
        cls = "frame" if rel.endswith(("start_frame.png", "first_long_overlap.png")) else ""
        body.append(_figure(os.path.join(os.path.dirname(home), rel), home, caption, cls))
    body.append("<h2>Tracking question report</h2>")
    if review.report_path:
        body.append(f"<p>{_a(os.path.join(os.path.dirname(home), record.report), home, record.report)}</p>")
    body.append(report_table_html(review.report_path))
    return _write(os.path.join(report_dir, SEGMENT_PAGE), f"Camera {record.camera}: {record.video}, {record.segment}",
                  "".join(body), nav, standins.banner_html(standins.made_with_standins(run.settings)))


# ------------------------------------------------------------------ cameras and the run


def _crop_text(info):
    box = info.get("box")
    if info.get("reason"):
        return f"No crop box: {info['reason']}."
    if box is None:
        size = info.get("frame_size")
        return "Frames are not cropped (--no-crop)" + (f"; they are {size[0]} x {size[1]} pixels." if size else ".")
    text = (f"Crop box x1={box[0]}, y1={box[1]}, x2={box[2]}, y2={box[3]} (blue), from the first frame of "
            f"{info.get('source')}")
    size = info.get("frame_size")
    if size and (box[2] > size[0] or box[3] > size[1]):
        text += f" (the frames are {size[0]} x {size[1]} pixels: the crop keeps what lies inside them)"
    orange = info.get("orange")
    if orange:
        text += f"; the orange marker found there is outlined in magenta ({orange[2] - orange[0]} x " \
                f"{orange[3] - orange[1]} pixels)"
    return text + "."


def _camera_page_body(run, camera, chain, outdated, info, page, expected, banner):
    """The camera page's body and the camera's week.CameraTally."""
    body = []
    if info.get("warning"):
        body.append(f"<p class='note'>Warning: {_e(info['warning'])}.</p>")
    sections, tally = week_pages.camera_pages(run, camera, chain, expected, page, banner, _write)
    body.append(sections)
    body.append("<h2>Crop box</h2>")
    if info.get("note"):
        body.append(f"<p>{_e(info['note'][0].upper() + info['note'][1:])}.</p>")
    if info.get("thumbnail") and os.path.exists(info["thumbnail"]):
        body.append(_figure(info["thumbnail"], page, _crop_text(info)))
    else:
        body.append(f"<p>{_e(_crop_text(info))}</p>")
    again = [r for r in chain if outdated.get(r.key)]
    if again:
        listed = "".join(f"<li>{_e(r.describe())}: {_e(outdated[r.key])}</li>" for r in again[:week_pages.LISTED])
        body.append(f"<h2>To be made again</h2><p>{len(again):,} tracked segment(s) are to be made again by the "
                    f"next run:</p><ul>{listed}</ul>")
    return "".join(body), tally


def _across_pens(run, tallies, expected, page):
    """The table of every camera's recording, tracking and animals, with the run's totals."""
    rows = []
    total = week.CameraTally()
    for camera, t in tallies.items():
        animals = f"{t.animals_seen}" + (f" of {expected[camera]}" if expected.get(camera) else "")
        rows.append([_a(run.camera_file(camera, ".html"), page, f"Camera {camera}"), *week_pages.counts_cells(t),
                     _e(animals), f"{len(t.track_ids):,}"])
        for name in ("hours_recorded", "hours_tracked", "links", "restarts", "relinks", "questions"):
            setattr(total, name, getattr(total, name) + getattr(t, name))
        total.by_status.update(t.by_status)
    if len(tallies) > 1:
        rows.append(["<b>All pens</b>", *week_pages.counts_cells(total), "", ""])
    headers = ["Camera", *week_pages.COUNT_HEADERS, "Animals", "Track ids"]
    return (html_parts.table(headers, rows, week_pages.COUNT_HEADERS + ["Animals", "Track ids"])
            + "<p>Animals: the most animals tracked at once in one segment, of those the pen holds. Track ids: the "
              "ids given along the camera's recording; each restart of the keys gives new ones.</p>")


@dataclasses.dataclass
class _Seen:
    """What the summary page keeps of a camera once its pages are written."""

    tally: object
    stretches: list
    outdated: int
    asked: list  # its done links with the most questions


def _next_steps(run, seen, expected, cameras, page):
    items = []
    causes = {}
    for camera, s in seen.items():
        for stretch in s.stretches:
            causes.setdefault(stretch.cause.key, {}).setdefault(camera, []).append(stretch)
    for key, per_camera in sorted(causes.items(), key=lambda kv: -sum(s.links for g in kv[1].values() for s in g)):
        cause = next(iter(per_camera.values()))[0].cause
        where = "; ".join(f"{_a(run.camera_file(c, '.html'), page, f'camera {c}')}: {len(g):,} stretch(es), "
                          f"{week_pages.span_text(sum(s.links for s in g), sum(s.hours for s in g))}"
                          for c, g in per_camera.items())
        items.append(f"<li><b>Not tracked, {_e(cause.title)}</b> ({where}). <i>To change it:</i> "
                     f"{_e(cause.action)}.</li>")
    for camera, s in seen.items():
        want, t = expected.get(camera), s.tally
        if want and t.hours_tracked and t.animals_seen != want:
            items.append(f"<li>Camera {_e(camera)}: up to {t.animals_seen} animals tracked at once, but the pen holds "
                         f"{want}: check its animals (--animals or the lab file).</li>")
    again = sum(s.outdated for s in seen.values())
    if again:
        items.append(f"<li><b>{again:,} tracked segment(s) are to be made again</b> by the next run (their camera "
                     "pages say why).</li>")
    for camera, info in cameras.items():
        if info.get("warning"):
            items.append(f"<li>Camera {_e(camera)}: {_e(info['warning'])} "
                         f"({_a(run.camera_file(camera, '.html'), page, 'camera page')}).</li>")
    asked = sorted((r for s in seen.values() for r in s.asked), key=lambda r: -r.questions)[:_ASKED]
    if asked:
        lines = "".join(f"<li>{_a(os.path.join(run.report_dir(r), 'segment.html'), page, r.describe())}: "
                        f"{r.questions} question(s)</li>" for r in asked)
        items.append(f"<li>The segments with the most questions in their tracking report; review these first:"
                     f"<ul>{lines}</ul></li>")
    if not items:
        items.append("<li>Every segment was tracked, every identity was carried and no report has a question: "
                     "nothing needs a look.</li>")
    return "<ol class='next'>" + "".join(items) + "</ol>"


_ASKED = 5


def _seconds(value):
    return f"{value:.1f} s"


# The run's scores against ground truth and its behaviour measures come later than its pages
# (`herdmask evaluate`, `herdmask behaviour`), so the summary page keeps them in a marked section
# that those commands rewrite in place.
_QUALITY_OPEN, _QUALITY_CLOSE = "<!-- tracking quality -->", "<!-- /tracking quality -->"


def _quality_section(out, page):
    import pandas as pd

    scores = os.path.join(out, EVALUATION_TABLE)
    if not os.path.isfile(scores):
        text = ("<p>Not scored yet. With ground truth for the cameras (MOTChallenge text, one "
                "<code>Camera&lt;N&gt;.txt</code> per camera), <code>herdmask evaluate "
                f"{_e(out)} GROUND_TRUTH</code> scores the run and shows the result here.</p>")
    else:
        overall = pd.read_csv(scores, index_col=0).loc["OVERALL"]
        hota = f"HOTA {overall['HOTA']:.3f}, " if "HOTA" in overall.index else ""
        text = (f"<p>Against ground truth: {hota}IDF1 {overall['IDF1']:.3f}, MOTA {overall['MOTA']:.3f}, "
                f"{int(overall['ID switches'])} identity switch(es), {int(overall['fragmentations'])} "
                f"fragmentation(s) ({_a(os.path.join(out, EVALUATION_PAGE), page, 'scores per camera')}).</p>")
    return f"{_QUALITY_OPEN}<h2>Tracking quality</h2>{text}{_more_pages(out, page)}{_QUALITY_CLOSE}"


def _more_pages(out, page):
    """Where the per-animal measures and the review are, or how to make them."""
    behaviour = os.path.join(out, "behaviour.html")
    if os.path.isfile(behaviour):
        measures = f"{_a(behaviour, page, 'per-animal measures')} (<code>herdmask behaviour</code>)"
        truth = os.path.join(out, "behaviour_truth.html")
        if os.path.isfile(truth):
            measures += f", {_a(truth, page, 'set against the true paths')}"
    else:
        measures = f"per-animal measures: <code>herdmask behaviour {_e(out)}</code>"
    return ("<h2>Measures and review</h2>"
            f"<p>{measures}. To see the tracks and fix an identity swap: <code>herdmask proofread "
            f"{_e(out)}</code>.</p>")


def refresh_quality_section(out):
    """Rewrites the tracking-quality section of the run folder's summary page, when it has one."""
    page = os.path.join(out, SUMMARY_PAGE)
    if not os.path.isfile(page):
        return None
    with open(page, encoding="utf-8") as f:
        text = f.read()
    start, end = text.find(_QUALITY_OPEN), text.find(_QUALITY_CLOSE)
    if start < 0 or end < start:
        return None
    return write_text(page, text[:start] + _quality_section(out, page) + text[end + len(_QUALITY_CLOSE):])


def outdated_links(run, chain, fingerprint):
    """{key: why the done link is to be made again} of a camera's chain."""
    by_key = {r.key: r for r in chain}
    found = {r.key: identity.redo_reason(r, by_key, fingerprint) for r in chain if r.status == records.DONE}
    return {k: v for k, v in found.items() if v}


def write_run_pages(run, cameras, timing, models_description):
    """A page per camera (with a page per day) and the run's summary page, over every link recorded
    in the folder; returns the summary page's path. `cameras` holds each camera's crop result."""
    page = run.path(SUMMARY_PAGE)
    stored = run.settings
    banner = standins.banner_html(standins.made_with_standins(stored))
    expected = {c: int(v["animals"]) for c, v in (stored.get("cameras") or {}).items() if v.get("animals")}
    seen = {}
    for camera in run.cameras():
        # one camera's records at a time: a week of ten pens does not fit in memory at once
        chain = run.read_chain(camera)
        outdated = outdated_links(run, chain, settings.fingerprint(stored, camera))
        cpage = run.camera_file(camera, ".html")
        body, tally = _camera_page_body(run, camera, chain, outdated, cameras.get(camera, {}), cpage,
                                        expected.get(camera), banner)
        _write(cpage, f"Camera {camera}", body, f"<nav>{_a(page, cpage, 'Run summary')}</nav>", banner)
        asked = sorted((r for r in chain if r.status == records.DONE and r.questions), key=lambda r: -r.questions)
        seen[camera] = _Seen(tally, untracked.stretches(chain), len(outdated), asked[:_ASKED])
        del chain
    body = ["<h2>Across pens</h2>", _across_pens(run, {c: s.tally for c, s in seen.items()}, expected, page),
            "<h2>What to look at next</h2>", _next_steps(run, seen, expected, cameras, page),
            "<p>Tables: ", _a(run.path(RUN_SUMMARY), page, RUN_SUMMARY),
            " (one row per segment and its status), ", _a(run.path(IDENTITIES), page, IDENTITIES),
            " (one row per box key per segment, with its track id).</p>",
            _quality_section(run.out, page),
            "<h2>Run</h2>", f"<p>{_e(models_description)}</p>"]
    if timing.get("cluster_wall"):
        body.append(f"<p>Wall time {_seconds(timing['wall'])}, of which {_seconds(timing['cluster_wall'])} on "
                    f"{timing['workers']} worker(s). Worker time: frame extraction {_seconds(timing['extraction'])}, "
                    f"models {_seconds(timing['models'])}, library steps {_seconds(timing['library'])}, figures and "
                    f"pages {_seconds(timing['pages'])}, waiting {_seconds(timing['waiting'])}.</p>")
    else:
        body.append("<p>Every segment was done in an earlier run; nothing ran this time.</p>")
    body.append(_pace_and_disk(timing))
    return _write(page, "herdmask run", "".join(body), banner=banner)


def rewrite_run_pages(run):
    """Writes the run folder's pages again from what it holds (each camera's crop result, the last
    run's timing), so that they show the corrections made since; returns the summary page's path."""
    timing = records.read_json(run.path(TIMING)) or {}
    infos = {camera: records.read_json(run.camera_file(camera, ".json")) or {"camera": camera}
             for camera in run.cameras()}
    return write_run_pages(run, infos, timing, timing.get("models_used", "Models: as the run's log gives them."))


# ------------------------------------------------------------------ pace and disk (timing.json)


def _megabytes(n):
    return f"{n / 1e6:,.1f} MB" if n < 1e9 else f"{n / 1e9:,.2f} GB"


def _pace_and_disk(timing):
    """The measured seconds a tracked frame takes and the disk the folder uses, from timing.json."""
    parts = []
    if timing.get("frames_tracked"):
        skip = timing.get("frame_skip") or 1
        parts.append(f"{timing['frames_tracked']} frames tracked ({'every frame' if skip == 1 else f'one in {skip}'}"
                     f" of the video's), {timing['seconds_per_tracked_frame']:.2f} s of worker time a tracked frame.")
    disk = timing.get("disk")
    if disk:
        parts.append(f"Disk: frames {_megabytes(disk['frames'])}, annotation files "
                     f"{_megabytes(disk['annotations'])}, reports and pages {_megabytes(disk['reports and pages'])}; "
                     f"the folder {_megabytes(disk['total'])}.")
    return f"<p>{_e(' '.join(parts))}</p>" if parts else ""
