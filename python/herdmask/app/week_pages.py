"""A camera's pages for days of recording: the camera page and one page per day.

The camera page says what the camera's recording came to (hours recorded and
tracked, links by status, animals, restarts), shows when it was tracked over
the days, groups what was not tracked by cause with the action that would
change it, and links one page per day. A day page shows the day's track ids in
clock time and its hours. Nothing is listed per link: a week is some 46,000
links; run_summary.csv holds them all.
"""

from __future__ import annotations

import csv
import io
import os
from datetime import date

import numpy as np

from . import identity, records, untracked, week, week_figures
from .files import write_text
from .html_parts import a, e, figure, id_ranges, table

__all__ = ["COUNT_HEADERS", "LISTED", "camera_pages", "counts_cells", "hours_text", "span_text"]

LISTED = 15  # stretches, restarts and questioned links listed by name on a page
SEGMENTS_LISTED = 300  # a day of at most this many links lists them one by one


def hours_text(hours):
    return f"{hours:.1f} h" if hours >= 0.05 or hours == 0 else f"{hours * 60:.1f} min"


def span_text(links, hours):
    """"12 links, 2.5 h"; a stretch of videos that cannot be opened spans no known time."""
    return f"{links:,} links" + (f", {hours_text(hours)}" if hours else "")


def counts_cells(t):
    """Table cells of a CameraTally: hours recorded and tracked, links by status, restarts, re-links,
    questions per hour."""
    q = t.questions_per_hour
    return [hours_text(t.hours_recorded), hours_text(t.hours_tracked), f"{t.links:,}",
            *(f"{t.by_status.get(s, 0):,}" for s in (records.DONE, records.NO_START, records.NO_FRAMES,
                                                      records.FAILED)),
            f"{t.restarts:,}", f"{t.relinks:,}", "–" if q is None else f"{q:.1f}"]


COUNT_HEADERS = ["Recorded", "Tracked", "Links", "Done", "No start", "No frames", "Failed", "Restarts",
                 "Re-links", "Questions per hour"]


def _clock(iso):
    return iso[11:16] if len(iso) >= 16 else iso


def _when(iso):
    return f"{iso[:10]} {_clock(iso)}"


def _segment_page(run, record):
    return os.path.join(run.report_dir(record), "segment.html")


def _stretch_rows(run, found, page):
    rows = []
    for s in found:
        log = a(run.log_path(s.first), page, "log")
        rows.append([e(f"{_when(s.start_time)} to {_clock(s.end_time)}"), f"{s.links:,}", e(hours_text(s.hours)),
                     e(s.cause.title), e(s.reason), log])
    return table(["When", "Links", "Length", "Cause", "Reason (first link)", ""], rows, ("Links",))


def _untracked_section(run, camera, found, page, expected):
    """The camera's untracked stretches grouped by cause, each with its action; the longest listed."""
    if not found:
        return "<p>Every link of the camera was tracked.</p>"
    by_cause = {}
    for s in found:
        by_cause.setdefault(s.cause.key, []).append(s)
    items = []
    for key, group in sorted(by_cause.items(), key=lambda kv: -sum(s.links for s in kv[1])):
        cause = group[0].cause
        title = cause.title if key != "no-start" or not expected else \
            f"no examined frame shows {expected} animals apart in the pen"
        items.append(f"<li><b>{e(title)}</b>: {len(group):,} stretch(es), "
                     f"{e(span_text(sum(s.links for s in group), sum(s.hours for s in group)))}. <i>To change it:</i> "
                     f"{e(cause.action)}.</li>")
    longest = sorted(found, key=lambda s: -s.links)[:LISTED]
    csv_path = run.camera_file(camera, "_untracked.csv")
    _write_stretches(csv_path, found)
    more = f"<p>All {len(found):,} stretches: {a(csv_path, page, os.path.basename(csv_path))}.</p>"
    return (f"<ul class='next'>{''.join(items)}</ul><p>The longest stretches:</p>"
            + _stretch_rows(run, longest, page) + more)


def _write_stretches(path, found):
    text = io.StringIO()
    out = csv.writer(text)
    out.writerow(["camera", "start_time", "end_time", "links", "cause", "reason", "action", "first_link"])
    for s in found:
        out.writerow([s.camera, s.start_time, s.end_time, s.links, s.cause.title, s.reason, s.cause.action,
                      s.first.key])
    write_text(path, text.getvalue())


def _restart_list(run, restarted, page, columns):
    rows = []
    for r in restarted[:LISTED]:
        how = "keys restarted" if r.started == records.RESTARTED else f"re-linked to {r.carried_from}"
        rows.append([e(_when(r.start_time)), a(_segment_page(run, r), page, f"{r.video} {r.segment}"), e(how),
                     e(id_ranges(columns.ids_by_key[r.key])), e(r.restart_reason)])
    more = f"<p>... and {len(restarted) - LISTED:,} more on the day pages.</p>" if len(restarted) > LISTED else ""
    return table(["When", "Segment", "What happened", "Track ids", "Why"], rows) + more


def _questions_list(run, done, page):
    asked = sorted((r for r in done if r.questions), key=lambda r: -r.questions)[:LISTED]
    if not asked:
        return "<p>No tracking report has a question.</p>"
    rows = [[e(_when(r.start_time)), a(_segment_page(run, r), page, f"{r.video} {r.segment}"), f"{r.questions:,}",
             e(r.long_overlap if r.long_overlap.startswith("Long overlaps") else "")] for r in asked]
    return table(["When", "Segment", "Questions", "Long overlaps"], rows, ("Questions",))


