"""The command's HTML pages: a page per segment, per camera and for the run, and the
pages of sections that review and evaluate write.

Pages are self-contained HTML beside their PNG figures, linked by relative
paths, so the output folder can be moved or served as it is. They read as a
report: sentences and tables, no Python values.
"""

from __future__ import annotations

import html
import os

from . import figures, identity, records
from .files import write_atomic, write_text
from .runfolder import EVALUATION_PAGE, EVALUATION_TABLE, IDENTITIES, RUN_SUMMARY, SUMMARY_PAGE

__all__ = ["id_ranges", "link_figures", "outdated_links", "refresh_quality_section", "report_table_html",
           "write_link_page", "write_run_pages", "write_summary_page"]

_STYLE = """
body{font-family:sans-serif;max-width:1100px;margin:2em auto;padding:0 1em;color:#222;line-height:1.4}
img{max-width:100%;border:1px solid #ccc} img.frame{min-width:480px;image-rendering:pixelated}
table{border-collapse:collapse;font-size:13px;margin:.5em 0} td,th{border:1px solid #ddd;padding:3px 7px;
text-align:left;vertical-align:top} th{background:#f1f3f5}
.done{color:#2b8a3e;font-weight:bold} .not-done{color:#c92a2a;font-weight:bold}
.note{background:#fff4d6;padding:.5em .8em;border-left:4px solid #f59f00}
.next li{margin:.3em 0} figcaption{font-size:13px;color:#555;margin-bottom:1em} nav{font-size:14px}
"""


def _e(text):
    return html.escape(str(text))


def _rel(target, page):
    return html.escape(os.path.relpath(target, os.path.dirname(os.path.abspath(page))))


def _a(target, page, text):
    return f"<a href='{_rel(target, page)}'>{_e(text)}</a>"


def _figure(img, page, caption, cls=""):
    klass = f" class='{cls}'" if cls else ""
    return (f"<figure><img{klass} src='{_rel(img, page)}' alt='{_e(caption)}'>"
            f"<figcaption>{_e(caption)}</figcaption></figure>")


def _write(path, title, body, nav=""):
    return write_text(path, "<!doctype html><html><head><meta charset='utf-8'>"
                            f"<title>{_e(title)}</title><style>{_STYLE}</style></head><body>"
                            f"{nav}<h1>{_e(title)}</h1>{body}</body></html>")


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


def write_summary_page(path, title, sections):
    """A page of sections (heading, text lines, {caption: png}, extra html)."""
    body = []
    for heading, lines, images, extra in sections:
        body.append(f"<h2>{_e(heading)}</h2>")
        body.extend(f"<p>{_e(line)}</p>" for line in lines)
        body.extend(_figure(img, path, caption) for caption, img in images.items())
        if extra:
            body.append(extra)
    return _write(path, title, "".join(body))


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
                  "".join(body), nav)


# ------------------------------------------------------------------ cameras and the run


def _time_of(iso):
    return iso[11:19] if iso and len(iso) >= 19 else (iso or "")


def _how(r):
    how = r.started or "–"
    if r.carried_from:
        how += f" from {r.carried_from.split('/')[0]}"
    return how


def _link_rows(run, chain, outdated, page):
    rows = ["<table><tr><th>Recording time</th><th>Video</th><th>Segment</th><th>Status</th><th>Started</th>"
            "<th>Track ids</th><th>Start frame</th><th>Questions</th><th>Reason or note</th><th>Pages</th></tr>"]
    for r in chain:
        done = r.status == records.DONE
        notes = [outdated.get(r.key) and f"to be made again: {outdated[r.key]}"]
        if done:
            notes += [r.redo_reason and f"made again: {r.redo_reason}", r.note,
                      r.restart_reason and f"keys restarted: {r.restart_reason}"]
        else:
            notes.insert(0, r.reason)
        links_html = ""
        if done:
            links_html = _a(_segment_page(run, r), page, "segment page")
            if r.report:
                links_html += ", " + _a(os.path.join(run.report_dir(r), r.report), page, "report")
        links_html += (", " if links_html else "") + _a(run.log_path(r), page, "log")
        ids = sorted(r.track_ids.values())
        rows.append(f"<tr><td>{_e(_time_of(r.start_time))}</td><td>{_e(r.video)}</td>"
                    f"<td>{_e(r.segment or 'whole video')}</td><td>{_status(r)}</td><td>{_e(_how(r))}</td>"
                    f"<td>{_e(id_ranges(ids)) if done else '–'}</td>"
                    f"<td>{_number(r.start_frame if done else None)}</td>"
                    f"<td>{_number(r.questions if done else None)}</td><td>{_e('; '.join(filter(None, notes)))}</td>"
                    f"<td>{links_html}</td></tr>")
    rows.append("</table>")
    return "".join(rows)


