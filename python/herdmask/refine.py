"""Mask refinement: every tracked mask reduced to its main blob and close satellites."""

import functools
import os

import numpy as np

from ._native import refine as _core_refine
from .pen import get_pen_json_path

__all__ = ["Mask_Refinement"]

_Outcome = _core_refine.Outcome

_AREA_COLUMN = 4  # the component-statistics column holding the area


def _point(value):
    """A stored centroid as the pair of floats the core compares against."""
    if value is None:
        return None
    arr = np.asarray(value, dtype=np.float64).reshape(-1)
    if arr.size != 2:
        raise ValueError(f"a previous centroid must hold two numbers (x, y), got {value!r}")
    return float(arr[0]), float(arr[1])


def _item(sequence, index):
    try:
        item = sequence[index]
    except IndexError:
        return None
    return float(item)


class Mask_Refinement:
    """Cleans tracked masks in place; remembers each object's last centroid.

    `max_distance_ratios` defaults to one list shared by every instance, so a
    caller that changes it in place changes the default of later instances.
    """

    def __init__(self, min_area_ratio=0.3, max_distance_ratios=[0.5, 1.5],  # noqa: B006
                 max_prev_dist=200, custom_pen_json_path="pen_polygon.json"):
        self.MIN_AREA_RATIO = min_area_ratio
        self.MAX_DISTANCE_RATIOS = max_distance_ratios
        self.MAX_PREV_DIST = max_prev_dist
        self.prev_centroids = {}
        self.custom_pen_json_path = custom_pen_json_path

    def _settings(self):
        ratios = self.MAX_DISTANCE_RATIOS
        return _core_refine.Settings(float(self.MIN_AREA_RATIO), _item(ratios, 0), _item(ratios, 1),
                                     float(self.MAX_PREV_DIST))

    def blob_shortest_distance(self, blob_mask1, blob_mask2):
        """Shortest distance between the two masks' outer contour vertices, or inf."""
        return _core_refine.shortest_distance(blob_mask1, blob_mask2)

    def get_main_blob(self, mask, prev_centroids, object_id):
        """(num_labels, stats, centroids, min_area_threshold, max_distance_threshold,
        best_idx, labels) of a non-empty mask."""
        prev = _point(prev_centroids.get(object_id))
        num_labels, labels, stats, centroids, min_area, max_dist, best = _core_refine.label_mask(
            mask, prev, self._settings())
        return num_labels, stats, centroids, min_area, max_dist, best, labels

    def get_dis_to_main_and_prev_blob(self, num_labels, labels, stats, centroids,
                                      max_distance_threshold, min_area_threshold, best_idx,
                                      prev_centroids, object_id, frame_idx, mask, video_segments):
        """The blobs of `labels` that pass the keep rules, as a 1 x H x W boolean array."""
        labels = np.asarray(labels)
        if labels.ndim != 2:
            raise ValueError(f"labels must be a two-dimensional label image, got shape {labels.shape}")
        if labels.dtype != np.int32:
            if labels.dtype.kind not in "biu":
                raise ValueError(f"labels must hold integers, got dtype {labels.dtype}")
            if labels.size and (labels.min() < np.iinfo(np.int32).min
                                or labels.max() > np.iinfo(np.int32).max):
                raise ValueError("labels hold values outside the 32-bit range")
        labels = np.ascontiguousarray(labels, dtype=np.int32)
        num_labels = int(num_labels)
        stats = np.asarray(stats)
        centroids = np.asarray(centroids, dtype=np.float64)
        if num_labels > 1 and (stats.ndim != 2 or centroids.ndim != 2
                               or len(stats) < num_labels or len(centroids) < num_labels):
            raise IndexError(f"stats and centroids need {num_labels} rows, one per label")
        areas = np.ascontiguousarray(stats[1:num_labels, _AREA_COLUMN], dtype=np.float64)
        points = np.ascontiguousarray(centroids[1:num_labels, :2])
        prev = _point(prev_centroids.get(object_id))
        out = np.zeros(labels.size, dtype=bool)
        kept = _core_refine.clean_labels(labels, areas, points, int(best_idx),
                                         float(max_distance_threshold), float(min_area_threshold),
                                         prev, float(self.MAX_PREV_DIST), out)
        cleaned = out.reshape(labels.shape)
        if not kept:
            if frame_idx == list(video_segments.keys())[0]:
                cleaned = np.asarray(mask).astype(bool)
            else:
                print(f"clean frame{frame_idx}--obj_id{object_id}")
        if cleaned.ndim == 2:
            cleaned = cleaned[np.newaxis]
        return cleaned

    def process_video_segments(self, video_segments, video_dir, frame_names):
        """Rewrites every object's mask of every frame in place; returns `video_segments`.

        Entries already rewritten stay so when a later one fails.
        """
        settings = self._settings()
        first_key = _NO_FRAME
        for frame_idx, objects in video_segments.items():
            if first_key is _NO_FRAME:
                first_key = frame_idx
            self._refine_frame(frame_idx, objects, objects, first_key, video_dir, frame_names,
                               settings)
        return video_segments

    def stream(self, frames, video_dir, frame_names, order=None):
        """Refines frames as a tracker hands them over; yields (frame_idx, {object_id: mask}).

        `frames` gives (frame index, {object id: mask}) pairs in any order, one frame at a
        time. Frames are refined in `order` (default: 0, 1, ... up to the last of
        `frame_names`, the order of a tracker's whole result), each as soon as every frame
        before it has been handed over, and yielded then: with the same entries, messages
        and centroids as `process_video_segments` on the dict of the frames in that order.
        A frame handed over ahead of its turn (the forward pass of a track that starts after
        frame 0, before its backward pass) is kept as runs of set pixels until then; at the
        end of `frames` the frames still waiting are refined in order, the first frame
        refined being the first frame as the whole-dict rule has it.

        A frame refined on arrival is the dict it came in, rewritten in place; a frame that
        waited comes back as a new dict, its empty entries as zeros of their shape and dtype.
        A frame handed over twice before its turn counts as its last version. ValueError for
        a frame outside `order`, or handed over again after it was refined.
        """
        settings = self._settings()
        order = list(range(len(frame_names))) if order is None else list(order)
        turn_of = {frame_idx: turn for turn, frame_idx in enumerate(order)}
        if len(turn_of) != len(order):
            raise ValueError("order names a frame more than once")
        waiting = {}  # turn -> (frame_idx, _HeldFrame)
        store = _core_refine.RunStore()
        next_turn = 0
        first_key = _NO_FRAME

        def refine(frame_idx, objects, out):
            nonlocal first_key
            if first_key is _NO_FRAME:
                first_key = frame_idx
            self._refine_frame(frame_idx, objects, out, first_key, video_dir, frame_names, settings)
            return frame_idx, out

        for frame_idx, objects in frames:
            turn = turn_of.get(frame_idx)
            if turn is None:
                raise ValueError(f"frame {frame_idx!r} is not one of the frames to refine")
            if turn < next_turn:
                raise ValueError(f"frame {frame_idx!r} was handed over again after it was refined")
            if turn > next_turn:
                waiting[turn] = (frame_idx, _HeldFrame(store, objects))
            else:
                yield refine(frame_idx, objects, objects)
                next_turn += 1
                while next_turn in waiting:
                    held_idx, held = waiting.pop(next_turn)
                    yield refine(held_idx, held, {})
                    next_turn += 1
            # Not kept while the tracker makes its next frame: a waiting frame's masks are
            # packed, and a refined one is the caller's.
            del objects
        for turn in sorted(waiting):
            held_idx, held = waiting.pop(turn)
            yield refine(held_idx, held, {})

    def _refine_frame(self, frame_idx, objects, out, first_key, video_dir, frame_names, settings):
        """Cleans each mask of one frame into `out` (the same dict, or a new one for a frame
        that waited packed); entries rewritten before a failure stay so."""
        first_frame = None

        def needs(object_id):
            # Looked up only for a mask with set pixels, in this order, so that a frame of
            # empty masks needs neither a pen nor a known frame name.
            nonlocal first_frame
            pen_json_path = get_pen_json_path(video_dir, self.custom_pen_json_path)
            frame_names[frame_idx]  # raises for a frame index the names do not cover
            if pen_json_path is None:
                raise TypeError(f"no pen polygon file is known for video_dir {video_dir!r}; "
                                "pass custom_pen_json_path")
            if first_frame is None:
                first_frame = bool(frame_idx == first_key)
            return (os.fspath(pen_json_path), _point(self.prev_centroids.get(object_id)),
                    first_frame)

        for object_id, mask in objects.items():
            held = isinstance(mask, _HeldMask)
            needs_here = functools.partial(needs, object_id)
            if held:
                result = _core_refine.refine_held(mask.frame, mask.index, needs_here, settings)
            else:
                result = _core_refine.refine_mask(mask, needs_here, settings)
            if result is None:
                if held:
                    out[object_id] = np.zeros(mask.frame.shape(mask.index), mask.dtype)
                continue
            outcome, centroid, cleaned = result
            if outcome == _Outcome.Dropped:
                print(f"clean frame{frame_idx}--obj_id{object_id}")
                print(f"frame {frame_idx}--obj_id{object_id}-- no mask")
            out[object_id] = cleaned
            if centroid is not None:
                self.prev_centroids[object_id] = np.array(centroid, dtype=np.float64)


_NO_FRAME = object()


class _HeldFrame:
    """A frame's masks kept until the frame's turn: their runs of set pixels packed in one
    block of the store, with their object ids and dtypes."""

    __slots__ = ("ids", "dtypes", "packed")

    def __init__(self, store, objects):
        arrays = [np.asarray(mask) for mask in objects.values()]
        self.ids = tuple(objects)
        self.dtypes = tuple(arr.dtype for arr in arrays)
        self.packed = store.pack(arrays)

    def items(self):
        for index, (object_id, dtype) in enumerate(zip(self.ids, self.dtypes)):
            yield object_id, _HeldMask(self.packed, index, dtype)


class _HeldMask:
    """One mask of a held frame, while it is refined."""

    __slots__ = ("frame", "index", "dtype")

    def __init__(self, frame, index, dtype):
        self.frame, self.index, self.dtype = frame, index, dtype
