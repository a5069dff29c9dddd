"""Stand-ins for the detector, the segmenter and the video tracker.

They answer exactly the calls the library and the `herdmask` command make on
the real models, so that a driver can be dry-run, and the library tested,
without weights or a GPU. Two kinds:

- Scripted (`StandInProcessor`, `StandInGroundingModel`, `StandInImagePredictor`):
  they answer from a script given per frame and keep a log of the calls made
  to them, for tests of a driver.
- Colour-threshold (`ColourProcessor`, `ColourGroundingModel`,
  `ColourImagePredictor`, `ColourVideoTracker`, all four from `colour_models`):
  THESE ARE NOT MODELS. They find animals by colour, a pixel belonging to an
  animal when it is pale pink as in the command's synthetic recordings (and
  nowhere else). The demo and users trying the command without weights run
  the whole pipeline with them.

Scripted use:

    detections = {"0000.jpg": [(10, 20, 110, 220, 0.9, "pig"), ...], ...}
    processor = StandInProcessor(detections)
    grounding_model = StandInGroundingModel()
    image_predictor = StandInImagePredictor()

torch is imported only when a stand-in has to produce a tensor.
"""

import os
from types import SimpleNamespace

import numpy as np

__all__ = [
    "COLOUR_NOTICE",
    "ColourGroundingModel",
    "ColourImagePredictor",
    "ColourProcessor",
    "ColourVideoTracker",
    "StandInGroundingModel",
    "StandInImagePredictor",
    "StandInProcessor",
    "animal_pixels",
    "box_mask",
    "colour_models",
]


def _torch():
    import torch

    return torch


# --- detector ----------------------------------------------------------------


class StandInInputs(dict):
    """The processor's result: named tensors, movable with `to`, readable as attributes."""

    def __getattr__(self, name):
        try:
            return self[name]
        except KeyError:
            raise AttributeError(name) from None

    def to(self, device):
        moved = StandInInputs()
        for key, value in self.items():
            moved[key] = value.to(device) if hasattr(value, "to") else value
        moved.device = device
        return moved


def _frame_key_candidates(image):
    path = getattr(image, "filename", None)
    if not path:
        return []
    path = str(path)
    base = os.path.basename(path)
    return [path, base, os.path.splitext(base)[0]]


def _as_detections(entry):
    """(boxes N x 4, scores N, labels N) from a script entry."""
    if entry is None:
        return np.zeros((0, 4)), np.zeros(0), []
    if isinstance(entry, dict):
        boxes = np.asarray(entry.get("boxes", []), dtype=np.float64).reshape(-1, 4)
        scores = np.asarray(entry.get("scores", []), dtype=np.float64).reshape(-1)
        labels = list(entry.get("labels", []))
    else:
        rows = list(entry)
        boxes = np.asarray([r[:4] for r in rows], dtype=np.float64).reshape(-1, 4)
        scores = np.asarray([r[4] for r in rows], dtype=np.float64)
        labels = [r[5] for r in rows]
    if not (len(boxes) == len(scores) == len(labels)):
        raise ValueError("a scripted frame needs as many boxes, scores and labels")
    return boxes, scores, labels


class StandInProcessor:
    """Detector processor answering from a per-frame script.

    `detections` maps a frame (its file path as opened, its base name, or its
    name without extension) to that frame's detections: a list of
    (x1, y1, x2, y2, score, label) rows or a dict with "boxes", "scores" and
    "labels". It may also be a callable taking the image. Frames not in the
    script have no detections. With `label_ids=True` the post-processed result
    holds label ids under "labels" and the texts under "text_labels", as newer
    detector libraries return them.
    """

    def __init__(self, detections=None, label_ids=False):
        self.detections = detections if detections is not None else {}
        self.label_ids = label_ids
        self.calls = []
        self.post_process_calls = []
        self._frames = []

    def _lookup(self, image):
        if callable(self.detections):
            return self.detections(image)
        for key in _frame_key_candidates(image):
            if key in self.detections:
                return self.detections[key]
        return None

    def __call__(self, images=None, text=None, return_tensors=None, **kwargs):
        torch = _torch()
        self.calls.append({"images": images, "text": text, "return_tensors": return_tensors, **kwargs})
        self._frames.append(_as_detections(self._lookup(images)))
        token = len(self._frames) - 1
        return StandInInputs(
            input_ids=torch.tensor([[101, 13082, 1012, 102]]),
            attention_mask=torch.ones(1, 4, dtype=torch.long),
            pixel_values=torch.zeros(1, 3, 4, 4),
            frame_token=torch.tensor([token]),
        )

    def post_process_grounded_object_detection(self, outputs, input_ids=None, threshold=0.25,
                                                text_threshold=0.25, target_sizes=None,
                                                text_labels=None):
        torch = _torch()
        self.post_process_calls.append({
            "input_ids": input_ids, "text_threshold": text_threshold,
            "target_sizes": target_sizes, "threshold": threshold,
        })
        boxes, scores, labels = self._frames[int(outputs["frame_token"][0])]
        result = {
            "scores": torch.tensor(scores, dtype=torch.float32),
            "boxes": torch.tensor(boxes, dtype=torch.float32).reshape(-1, 4),
        }
        if self.label_ids:
            vocabulary = sorted(set(labels))
            result["labels"] = torch.tensor([vocabulary.index(t) for t in labels], dtype=torch.long)
            result["text_labels"] = list(labels)
        else:
            result["labels"] = list(labels)
        return [result]


