"""Results made with the built-in stand-in models say so, wherever they are shown.

The colour-threshold stand-ins find "animals" in any footage with pink blobs on
a dark floor (ten of them in a video of cups, say); their links end "done"
like any other. So every page, export and run output of such results carries
this warning first.
"""

from __future__ import annotations

import html

__all__ = ["LINE", "banner_html", "made_with_standins"]

LINE = ("Made with the built-in colour-threshold STAND-IN models, not with real weights: the results mean "
        "something only on herdmask's synthetic sample recording.")
_STYLE = ("background:#ffe3e3;border:2px solid #c92a2a;color:#862e2e;padding:.6em .9em;font-weight:bold;"
          "margin:0 0 1em 0")


def made_with_standins(settings):
    """Whether the run folder's settings (settings.json) name the stand-ins as its models."""
    models = (settings or {}).get("models") or {}
    return bool(settings) and not any(models.get(k) for k in ("gdino", "sam2_config", "sam2_checkpoint"))


def banner_html(used):
    """The warning at the top of a page of results made with the stand-ins (`used`), else ""."""
    return f"<p class='standins' style='{_STYLE}'>{html.escape(LINE)}</p>" if used else ""
