"""What makes a correction asked for by the page one the run can take: known camera, a tracked
link of its chain, a frame inside that link, an id shown on that frame, a partner id the camera
has. Anything else is refused with a message saying what is wrong, before anything is written."""

from __future__ import annotations

from .. import corrections as corr
from .frames import frame_objects

__all__ = ["check_request"]


def _whole(request, name):
    value = request.get(name)
    if isinstance(value, bool) or not isinstance(value, int):
        raise corr.CorrectionError(f"'{name}' must be a whole number, got {value!r}")
    return value


def _frame_of(view, camera, request, link_field, frame_field):
    key = request.get(link_field)
    if not isinstance(key, str) or (camera, key) not in view.links:
        raise corr.CorrectionError(f"camera {camera} has no link {key!r}")
    link = view.links[(camera, key)]
    if not link.done:
        raise corr.CorrectionError(f"{key} was not tracked ({link.status}): it has no ids to correct")
    frame = _whole(request, frame_field)
    if not 0 <= frame < link.frames:
        raise corr.CorrectionError(f"{key} has frames 0 to {link.frames - 1}, not {frame}")
    return link, frame


def check_request(view, request, made):
    """The fields to store for `request`, checked against the run and the corrections `made`
    before it; CorrectionError when the run cannot take it."""
    kind = request.get("kind")
    if kind not in corr.KINDS:
        raise corr.CorrectionError(f"unknown kind of correction {kind!r}: one of {', '.join(corr.KINDS)} or undo")
    camera = str(request.get("camera"))
    if camera not in view.cameras:
        raise corr.CorrectionError(f"the run has no camera {request.get('camera')!r}")
    link, frame = _frame_of(view, camera, request, "link", "frame")
    ids = view.track_map(camera, made)
    track = _whole(request, "track")
    try:
        _, objects = frame_objects(view, link, frame, ids)
    except FileNotFoundError:
        raise corr.CorrectionError(f"{link.key} frame {frame} has no annotation file") from None
    shown = sorted({o.track for o in objects if not o.wrong})
    if track not in shown:
        raise corr.CorrectionError(f"no animal has id {track} on {link.key} frame {frame} (ids there: "
                                   f"{', '.join(map(str, shown)) or 'none'})")
    fields = {"kind": kind, "camera": camera, "link": link.key, "frame": frame, "track": track, "stamp": link.stamp}
    known = ids.known_ids()
    if kind == corr.SWAP:
        other = _whole(request, "other")
        if other == track:
            raise corr.CorrectionError(f"a swap needs two different ids, got {track} twice")
        if other not in known:
            raise corr.CorrectionError(f"camera {camera} has no id {other}")
        fields["other"] = other
    elif kind == corr.NEW_ID:
        fields["other"] = max(known) + 1
    else:
        end, end_frame = _frame_of(view, camera, request, "end_link", "end_frame")
        if (end.position, end_frame) < (link.position, frame):
            raise corr.CorrectionError(f"the range ends ({end.key} frame {end_frame}) before it begins "
                                       f"({link.key} frame {frame})")
        fields.update(end_link=end.key, end_frame=end_frame)
    return fields