class StandInGroundingModel:
    """Detector model: records whether gradients were tracked and hands the frame on."""

    def __init__(self):
        self.calls = []

    def __call__(self, **inputs):
        torch = _torch()
        self.calls.append({"grad_enabled": torch.is_grad_enabled(), "keys": sorted(inputs)})
        return {"frame_token": inputs["frame_token"], "logits": torch.zeros(1, 1, 1)}


# --- segmenter ---------------------------------------------------------------


def box_mask(box, shape):
    """The filled box (x1, y1, x2, y2) as a height x width bool mask, clipped to the frame."""
    height, width = shape
    x1, y1, x2, y2 = (int(round(float(v))) for v in box)
    mask = np.zeros((height, width), dtype=bool)
    mask[max(y1, 0):max(min(y2, height), 0), max(x1, 0):max(min(x2, width), 0)] = True
    return mask


def _make_encoder(feature_dim, seed):
    torch = _torch()

    class StandInImageEncoder(torch.nn.Module):
        """Deterministic features: 16 x 16 average pooling, then a fixed 1 x 1 projection."""

        def __init__(self):
            super().__init__()
            generator = torch.Generator().manual_seed(seed)
            self.projection = torch.nn.Conv2d(3, feature_dim, kernel_size=1)
            with torch.no_grad():
                self.projection.weight.copy_(
                    torch.randn(feature_dim, 3, 1, 1, generator=generator))
                self.projection.bias.copy_(torch.randn(feature_dim, generator=generator))
            self.calls = []

        def forward(self, x):
            self.calls.append({"shape": tuple(x.shape), "grad_enabled": torch.is_grad_enabled(),
                               "device": x.device, "dtype": x.dtype})
            pooled = torch.nn.functional.adaptive_avg_pool2d(x, 16)
            return {"vision_features": self.projection(pooled)}

    return StandInImageEncoder()


