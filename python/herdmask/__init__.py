"""herdmask: processing steps for video annotation and multi-object tracking of pigs in pens.

Every step runs its loops over pixels, masks, polygons, frames and files in a
compiled C++ core; this package adapts the host's types (NumPy, pandas, Pillow,
torch, the caller's model objects) around it.
"""

from . import annotation, behaviour, detect, export, files, measures, pen, refine, review, scoring, video
from .annotation import *  # noqa: F401,F403
from .detect import *  # noqa: F401,F403
from .measures import *  # noqa: F401,F403
from .pen import *  # noqa: F401,F403
from .refine import *  # noqa: F401,F403
from .review import *  # noqa: F401,F403
from .video import *  # noqa: F401,F403

__all__ = (
    video.__all__
    + pen.__all__
    + measures.__all__
    + detect.__all__
    + annotation.__all__
    + review.__all__
    + refine.__all__
)
__version__ = "0.1.0"