def id_ranges(ids):
    """1-10, 14 for [1, ..., 10, 14]."""
    parts, i = [], 0
    while i < len(ids):
        j = i
        while j + 1 < len(ids) and ids[j + 1] == ids[j] + 1:
            j += 1
        parts.append(str(ids[i]) if i == j else f"{ids[i]}-{ids[j]}")
        i = j + 1
    return ", ".join(parts)


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


def _camera_page_body(run, camera, chain, outdated, info, page):
    body = []
    if info.get("warning"):
        body.append(f"<p class='note'>Warning: {_e(info['warning'])}.</p>")
    body.append("<h2>Crop box</h2>")
    if info.get("note"):
        body.append(f"<p>{_e(info['note'][0].upper() + info['note'][1:])}.</p>")
    if info.get("thumbnail") and os.path.exists(info["thumbnail"]):
        body.append(_figure(info["thumbnail"], page, _crop_text(info)))
    else:
        body.append(f"<p>{_e(_crop_text(info))}</p>")
    body.append("<h2>Identities</h2>")
    if any(r.status == records.DONE for r in chain):
        img = figures.identity_timeline(chain, run.camera_file(camera, "_identities.png"),
                                        f"Track ids of camera {camera} over the recording")
        body.append(_figure(img, page, "Each bar is one animal (track id) tracked in one segment; an id keeps "
                                       "its animal for as long as the chain carries or re-links it."))
    else:
        body.append("<p>No segment of this camera was tracked.</p>")
    for r in chain:
        if r.status != records.DONE:
            continue
        if r.started == records.RESTARTED:
            body.append(f"<p class='note'>Keys restarted at {_e(r.video)} {_e(r.segment)}: "
                        f"{_e(r.restart_reason)}. Its animals have new track ids.</p>")
        elif r.started == records.RELINKED:
            body.append(f"<p class='note'>Re-linked at {_e(r.video)} {_e(r.segment)}: the matcher could not "
                        f"carry the animals ({_e(r.restart_reason)}), but the animals found anew matched those of "
                        f"{_e(r.carried_from)} by position and kept their track ids.</p>")
    body.append("<h2>Segments</h2>")
    body.append(_link_rows(run, chain, outdated, page))
    return "".join(body)


