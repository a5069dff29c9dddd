"""Stand-ins for the detector, the segmenter and the video tracker.

THESE ARE NOT MODELS. They find animals by colour: a pixel belongs to an
animal when it is pale pink, as in the synthetic recordings of
`herdmask.samples` (and nowhere else). They exist so that the whole pipeline
can run on a machine without weights or a GPU: the demo, the driver's tests,
and users trying the tool. They answer exactly the calls the library makes on
the real models:

- `StandinProcessor` / `StandinGroundingModel`: processor(images=, text=,
  return_tensors="pt").to(device), model(**inputs), and
  processor.post_process_grounded_object_detection(outputs, input_ids,
  text_threshold=, target_sizes=[(h, w)]) -> [{"scores", "labels", "boxes"}];
- `StandinImagePredictor`: set_image(rgb array), predict(point_coords=None,
  point_labels=None, box=boxes, multimask_output=False) -> (masks, scores,
  logits) with masks K x 1 x H x W (1 x H x W for one box), and
  model.image_encoder(tensor) -> {"vision_features": 1 x F x h x w};
- `StandinVideoTracker`: propagates start masks through a frame folder and
  returns `video_segments` {frame index: {object id: 1 x H x W bool mask}}.
"""

from __future__ import annotations

import numpy as np

from .testing import StandInInputs

__all__ = [
    "STANDIN_NOTICE",
    "StandinGroundingModel",
    "StandinImagePredictor",
    "StandinProcessor",
    "StandinVideoTracker",
    "animal_pixels",
    "load_standin_models",
]

STANDIN_NOTICE = (
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


# The processor result shares its shape with the scripted stand-ins' one.
_Inputs = StandInInputs


class _DetectorOutput:
    def __init__(self, boxes, scores):
        self.pred_boxes = boxes
        self.scores = scores


class StandinProcessor:
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
        return _Inputs(pixel_values=pixels, input_ids=ids)

    def post_process_grounded_object_detection(self, outputs, input_ids=None, threshold=0.25,
                                               text_threshold=0.25, target_sizes=None):
        label = "".join(chr(int(c)) for c in np.asarray(input_ids.cpu())[0][1:-1]) if input_ids is not None else "object"
        keep = (outputs.scores > threshold) & (outputs.scores > text_threshold)
        boxes = outputs.pred_boxes[keep]
        scores = outputs.scores[keep]
        return [{"scores": scores, "labels": [label] * int(scores.shape[0]), "boxes": boxes}]


class StandinGroundingModel:
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
        import cv2
        import torch

        rgb = pixel_values[0].cpu().numpy().transpose(1, 2, 0)
        fg = animal_pixels(rgb).astype(np.uint8)
        n, _, stats, _ = cv2.connectedComponentsWithStats(fg, connectivity=8) if fg.size else (1, None, None, None)
        boxes, scores = [], []
        for lab in range(1, n):
            x, y, w, h, area = (int(v) for v in stats[lab])
            if area < MIN_ANIMAL_AREA:
                continue
            boxes.append([x, y, x + w, y + h])
            # an ellipse fills about 78 % of its box; merged animals fill less
            scores.append(0.3 + 0.65 * min(1.0, area / (w * h) / 0.8))
        boxes_t = torch.tensor(boxes, dtype=torch.float32).reshape(-1, 4)
        scores_t = torch.tensor(scores, dtype=torch.float32)
        return _DetectorOutput(boxes_t, scores_t)


class _StandinEncoder:
    """Coarse colour layout: 4 x 4 block means of a 16 x 16 average, 48 channels."""

    def __call__(self, x):
        import torch.nn.functional as F

        pooled = F.adaptive_avg_pool2d(x.float(), 16)
        return {"vision_features": F.pixel_unshuffle(pooled, 4)}


class _StandinSam:
    def __init__(self, device):
        self.image_encoder = _StandinEncoder()
        self.device = device


class StandinImagePredictor:
    """Box-prompted stand-in segmenter: the animal pixels inside each box.

    Pixels inside several boxes go to the box whose centre is nearest relative
    to the box size, so neighbouring masks do not share pixels.
    """

    is_standin = True

    def __init__(self, device="cpu"):
        self.model = _StandinSam(device)
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


class StandinVideoTracker:
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
        import cv2

        start = np.asarray(start_masks)
        if start.ndim == 4:
            start = start[:, 0]
        start = start > 0
        ids = list(object_ids) if object_ids is not None else list(range(1, start.shape[0] + 1))
        if len(ids) != start.shape[0]:
            raise ValueError(f"{len(ids)} object ids for {start.shape[0]} masks")
        kernel = cv2.getStructuringElement(cv2.MORPH_ELLIPSE, (2 * self.grow + 1, 2 * self.grow + 1))
        segments = {ann_frame_idx: {oid: start[i][None].copy() for i, oid in enumerate(ids)}}
        ref_area = start.reshape(len(start), -1).sum(axis=1)
        for order in (range(ann_frame_idx + 1, len(frame_names)), range(ann_frame_idx - 1, -1, -1)):
            prev = start
            for idx in order:
                rgb = cv2.cvtColor(cv2.imread(frame_names[idx], cv2.IMREAD_COLOR), cv2.COLOR_BGR2RGB)
                prev = self._step(prev, animal_pixels(rgb), kernel, ref_area)
                segments[idx] = {oid: prev[i][None].copy() for i, oid in enumerate(ids)}
        return {k: segments[k] for k in sorted(segments)}

    @staticmethod
    def _assign(grown, dist):
        owner = np.argmin(dist, axis=0)
        return np.stack([grown[i] & (owner == i) & np.isfinite(dist[i]) for i in range(len(grown))])

    def _step(self, prev, fg, kernel, ref_area):
        import cv2

        k, h, w = prev.shape
        if fg.shape != (h, w):
            raise ValueError(f"frame of shape {fg.shape} after masks of shape {(h, w)}")
        grown = np.stack([cv2.dilate(m.astype(np.uint8), kernel) > 0 for m in prev]) & fg
        ys, xs = np.mgrid[0:h, 0:w].astype(np.float32)
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


def load_standin_models(device="cpu"):
    """(processor, grounding_model, image_predictor, video_tracker), all stand-ins."""
    return StandinProcessor(), StandinGroundingModel(device), StandinImagePredictor(device), StandinVideoTracker()
