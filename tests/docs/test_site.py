"""The built site (`make docs` writes build/site): every internal link reaches a page
and, where it names one, an anchor on it; the generated references hold what the
code has."""

import functools
import re
from html.parser import HTMLParser
from pathlib import Path
from urllib.parse import unquote, urlsplit

import pytest

SITE = Path(__file__).resolve().parents[2] / "build" / "site"


class _Page(HTMLParser):
    def __init__(self):
        super().__init__()
        self.links, self.ids = [], set()

    def handle_starttag(self, tag, attrs):
        attrs = dict(attrs)
        if attrs.get("id"):
            self.ids.add(attrs["id"])
        for name in ("href", "src"):
            if attrs.get(name):
                self.links.append(attrs[name])


@functools.lru_cache(maxsize=None)
def _parsed(path):
    page = _Page()
    page.feed(path.read_text(errors="replace"))
    return page


@pytest.fixture(scope="module")
def pages():
    if not (SITE / "index.html").exists():
        pytest.skip("the site is not built (make docs)")
    # 404.html links from the server root, wherever it is served
    return sorted(p for p in SITE.rglob("*.html") if "search" not in p.parts and p.name != "404.html")


def test_internal_links_reach_their_pages_and_anchors(pages):
    broken = []
    for page in pages:
        for link in _parsed(page).links:
            parts = urlsplit(link)
            if parts.scheme or parts.netloc or link.startswith(("mailto:", "javascript:")):
                continue
            target = (page.parent / unquote(parts.path)).resolve() if parts.path else page
            if target.is_dir():
                target = target / "index.html"
            if not target.exists():
                broken.append(f"{page.relative_to(SITE)}: {link}")
            elif parts.fragment and target.suffix == ".html" and parts.fragment not in _parsed(target).ids:
                broken.append(f"{page.relative_to(SITE)}: {link} (no such anchor)")
    assert not broken, broken


def test_references_follow_the_code(pages):
    from herdmask.app.cli import build_parser

    cli = (SITE / "cli" / "index.html").read_text()
    for action in build_parser()._subparsers._group_actions[0].choices["run"]._actions:
        for option in action.option_strings:
            assert option in cli, option
    import herdmask

    library = "".join(p.read_text() for p in (SITE / "library").rglob("*.html"))
    missing = [name for name in herdmask.__all__ if not re.search(rf'id="herdmask\.\w+\.{name}"', library)]
    assert not missing, missing
