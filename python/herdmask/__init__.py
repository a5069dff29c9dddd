"""herdmask: processing steps for video annotation and multi-object tracking of pigs in pens.

Every step runs its loops over pixels, masks, polygons, frames and files in a
compiled C++ core; this package adapts the host's types (NumPy, pandas, Pillow,
torch, the caller's model objects) around it.

Importing the package loads nothing but this file: the steps (`herdmask.read_frames`,
`from herdmask import Mask_Refinement`, ...) load with the first name asked for, and
the sub-modules (`herdmask.export`, `herdmask.behaviour`, ...) each when first named,
so a command that needs none of them (a page server, `--help`) starts at once.
"""

import importlib
import importlib.util
from typing import TYPE_CHECKING

__version__ = "0.1.0"

# the modules whose public names are the package's own, in the order of `__all__`
_STEP_MODULES = ("video", "pen", "measures", "detect", "annotation", "review", "refine")
_MODULES = frozenset(_STEP_MODULES + ("behaviour", "export", "files", "scoring"))

if TYPE_CHECKING:  # what static tools see; at run time the names come from __getattr__
    from .annotation import *  # noqa: F401,F403
    from .detect import *  # noqa: F401,F403
    from .measures import *  # noqa: F401,F403
    from .pen import *  # noqa: F401,F403
    from .refine import *  # noqa: F401,F403
    from .review import *  # noqa: F401,F403
    from .video import *  # noqa: F401,F403


def _load_steps():
    """Binds the public names of the step modules here, as `from .video import *` would, and `__all__`
    (once: a name rebound since, by a caller or a test, stays as it is)."""
    if "__all__" in globals():
        return
    names = []
    for module in (importlib.import_module(f".{name}", __name__) for name in _STEP_MODULES):
        globals().update((name, getattr(module, name)) for name in module.__all__)
        names += module.__all__
    globals()["__all__"] = names


def __getattr__(name):
    # a module of the package (also `from . import _core`, which asks here before importing it)
    if name.isidentifier() and importlib.util.find_spec(f"{__name__}.{name}") is not None:
        return importlib.import_module(f".{name}", __name__)
    if name.startswith("__") and name != "__all__":  # probes of tools (__wrapped__, ...) load nothing
        raise AttributeError(f"module {__name__!r} has no attribute {name!r}")
    _load_steps()
    try:
        return globals()[name]
    except KeyError:
        raise AttributeError(f"module {__name__!r} has no attribute {name!r}") from None


def __dir__():
    _load_steps()
    return sorted(set(globals()) | _MODULES)