class StandInImagePredictor:
    """Image predictor: one mask per box from a script, deterministic encoder features.

    `masks` chooses the mask of each box: None for the filled box, a callable
    (box, (height, width)) -> mask, or a mapping from the box as a tuple of four
    ints to its mask. Masks come back as `mask_dtype` (the real predictor gives
    32-bit reals of 0 and 1) in the real predictor's shapes: K x 1 x H x W for
    K > 1 boxes, 1 x H x W for one box. An empty box set raises, as a prompt
    without boxes is not something to ask the segmenter.
    """

    def __init__(self, masks=None, feature_dim=16, seed=0, mask_dtype=np.float32):
        self.masks = masks
        self.feature_dim = feature_dim
        self.seed = seed
        self.mask_dtype = mask_dtype
        self.set_image_calls = []
        self.predict_calls = []
        self.image = None
        self._model = None

    @property
    def model(self):
        if self._model is None:
            self._model = SimpleNamespace(image_encoder=_make_encoder(self.feature_dim, self.seed))
        return self._model

    def set_image(self, image):
        arr = np.asarray(image)
        if arr.ndim != 3 or arr.shape[2] != 3 or arr.dtype != np.uint8:
            raise ValueError(f"set_image expects height x width x 3 bytes, got {arr.shape} {arr.dtype}")
        self.image = arr
        self.set_image_calls.append(arr.shape)

    def _mask_for(self, box, shape):
        if self.masks is None:
            return box_mask(box, shape)
        if callable(self.masks):
            return np.asarray(self.masks(box, shape))
        return np.asarray(self.masks[tuple(int(round(float(v))) for v in box)])

    def predict(self, point_coords=None, point_labels=None, box=None, mask_input=None,
                multimask_output=True, return_logits=False, normalize_coords=True):
        if self.image is None:
            raise RuntimeError("an image must be set with set_image before predict")
        boxes = np.asarray(box, dtype=np.float64).reshape(-1, 4)
        self.predict_calls.append({"point_coords": point_coords, "point_labels": point_labels,
                                   "box": boxes, "multimask_output": multimask_output})
        if len(boxes) == 0:
            raise ValueError("predict was given no boxes")
        shape = self.image.shape[:2]
        masks = np.stack([self._mask_for(b, shape) for b in boxes]).astype(self.mask_dtype)
        scores = np.ones(len(boxes), dtype=np.float32)
        logits = np.zeros((len(boxes), 4, 4), dtype=np.float32)
        if len(boxes) == 1:
            return masks, scores, logits
        return masks[:, None], scores[:, None], logits[:, None]


# --- colour-threshold stand-ins ----------------------------------------------

COLOUR_NOTICE = (
    "Using the built-in STAND-INS for the detector, segmenter and tracker "
    "(colour thresholds, not models): results are only meaningful on the synthetic sample."
)

MIN_ANIMAL_AREA = 12


def animal_pixels(rgb: np.ndarray) -> np.ndarray:
    """Boolean H x W map of pale pink pixels (the synthetic animals' colour)."""
    rgb = np.asarray(rgb)
    if rgb.ndim != 3 or rgb.shape[2] < 3:
        raise ValueError(f"expected an H x W x 3 RGB image, got shape {rgb.shape}")
    r, g, b = rgb[..., 0], rgb[..., 1], rgb[..., 2]
    return (r > 150) & (g > 115) & (b > 105)


class _DetectorOutput:
    def __init__(self, boxes, scores):
        self.pred_boxes = boxes
        self.scores = scores


class ColourProcessor:
    """Colour-threshold stand-in for the zero-shot detector's processor."""

    is_standin = True

    def __call__(self, images=None, text=None, return_tensors="pt", **kwargs):
        import torch

        if images is None:
            raise ValueError("images is required")
        rgb = np.asarray(images.convert("RGB") if hasattr(images, "convert") else images)
        label = (text or "").strip().rstrip(".").strip() or "object"
        ids = torch.tensor([[101] + [ord(c) for c in label] + [102]], dtype=torch.long)
        pixels = torch.from_numpy(np.ascontiguousarray(rgb.transpose(2, 0, 1)))[None]
        return StandInInputs(pixel_values=pixels, input_ids=ids)

    def post_process_grounded_object_detection(self, outputs, input_ids=None, threshold=0.25,
                                               text_threshold=0.25, target_sizes=None):
        label = "object"
        if input_ids is not None:
            label = "".join(chr(int(c)) for c in np.asarray(input_ids.cpu())[0][1:-1])
        keep = (outputs.scores > threshold) & (outputs.scores > text_threshold)
        boxes = outputs.pred_boxes[keep]
        scores = outputs.scores[keep]
        return [{"scores": scores, "labels": [label] * int(scores.shape[0]), "boxes": boxes}]


class ColourGroundingModel:
    """One box per connected patch of animal-coloured pixels; score from how well it fills its box."""

    is_standin = True

    def __init__(self, device="cpu"):
        self.device = device

    def to(self, device):
        self.device = device
        return self

    def eval(self):
        return self

    def __call__(self, pixel_values=None, input_ids=None, **kwargs):
        import torch
        from scipy import ndimage

        rgb = pixel_values[0].cpu().numpy().transpose(1, 2, 0)
        labels, count = ndimage.label(animal_pixels(rgb), structure=np.ones((3, 3), bool))
        areas = np.bincount(labels.ravel())
        boxes, scores = [], []
        for lab, (rows, cols) in enumerate(ndimage.find_objects(labels) if count else [], start=1):
            area = int(areas[lab])
            if area < MIN_ANIMAL_AREA:
                continue
            boxes.append([cols.start, rows.start, cols.stop, rows.stop])
            # an ellipse fills about 78 % of its box; merged animals fill less
            box_area = (cols.stop - cols.start) * (rows.stop - rows.start)
            scores.append(0.3 + 0.65 * min(1.0, area / box_area / 0.8))
        boxes_t = torch.tensor(boxes, dtype=torch.float32).reshape(-1, 4)
        scores_t = torch.tensor(scores, dtype=torch.float32)
        return _DetectorOutput(boxes_t, scores_t)