def _next_steps(run, chains, outdated, cameras, page):
    ended = [r for chain in chains.values() for r in chain]
    tracked = [r for r in ended if r.status == records.DONE]
    not_done = [r for r in ended if r.status != records.DONE]
    items = []
    if not_done:
        shown = not_done[:8]
        lines = "".join(f"<li>{_e(r.describe())}: {_e(r.status)}, {_e(r.reason)} "
                        f"({_a(run.log_path(r), page, 'log')})</li>" for r in shown)
        more = f"<li>... and {len(not_done) - len(shown)} more in {RUN_SUMMARY}</li>" if len(not_done) > 8 else ""
        items.append(f"<li><b>{len(not_done)} segment(s) were not tracked.</b> Rerun the same command to try "
                     f"them again once the cause is fixed:<ul>{lines}{more}</ul></li>")
    again = [r for r in tracked if outdated.get(r.key)]
    if again:
        lines = "".join(f"<li>{_e(r.describe())}: {_e(outdated[r.key])}</li>" for r in again[:8])
        items.append(f"<li><b>{len(again)} segment(s) are to be made again</b> by the next run:<ul>{lines}</ul></li>")
    for camera, info in cameras.items():
        if info.get("warning"):
            items.append(f"<li>Camera {_e(camera)}: {_e(info['warning'])} "
                         f"({_a(run.camera_file(camera, '.html'), page, 'camera page')}).</li>")
    for r in tracked:
        if r.note:
            items.append(f"<li>{_a(_segment_page(run, r), page, r.describe())}: {_e(r.note)}.</li>")
    for r in tracked:
        if r.started == records.RESTARTED:
            items.append(f"<li>{_e(r.describe())}: the keys restarted, so its animals have new track ids "
                         f"({_e(r.restart_reason)}). {_a(_segment_page(run, r), page, 'Check its start frame')}.</li>")
    asked = sorted(((r.questions or 0, i, r) for i, r in enumerate(tracked)), key=lambda x: -x[0])
    asked = [(q, r) for q, _, r in asked if q][:5]
    if asked:
        lines = "".join(f"<li>{_a(_segment_page(run, r), page, r.describe())}: {q} question(s)"
                        + (f"; {_e(r.long_overlap)}" if r.long_overlap.startswith("Long overlaps") else "")
                        + "</li>" for q, r in asked)
        items.append(f"<li>The segments with the most questions in their tracking report; review these first:"
                     f"<ul>{lines}</ul></li>")
    if not items:
        items.append("<li>Every segment was tracked, every identity was carried and no report has a question: "
                     "nothing needs a look.</li>")
    return "<ol class='next'>" + "".join(items) + "</ol>"


def _seconds(value):
    return f"{value:.1f} s"


# The run's scores against ground truth come later than its pages (`herdmask evaluate`), so the
# summary page keeps them in a marked section that evaluate rewrites in place.
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
        text = (f"<p>Against ground truth: IDF1 {overall['IDF1']:.3f}, MOTA {overall['MOTA']:.3f}, "
                f"{int(overall['ID switches'])} identity switch(es), {int(overall['fragmentations'])} "
                f"fragmentation(s) ({_a(os.path.join(out, EVALUATION_PAGE), page, 'scores per camera')}).</p>")
    return f"{_QUALITY_OPEN}<h2>Tracking quality</h2>{text}{_QUALITY_CLOSE}"


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


def write_run_pages(run, cameras, identities, timing, models_description, fingerprint):
    """A page per camera and the run's summary page, over every link recorded in the folder;
    returns the summary page's path."""
    page = run.path(SUMMARY_PAGE)
    rows = ["<table><tr><th>Camera</th><th>Videos</th><th>Segments</th><th>Tracked</th><th>Carried</th>"
            "<th>Re-linked</th><th>Restarted</th><th>Not done</th><th>Animals tracked</th></tr>"]
    chains, outdated = {}, {}
    for camera in run.cameras():
        chain = chains[camera] = run.chain(camera)
        outdated.update(outdated_links(run, chain, fingerprint))
    for camera, chain in chains.items():
        cpage = run.camera_file(camera, ".html")
        _write(cpage, f"Camera {camera}", _camera_page_body(run, camera, chain, outdated, cameras.get(camera, {}),
                                                            cpage), f"<nav>{_a(page, cpage, 'Run summary')}</nav>")
        done = [r for r in chain if r.status == records.DONE]
        tracks = identities[identities["camera"] == camera]["track_id"].nunique() if len(identities) else 0
        rows.append(f"<tr><td>{_a(cpage, page, f'Camera {camera}')}</td>"
                    f"<td>{len(dict.fromkeys(r.video for r in chain))}</td><td>{len(chain)}</td>"
                    f"<td>{len(done)}</td><td>{sum(r.started == records.CARRIED for r in done)}</td>"
                    f"<td>{sum(r.started == records.RELINKED for r in done)}</td>"
                    f"<td>{sum(r.started == records.RESTARTED for r in done)}</td>"
                    f"<td>{len(chain) - len(done)}</td><td>{tracks}</td></tr>")
    rows.append("</table>")
    body = ["<h2>What to look at next</h2>", _next_steps(run, chains, outdated, cameras, page),
            "<h2>Cameras</h2>", "".join(rows),
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
    return _write(page, "herdmask run", "".join(body))


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
