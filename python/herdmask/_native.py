"""The compiled core. Fails loudly when it is missing: there is no slow fallback."""

try:
    from . import _core
except ImportError as exc:  # pragma: no cover - exercised only on broken installs
    raise ImportError(
        "herdmask's compiled core (herdmask._core) could not be imported: "
        f"{exc}. Build it with `make build` or install the package with pip."
    ) from exc

common = _core.common
video = _core.video
pen = _core.pen
measures = _core.measures
detect = _core.detect
annotation = _core.annotation
review = _core.review
refine = _core.refine

__all__ = ["common", "video", "pen", "measures", "detect", "annotation", "review", "refine"]
