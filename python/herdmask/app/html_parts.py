"""The parts every page of the command is made of: its style, links, figures and tables.

Pages are self-contained HTML beside their PNG figures, linked by relative
paths, so the output folder can be moved or served as it is.
"""

from __future__ import annotations

import html
import os

from .files import write_text

__all__ = ["STYLE", "a", "e", "figure", "id_ranges", "rel", "table", "write_page"]

STYLE = """
body{font-family:sans-serif;max-width:1100px;margin:2em auto;padding:0 1em;color:#222;line-height:1.4}
img{max-width:100%;border:1px solid #ccc} img.frame{min-width:480px;image-rendering:pixelated}
table{border-collapse:collapse;font-size:13px;margin:.5em 0} td,th{border:1px solid #ddd;padding:3px 7px;
text-align:left;vertical-align:top} th{background:#f1f3f5} td.n{text-align:right}
.done{color:#2b8a3e;font-weight:bold} .not-done{color:#c92a2a;font-weight:bold}
.note{background:#fff4d6;padding:.5em .8em;border-left:4px solid #f59f00}
.next li{margin:.3em 0} figcaption{font-size:13px;color:#555;margin-bottom:1em} nav{font-size:14px}
"""


def e(text):
    return html.escape(str(text))


def rel(target, page):
    return html.escape(os.path.relpath(target, os.path.dirname(os.path.abspath(page))))


def a(target, page, text):
    return f"<a href='{rel(target, page)}'>{e(text)}</a>"


def figure(img, page, caption, cls=""):
    klass = f" class='{cls}'" if cls else ""
    return (f"<figure><img{klass} src='{rel(img, page)}' alt='{e(caption)}'>"
            f"<figcaption>{e(caption)}</figcaption></figure>")


def table(headers, rows, numbers=()):
    """An HTML table; `rows` hold HTML already; columns named in `numbers` are set right."""
    right = [h in numbers for h in headers]
    head = "".join(f"<th>{e(h)}</th>" for h in headers)
    body = "".join("<tr>" + "".join(f"<td class='n'>{c}</td>" if r else f"<td>{c}</td>" for c, r in zip(row, right))
                   + "</tr>" for row in rows)
    return f"<table><tr>{head}</tr>{body}</table>"


def write_page(path, title, body, nav="", banner=""):
    """Writes a page: `banner` (a warning that belongs above everything), the navigation, the title
    and the body."""
    return write_text(path, "<!doctype html><html><head><meta charset='utf-8'>"
                            f"<title>{e(title)}</title><style>{STYLE}</style></head><body>"
                            f"{banner}{nav}<h1>{e(title)}</h1>{body}</body></html>")


def id_ranges(ids):
    """"1-10, 14" for the ids 1, ..., 10, 14, in any order."""
    ids, parts, i = sorted(ids), [], 0
    while i < len(ids):
        j = i
        while j + 1 < len(ids) and ids[j + 1] == ids[j] + 1:
            j += 1
        parts.append(str(ids[i]) if i == j else f"{ids[i]}-{ids[j]}")
        i = j + 1
    return ", ".join(parts)
