"""The command's HTML pages: a page per segment, per camera and for the run, and the
pages of sections that review and evaluate write.

Pages are self-contained HTML beside their PNG figures, linked by relative
paths, so the output folder can be moved or served as it is. They read as a
report: sentences and tables, no Python values.
"""

from __future__ import annotations

import html
import os

from . import figures, layout, records
from .files import write_atomic, write_text

__all__ = ["link_figures", "refresh_quality_section", "report_table_html", "write_link_page", "write_run_pages",
           "write_summary_page"]

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
    cls = "done" if r.get("status") == records.DONE else "not-done"
    return f"<span class='{cls}'>{_e(r.get('status'))}</span>"


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


def _segment_page(link):
    return os.path.join(link.report_dir, "segment.html")


def _camera_page(out, camera):
    return layout.camera_file(out, camera, ".html")


def link_figures(link, review, start):
    """The link's figures under its report folder; {caption: path relative to the output folder}."""
    fig_dir = os.path.join(link.report_dir, "figures")
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
    return {caption: os.path.relpath(p, link.out) for caption, p in found.items()}


def write_link_page(link, record, review):
    page = _segment_page(link)
    nav = f"<nav>{_a(_camera_page(link.out, link.camera), page, f'Camera {link.camera}')}</nav>"
    body = [f"<p>Status: {_status(record)}. Tracking started at frame {record['start_frame']} "
            f"({_e(records.how_started(record))}), {record['animals']} animals ({_e(', '.join(record['keys']))}), "
            f"{record['frames']} frames.</p>"]
    for text in (record.get("note"), record.get("restart_reason") and f"Keys restarted: {record['restart_reason']}"):
        if text:
            body.append(f"<p class='note'>{_e(text)}.</p>")
    body.append("<h2>Review</h2>")
    body.append(f"<p>{_e(review.overlap_text())}</p><p>{_e(review.small_area_text())}</p>")
    ann = link.annotation_dir
    body.append(f"<p>Annotation files: {_a(ann, page, os.path.relpath(ann, link.out))}. "
                f"Log: {_a(link.log_path, page, os.path.relpath(link.log_path, link.out))}.</p>")
    for caption, rel in record["figures"].items():
        cls = "frame" if rel.endswith(("start_frame.png", "first_long_overlap.png")) else ""
        body.append(_figure(os.path.join(link.out, rel), page, caption, cls))
    body.append("<h2>Tracking question report</h2>")
    if review.report_path:
        body.append(f"<p>{_a(review.report_path, page, 'tracking_question_report.csv')}</p>")
    body.append(report_table_html(review.report_path))
    return _write(page, f"Camera {link.camera}: {link.video}, {link.segment}", "".join(body), nav)


# ------------------------------------------------------------------ cameras and the run


def _time_of(iso):
    return iso[11:19] if iso and len(iso) >= 19 else (iso or "")


def _link_rows(links, recs, page):
    rows = ["<table><tr><th>Recording time</th><th>Video</th><th>Segment</th><th>Status</th><th>Started</th>"
            "<th>Animals</th><th>Start frame</th><th>Questions</th><th>Reason or note</th><th>Pages</th></tr>"]
    for lk in links:
        r = recs.get(lk.key)
        if r is None:
            rows.append(f"<tr><td>{_e(_time_of(lk.start_time))}</td><td>{_e(lk.video)}</td>"
                        f"<td>{_e(lk.segment or 'whole video')}</td><td colspan='7'>not run</td></tr>")
            continue
        how = r.get("started") or "–"
        if r.get("carried_from"):
            how += f" from {r['carried_from'].split('/')[0]}"
        text = r.get("reason") if r.get("status") != records.DONE else "; ".join(
            filter(None, [r.get("note"), r.get("restart_reason") and f"keys restarted: {r['restart_reason']}"]))
        done = r.get("status") == records.DONE
        links_html = ""
        if done:
            links_html = _a(_segment_page(lk), page, "segment page")
            if r.get("report"):
                links_html += ", " + _a(os.path.join(lk.out, r["report"]), page, "report")
        links_html += (", " if links_html else "") + _a(lk.log_path, page, "log")
        rows.append(f"<tr><td>{_e(_time_of(lk.start_time))}</td><td>{_e(lk.video)}</td>"
                    f"<td>{_e(lk.segment or 'whole video')}</td><td>{_status(r)}</td><td>{_e(how)}</td>"
                    f"<td>{_number(r.get('animals') if done else None)}</td>"
                    f"<td>{_number(r.get('start_frame') if done else None)}</td>"
                    f"<td>{_number(r.get('questions') if done else None)}</td><td>{_e(text)}</td>"
                    f"<td>{links_html}</td></tr>")
    rows.append("</table>")
    return "".join(rows)


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