def _segment_list(run, links, page, columns):
    if len(links) > SEGMENTS_LISTED:
        return f"<p>{len(links):,} segments; run_summary.csv lists them one by one.</p>"
    rows = []
    for r in links:
        done = r.status == records.DONE
        name = a(_segment_page(run, r), page, r.segment) if done else e(r.segment or "whole video")
        how = r.how_started() if done else r.reason
        rows.append([e(_clock(r.start_time)), e(r.video), name, e(r.status), e(how),
                     e(id_ranges(columns.ids_by_key[r.key])) if done else "–", a(run.log_path(r), page, "log")])
    return table(["Time", "Video", "Segment", "Status", "Started, or why not", "Track ids", ""], rows)


def _day_page(run, camera, day, columns, chain, timeline, camera_page, neighbours, banner, write):
    page = run.camera_file(camera, f"_{day}.html")
    img = week_figures.day_timeline(timeline, run.camera_file(camera, f"_{day}.png"),
                                    f"Camera {camera}, {date.fromisoformat(day):%A %d %B %Y}: track ids")
    body = [figure(img, page, "Each row is one track id: where it has colour, the animal was tracked, coloured by "
                              "how its segment started; the strip above says what became of the links; dashed "
                              "lines mark where the keys restarted.")]
    today = columns.day == day
    links = [chain[k] for k in np.flatnonzero(today)]
    rows = []
    for hour in sorted(set(columns.hour[today].tolist())):
        t = week.tally_of(columns, today & (columns.hour == hour))
        rows.append([f"{hour:02d}:00", *counts_cells(t), e(id_ranges(t.track_ids))])
    body.append("<h2>Hours</h2>" + table(["Hour", *COUNT_HEADERS, "Track ids"], rows, COUNT_HEADERS))
    done = [r for r in links if r.status == records.DONE]
    restarted = [r for r in done if r.started in (records.RESTARTED, records.RELINKED)]
    if restarted:
        body.append("<h2>Restarts and re-links</h2>" + _restart_list(run, restarted, page, columns))
    found = untracked.stretches(links)
    if found:
        body.append("<h2>Not tracked</h2>" + _stretch_rows(run, found, page))
    body.append("<h2>Most questions</h2>" + _questions_list(run, done, page))
    body.append("<h2>Segments</h2>" + _segment_list(run, links, page, columns))
    before, after = neighbours
    nav = [a(camera_page, page, f"Camera {camera}")]
    nav += [a(run.camera_file(camera, f"_{before}.html"), page, f"< {before}")] if before else []
    nav += [a(run.camera_file(camera, f"_{after}.html"), page, f"{after} >")] if after else []
    write(page, f"Camera {camera}: {day}", "".join(body), f"<nav>{' | '.join(nav)}</nav>", banner)
    return page


def camera_pages(run, camera, chain, expected, page, banner, write):
    """Writes the camera's day pages; returns (the camera page's sections as HTML, its CameraTally).
    `write(path, title, body, nav, banner)` writes a page."""
    # the chain read once, and not kept by the run folder: a week of pens goes one camera at a time
    columns = week.ChainTable(chain, identity.corrected_ids_by_link(identity.track_map(run, camera, chain=chain)))
    t = week.tally(columns)
    timelines = week.day_timelines(columns)
    body = []
    done = [r for r in chain if r.status == records.DONE]
    restarts = t.restarts + t.relinks
    seen = f"up to {t.animals_seen} animals tracked at once" + (f" ({expected} in the pen)" if expected else "")
    body.append(f"<p>{e(hours_text(t.hours_recorded))} recorded, {e(hours_text(t.hours_tracked))} tracked; {seen}; "
                f"{len(t.track_ids):,} track ids, new ones at {t.restarts:,} restart(s) of the keys; "
                f"{t.relinks:,} re-link(s) kept theirs.</p>")
    if timelines:
        img = week_figures.week_overview(timelines, run.camera_file(camera, "_week.png"),
                                         f"Camera {camera}: when its links were tracked")
        body.append("<h2>When it was tracked</h2>" + figure(img, page, "One row per day, clock time across: what "
                                                                       "became of each minute's links."))
    days = sorted(timelines)
    rows = []
    for i, day in enumerate(days):
        neighbours = (days[i - 1] if i else None, days[i + 1] if i + 1 < len(days) else None)
        day_page = _day_page(run, camera, day, columns, chain, timelines[day], page, neighbours, banner, write)
        rows.append([a(day_page, page, f"{date.fromisoformat(day):%a %d %b %Y}"), *counts_cells(t.days[day])])
    body.append("<h2>Days</h2><p>Each day's page shows its track ids in clock time.</p>"
                + table(["Day", *COUNT_HEADERS], rows, COUNT_HEADERS))
    body.append("<h2>Not tracked</h2>" + _untracked_section(run, camera, untracked.stretches(chain), page, expected))
    if restarts:
        restarted = [r for r in done if r.started in (records.RESTARTED, records.RELINKED)]
        body.append("<h2>Restarts and re-links</h2>" + _restart_list(run, restarted, page, columns))
    body.append("<h2>Most questions</h2>" + _questions_list(run, done, page))
    return "".join(body), t