class _ColourEncoder:
    """Coarse colour layout: 4 x 4 block means of a 16 x 16 average, 48 channels."""

    def __call__(self, x):
        import torch.nn.functional as F

        pooled = F.adaptive_avg_pool2d(x.float(), 16)
        return {"vision_features": F.pixel_unshuffle(pooled, 4)}


class _ColourSam:
    def __init__(self, device):
        self.image_encoder = _ColourEncoder()
        self.device = device


class ColourImagePredictor:
    """Box-prompted stand-in segmenter: the animal pixels inside each box.

    Pixels inside several boxes go to the box whose centre is nearest relative
    to the box size, so neighbouring masks do not share pixels.
    """

    is_standin = True

    def __init__(self, device="cpu"):
        self.model = _ColourSam(device)
        self._fg = None

    def set_image(self, image):
        rgb = np.asarray(image)
        self._fg = animal_pixels(rgb)

    def reset_predictor(self):
        self._fg = None

    def predict(self, point_coords=None, point_labels=None, box=None, mask_input=None,
                multimask_output=True, return_logits=False, normalize_coords=True):
        if self._fg is None:
            raise RuntimeError("An image must be set with .set_image(...) before mask prediction.")
        fg = self._fg
        h, w = fg.shape
        boxes = np.zeros((0, 4)) if box is None else np.asarray(box, dtype=np.float64).reshape(-1, 4)
        k = boxes.shape[0]
        masks = np.zeros((k, h, w), np.float32)
        if k:
            ys = np.arange(h, dtype=np.float32)[:, None]
            xs = np.arange(w, dtype=np.float32)[None, :]
            cost = np.full((k, h, w), np.inf, np.float32)
            for i, (x1, y1, x2, y2) in enumerate(boxes):
                c0, c1 = max(0, int(np.floor(x1))), min(w, int(np.ceil(x2)) + 1)
                r0, r1 = max(0, int(np.floor(y1))), min(h, int(np.ceil(y2)) + 1)
                if c0 >= c1 or r0 >= r1:
                    continue
                cx, cy = (x1 + x2) / 2, (y1 + y2) / 2
                hw, hh = max((x2 - x1) / 2, 1.0), max((y2 - y1) / 2, 1.0)
                cost[i, r0:r1, c0:c1] = (((xs[:, c0:c1] - cx) / hw) ** 2 + ((ys[r0:r1] - cy) / hh) ** 2)
            owner = np.argmin(cost, axis=0)
            claimed = np.isfinite(cost.min(axis=0)) & fg
            for i in range(k):
                masks[i] = claimed & (owner == i)
        scores = np.full((k, 1), 0.9, np.float32)
        logits = np.zeros((k, 1, 8, 8), np.float32)
        if k == 1:
            return masks, scores[0], logits[0]
        return masks[:, None], scores, logits