def _camera_page_body(out, camera, links, recs, info, page):
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
    chain = [recs[lk.key] for lk in links if lk.key in recs]
    body.append("<h2>Identities</h2>")
    if any(r.get("status") == records.DONE for r in chain):
        img = figures.identity_timeline(chain, layout.camera_file(out, camera, "_identities.png"),
                                     f"Box keys of camera {camera} over the recording")
        body.append(_figure(img, page, "Each bar is one box key tracked in one segment; a key keeps its animal "
                                       "for as long as the chain carries it."))
    else:
        body.append("<p>No segment of this camera was tracked.</p>")
    restarts = [r for r in chain if r.get("started") == records.RESTARTED and r.get("status") == records.DONE]
    for r in restarts:
        body.append(f"<p class='note'>Keys restarted at {_e(r['video'])} {_e(r['segment'])}: "
                    f"{_e(r.get('restart_reason'))}. The same key before and after names "
                    "different animals.</p>")
    body.append("<h2>Segments</h2>")
    body.append(_link_rows(links, recs, page))
    return "".join(body)


def _next_steps(out, chains, recs, cameras, page):
    ended = [(lk, recs[lk.key]) for links in chains.values() for lk in links if lk.key in recs]
    tracked = [(lk, r) for lk, r in ended if r.get("status") == records.DONE]
    not_done = [(lk, r) for lk, r in ended if r.get("status") != records.DONE]
    items = []
    if not_done:
        shown = not_done[:8]
        lines = "".join(f"<li>{_e(lk.describe())}: {_e(r['status'])}, {_e(r.get('reason'))} "
                        f"({_a(lk.log_path, page, 'log')})</li>" for lk, r in shown)
        more = (f"<li>... and {len(not_done) - len(shown)} more in {layout.RUN_SUMMARY}</li>"
                if len(not_done) > 8 else "")
        items.append(f"<li><b>{len(not_done)} segment(s) were not tracked.</b> Rerun the same command to try "
                     f"them again once the cause is fixed:<ul>{lines}{more}</ul></li>")
    for camera, info in cameras.items():
        if info.get("warning"):
            items.append(f"<li>Camera {_e(camera)}: {_e(info['warning'])} "
                         f"({_a(_camera_page(out, camera), page, 'camera page')}).</li>")
    for lk, r in tracked:
        if r.get("note"):
            items.append(f"<li>{_a(_segment_page(lk), page, lk.describe())}: {_e(r['note'])}.</li>")
    for lk, r in tracked:
        if r.get("started") == records.RESTARTED:
            items.append(f"<li>{_e(lk.describe())}: the keys restarted, so its boxes are not the same animals as "
                         f"before ({_e(r.get('restart_reason'))}). "
                         f"{_a(_segment_page(lk), page, 'Check its start frame')}.</li>")
    asked = sorted(((r.get("questions") or 0, lk, r) for lk, r in tracked), key=lambda x: -x[0])
    asked = [(q, lk, r) for q, lk, r in asked if q][:5]
    if asked:
        lines = "".join(f"<li>{_a(_segment_page(lk), page, lk.describe())}: {q} question(s)"
                        + (f"; {_e(r['long_overlap'])}" if r.get("long_overlap", "").startswith("Long overlaps")
                           else "") + "</li>" for q, lk, r in asked)
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

    scores = os.path.join(out, layout.EVALUATION_TABLE)
    if not os.path.isfile(scores):
        text = ("<p>Not scored yet. With ground truth for the cameras (MOTChallenge text, one "
                "<code>Camera&lt;N&gt;.txt</code> per camera), <code>herdmask evaluate "
                f"{_e(out)} GROUND_TRUTH</code> scores the run and shows the result here.</p>")
    else:
        overall = pd.read_csv(scores, index_col=0).loc["OVERALL"]
        text = (f"<p>Against ground truth: IDF1 {overall['IDF1']:.3f}, MOTA {overall['MOTA']:.3f}, "
                f"{int(overall['ID switches'])} identity switch(es), {int(overall['fragmentations'])} "
                f"fragmentation(s) ({_a(os.path.join(out, layout.EVALUATION_PAGE), page, 'scores per camera')}).</p>")
    return f"{_QUALITY_OPEN}<h2>Tracking quality</h2>{text}{_QUALITY_CLOSE}"


