"""Scripted stand-ins for the detector and the segmenter.

They answer the same calls as the real models (the detector's processor and
model, the segmenter's image predictor with its image encoder) from a script
given per frame, so that a driver can be dry-run, and the library tested,
without weights. Each stand-in keeps a log of the calls made to it.

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
    "StandInProcessor",
    "StandInGroundingModel",
    "StandInImagePredictor",
    "box_mask",
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
