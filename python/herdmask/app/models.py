"""The model objects the command hands to the library: real ones from weights, or the stand-ins."""

from __future__ import annotations

import dataclasses
import os

import numpy as np

__all__ = ["Models", "load_models"]


@dataclasses.dataclass
class Models:
    """The model objects handed to the library, and whether they are the stand-ins."""

    processor: object
    grounding_model: object
    image_predictor: object
    video_tracker: object  # has .track(frame_names, masks, ann_frame_idx, object_ids)
    device: str
    standin: bool
    description: str


class _Sam2VideoTracker:
    """Adapter giving the official video predictor the stand-in tracker's `track` call."""

    def __init__(self, predictor):
        self.predictor = predictor

    def track(self, frame_names, start_masks, ann_frame_idx, object_ids=None):
        import torch

        masks = np.asarray(start_masks)
        if masks.ndim == 4:
            masks = masks[:, 0]
        ids = list(object_ids) if object_ids is not None else list(range(1, masks.shape[0] + 1))
        folder = os.path.dirname(frame_names[0])
        segments = {}
        with torch.inference_mode():
            state = self.predictor.init_state(video_path=folder)
            for oid, m in zip(ids, masks):
                self.predictor.add_new_mask(state, ann_frame_idx, oid, m > 0)
            for reverse in (False, True):
                for idx, out_ids, logits in self.predictor.propagate_in_video(state, reverse=reverse):
                    segments[idx] = {
                        oid: (logits[i] > 0.0).cpu().numpy() for i, oid in enumerate(out_ids)
                    }
        return {k: segments[k] for k in sorted(segments)}


def load_models(gdino_dir=None, sam2_config=None, sam2_checkpoint=None, device=None) -> Models:
    """Real models when weights are given, the colour-threshold stand-ins otherwise.

    `gdino_dir` is a local folder holding a transformers Grounding DINO model;
    `sam2_config` and `sam2_checkpoint` name the official SAM2 config and
    checkpoint (both image and video predictors are built from them).
    """
    if (sam2_config is None) != (sam2_checkpoint is None):
        raise ValueError("give both --sam2-config and --sam2-checkpoint, or neither")
    if (gdino_dir is None) != (sam2_config is None):
        raise ValueError("give the detector and the segmenter weights together, or neither")
    if gdino_dir is None:
        from herdmask.testing import COLOUR_NOTICE, colour_models

        dev = device or "cpu"
        processor, model, predictor, tracker = colour_models(dev)
        return Models(processor, model, predictor, tracker, dev, True, COLOUR_NOTICE)
    import torch
    from sam2.build_sam import build_sam2, build_sam2_video_predictor
    from sam2.sam2_image_predictor import SAM2ImagePredictor
    from transformers import AutoModelForZeroShotObjectDetection, AutoProcessor

    dev = device or ("cuda" if torch.cuda.is_available() else "cpu")
    processor = AutoProcessor.from_pretrained(gdino_dir, local_files_only=True)
    model = AutoModelForZeroShotObjectDetection.from_pretrained(gdino_dir, local_files_only=True).to(dev)
    predictor = SAM2ImagePredictor(build_sam2(sam2_config, sam2_checkpoint, device=dev))
    tracker = _Sam2VideoTracker(build_sam2_video_predictor(sam2_config, sam2_checkpoint, device=dev))
    desc = f"Using Grounding DINO from {gdino_dir} and SAM2 {sam2_checkpoint} on {dev}."
    return Models(processor, model, predictor, tracker, dev, False, desc)