class ColourVideoTracker:
    """Carries each object's mask from frame to frame by colour and proximity.

    In every frame an object takes the animal pixels near where its mask was
    (its mask grown by a few pixels); pixels near several objects go to the
    object with the nearest previous centroid. An object that keeps less than
    `hidden_share` of its size in the start frame (hidden under another animal)
    keeps the animal pixels around where it was instead, so its mask lies on
    the animal covering it, as real trackers often do. Runs forward and backward from the start frame.
    """

    is_standin = True

    def __init__(self, grow: int = 8, hidden_share: float = 0.6):
        self.grow = grow
        self.hidden_share = hidden_share

    def track(self, frame_names, start_masks, ann_frame_idx, object_ids=None):
        """Return video_segments for every frame of `frame_names` (sorted by frame index)."""
        segments = dict(self.track_frames(frame_names, start_masks, ann_frame_idx, object_ids))
        return {k: segments[k] for k in sorted(segments)}

    def track_frames(self, frame_names, start_masks, ann_frame_idx, object_ids=None):
        """Yield (frame index, {object id: 1 x H x W bool mask}) frame by frame, as the tracker
        goes: the start frame, the frames after it, then those before it, backward."""
        from PIL import Image

        start = np.asarray(start_masks)
        if start.ndim == 4:
            start = start[:, 0]
        start = start > 0
        ids = list(object_ids) if object_ids is not None else list(range(1, start.shape[0] + 1))
        if len(ids) != start.shape[0]:
            raise ValueError(f"{len(ids)} object ids for {start.shape[0]} masks")
        kernel = _disc(self.grow)
        # every step makes new masks and never changes the ones before, so each frame's masks
        # are views of its step's result
        yield ann_frame_idx, {oid: start[i][None] for i, oid in enumerate(ids)}
        ref_area = start.reshape(len(start), -1).sum(axis=1)
        for order in (range(ann_frame_idx + 1, len(frame_names)), range(ann_frame_idx - 1, -1, -1)):
            prev = start
            for idx in order:
                with Image.open(frame_names[idx]) as image:
                    rgb = np.asarray(image.convert("RGB"))
                prev = self._step(prev, animal_pixels(rgb), kernel, ref_area)
                yield idx, {oid: prev[i][None] for i, oid in enumerate(ids)}

    @staticmethod
    def _assign(grown, dist):
        owner = np.argmin(dist, axis=0)
        return np.stack([grown[i] & (owner == i) & np.isfinite(dist[i]) for i in range(len(grown))])

    def _step(self, prev, fg, kernel, ref_area):
        k, h, w = prev.shape
        if fg.shape != (h, w):
            raise ValueError(f"frame of shape {fg.shape} after masks of shape {(h, w)}")
        grown = np.stack([_dilate(m, kernel) for m in prev]) & fg
        xs = np.arange(w, dtype=np.float32)
        ys = np.arange(h, dtype=np.float32)[:, None]
        dist = np.full((k, h, w), np.inf, np.float32)
        for i, m in enumerate(prev):
            if m.any():
                r, c = np.nonzero(m)
                dist[i] = (xs - c.mean()) ** 2 + (ys - r.mean()) ** 2
        # a hidden animal keeps the animal pixels within its own size of where it was
        reach = [grown[i] & (dist[i] <= 1.2 * ref_area[i] / np.pi) for i in range(k)]
        dist[~grown] = np.inf
        out = self._assign(grown, dist)
        hidden = [i for i in range(k) if out[i].sum() < self.hidden_share * ref_area[i]]
        if hidden:
            # the covering animal gets all the pixels; the hidden one stays put underneath
            dist[hidden] = np.inf
            out = self._assign(grown, dist)
            for i in hidden:
                out[i] = reach[i]
        return out


def _disc(radius):
    """A (2 radius + 1)-square bool disc whose row dy reaches round(sqrt(radius^2 - dy^2)) columns
    either side of the centre: OpenCV's elliptical structuring element, so the tracker's masks
    stay what they were when it dilated with OpenCV."""
    dy = np.arange(-radius, radius + 1)
    reach = np.rint(np.sqrt(radius**2 - dy**2))
    return np.abs(dy)[None, :] <= reach[:, None]


def _dilate(mask, kernel):
    """`mask` dilated by `kernel` (odd-sized, centred), worked out in the mask's box grown by the
    kernel's reach only: an animal covers a small part of the frame."""
    out = np.zeros_like(mask)
    rows, cols = np.flatnonzero(mask.any(axis=1)), np.flatnonzero(mask.any(axis=0))
    if rows.size == 0:
        return out
    from scipy import ndimage

    reach = kernel.shape[0] // 2
    r0, r1 = max(rows[0] - reach, 0), min(rows[-1] + reach + 1, mask.shape[0])
    c0, c1 = max(cols[0] - reach, 0), min(cols[-1] + reach + 1, mask.shape[1])
    out[r0:r1, c0:c1] = ndimage.binary_dilation(mask[r0:r1, c0:c1], structure=kernel)
    return out


def colour_models(device="cpu"):
    """(processor, grounding_model, image_predictor, video_tracker), all stand-ins."""
    return ColourProcessor(), ColourGroundingModel(device), ColourImagePredictor(device), ColourVideoTracker()
