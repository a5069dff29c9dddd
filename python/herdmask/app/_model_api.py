"""The model interface the run calls: settings, the check before any work, loading per process.

Taken from app/models.py when it offers it; until then a thin layer over its
`load_models` with the same names.
"""

from __future__ import annotations

try:
    from .models import ModelLoadError, ModelSettings, add_model_arguments, check_models, load_models
except ImportError:
    import dataclasses

    from . import models as _models

    class ModelLoadError(Exception):
        """Models that cannot be loaded; str() is one line saying why."""

    @dataclasses.dataclass(frozen=True)
    class ModelSettings:
        gdino: str = None
        sam2_config: str = None
        sam2_checkpoint: str = None
        device: str = None

        @classmethod
        def from_args(cls, args):
            return cls(getattr(args, "gdino", None), getattr(args, "sam2_config", None),
                       getattr(args, "sam2_checkpoint", None), getattr(args, "device", None))

    def add_model_arguments(parser, with_detector=True):
        g = parser.add_argument_group("models (without them the built-in colour-threshold stand-ins are used)")
        if with_detector:
            g.add_argument("--gdino", metavar="DIR", help="local folder of a transformers Grounding DINO model")
        g.add_argument("--sam2-config", metavar="CFG", help="SAM2 model config (image and video predictors)")
        g.add_argument("--sam2-checkpoint", metavar="CKPT", help="SAM2 checkpoint file")
        g.add_argument("--device", help="compute device (default: cuda when available, else cpu)")

    _LOADED = {}

    def load_models(settings):
        if settings not in _LOADED:
            _LOADED[settings] = _models.load_models(settings.gdino, settings.sam2_config,
                                                    settings.sam2_checkpoint, settings.device)
        return _LOADED[settings]

    def check_models(settings):
        import os

        if settings.gdino is not None and not os.path.isdir(settings.gdino):
            raise ModelLoadError(f"Grounding DINO folder not found: {settings.gdino}")
        try:  # not cached: the driver checks and drops them
            return _models.load_models(settings.gdino, settings.sam2_config, settings.sam2_checkpoint,
                                       settings.device)
        except Exception as exc:
            text = " ".join(str(exc).split()) or type(exc).__name__
            raise ModelLoadError(f"the models do not load: {text}") from None

__all__ = ["ModelLoadError", "ModelSettings", "add_model_arguments", "check_models", "load_models"]