def refresh_quality_section(out):
    """Rewrites the tracking-quality section of the run folder's summary page, when it has one."""
    page = os.path.join(out, layout.SUMMARY_PAGE)
    if not os.path.isfile(page):
        return None
    with open(page, encoding="utf-8") as f:
        text = f.read()
    start, end = text.find(_QUALITY_OPEN), text.find(_QUALITY_CLOSE)
    if start < 0 or end < start:
        return None
    return write_text(page, text[:start] + _quality_section(out, page) + text[end + len(_QUALITY_CLOSE):])


def write_run_pages(out, chains, recs, cameras, identities, timing, models_description):
    """A page per camera and the run's summary page; returns the summary page's path."""
    page = os.path.join(out, layout.SUMMARY_PAGE)
    rows = ["<table><tr><th>Camera</th><th>Videos</th><th>Segments</th><th>Tracked</th><th>Carried</th>"
            "<th>Restarted</th><th>Not done</th><th>Animals tracked</th></tr>"]
    for camera, links in chains.items():
        cpage = _camera_page(out, camera)
        _write(cpage, f"Camera {camera}", _camera_page_body(out, camera, links, recs, cameras.get(camera, {}), cpage),
               f"<nav>{_a(page, cpage, 'Run summary')}</nav>")
        chain = [recs[lk.key] for lk in links if lk.key in recs]
        done = [r for r in chain if r.get("status") == records.DONE]
        tracks = identities[identities["camera"] == camera]["track_id"].nunique() if len(identities) else 0
        rows.append(f"<tr><td>{_a(cpage, page, f'Camera {camera}')}</td>"
                    f"<td>{len(dict.fromkeys(lk.video for lk in links))}</td><td>{len(links)}</td>"
                    f"<td>{len(done)}</td><td>{sum(r.get('started') == records.CARRIED for r in done)}</td>"
                    f"<td>{sum(r.get('started') == records.RESTARTED for r in done)}</td>"
                    f"<td>{len(links) - len(done)}</td><td>{tracks}</td></tr>")
    rows.append("</table>")
    body = ["<h2>What to look at next</h2>", _next_steps(out, chains, recs, cameras, page),
            "<h2>Cameras</h2>", "".join(rows),
            "<p>Tables: ", _a(os.path.join(out, layout.RUN_SUMMARY), page, layout.RUN_SUMMARY),
            " (one row per segment and its status), ",
            _a(os.path.join(out, layout.IDENTITIES), page, layout.IDENTITIES),
            " (one row per box key per segment).</p>",
            _quality_section(out, page),
            "<h2>Run</h2>", f"<p>{_e(models_description)}</p>"]
    if timing.get("cluster_wall"):
        body.append(f"<p>Wall time {_seconds(timing['wall'])}, of which {_seconds(timing['cluster_wall'])} on "
                    f"{timing['workers']} worker(s). Worker time: frame extraction {_seconds(timing['extraction'])}, "
                    f"models {_seconds(timing['models'])}, library steps {_seconds(timing['library'])}, figures and "
                    f"pages {_seconds(timing['pages'])}, waiting {_seconds(timing['waiting'])}.</p>")
    else:
        body.append("<p>Every segment was done in an earlier run; nothing ran this time.</p>")
    return _write(page, "herdmask run", "".join(body))
