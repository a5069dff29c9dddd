"""The model objects the command hands to the library: real ones from weights, or the stand-ins.

The driver calls `check_models` once, before any work starts: a missing
folder, a config that is not found, a checkpoint that does not fit its config,
a device that is not there or a package that is not installed stops the run
with one line saying which. Workers then call `load_models`, which loads once
per process and hands out the same objects on later calls.

`ModelSettings()` (no weights) means the colour-threshold stand-ins of
`herdmask.testing`, which only work on the command's synthetic recordings.
"""

from __future__ import annotations

import argparse
import contextlib
import dataclasses
import inspect
import os
import shutil
import tempfile
from typing import Optional

import numpy as np

__all__ = [
    "MissingPackage",
    "ModelLoadError",
    "ModelSettings",
    "Models",
    "add_model_arguments",
    "check_models",
    "load_models",
]

# transformers' own default for the detector's box score threshold, which the
# start-frame search leaves unset
DEFAULT_BOX_THRESHOLD = 0.25
DEFAULT_TEXT_THRESHOLD = 0.25
FEATURES_STANDIN_NOTICE = (
    "Image features for the overlap review come from the built-in STAND-IN encoder "
    "(a colour layout, not a model); give --sam2-config and --sam2-checkpoint for the real one.")
# the extensions the segmenter's video loader reads from a frame folder
_VIDEO_LOADER_EXTENSIONS = (".jpg", ".jpeg", ".JPG", ".JPEG")


class ModelLoadError(RuntimeError):
    """The models cannot be loaded; str() is one line saying why and what to do."""


class MissingPackage(ModelLoadError):
    """A package the models need is not installed (or does not load)."""


@dataclasses.dataclass(frozen=True)
class ModelSettings:
    """Which models to load and how: what a run stores with its settings and sends to workers.

    `gdino` is a folder holding a transformers Grounding DINO model;
    `sam2_config` a config of the sam2 package (configs/sam2.1/sam2.1_hiera_t.yaml)
    or a config file; `sam2_checkpoint` its checkpoint. None of the three means
    the stand-ins. `device` None means CUDA when available, else the CPU. With
    `detector` false only the segmenter's image predictor is loaded (review).
    """

    gdino: Optional[str] = None
    sam2_config: Optional[str] = None
    sam2_checkpoint: Optional[str] = None
    device: Optional[str] = None
    box_threshold: float = DEFAULT_BOX_THRESHOLD
    text_threshold: float = DEFAULT_TEXT_THRESHOLD
    offload_video_to_cpu: bool = False
    offload_state_to_cpu: bool = False
    detector: bool = True

    @classmethod
    def from_args(cls, args):
        """Settings from the options of `add_model_arguments`; paths made absolute for the workers."""

        def absolute(path):
            return None if path is None else os.path.abspath(path)

        config = getattr(args, "sam2_config", None)
        if config is not None and os.path.isfile(config):
            config = os.path.abspath(config)  # a config file, not a name in the package
        with_detector = hasattr(args, "gdino")
        return cls(
            gdino=absolute(getattr(args, "gdino", None)),
            sam2_config=config,
            sam2_checkpoint=absolute(getattr(args, "sam2_checkpoint", None)),
            device=getattr(args, "device", None),
            box_threshold=getattr(args, "box_threshold", DEFAULT_BOX_THRESHOLD),
            text_threshold=getattr(args, "text_threshold", DEFAULT_TEXT_THRESHOLD),
            offload_video_to_cpu=bool(getattr(args, "offload_video_to_cpu", False)),
            offload_state_to_cpu=bool(getattr(args, "offload_state_to_cpu", False)),
            detector=with_detector,
        )

    @property
    def standin(self) -> bool:
        return self.gdino is None and self.sam2_config is None and self.sam2_checkpoint is None

    def deciding(self) -> dict:
        """The settings that decide the results: all but where the video predictor keeps its memory."""
        fields = dataclasses.asdict(self)
        del fields["offload_video_to_cpu"], fields["offload_state_to_cpu"]
        return fields


@dataclasses.dataclass
class Models:
    """The model objects handed to the library, and whether they are the stand-ins.

    `processor` applies `box_threshold` in its post-processing; the start-frame
    search is to be called with gdino_thr = `text_threshold`. `video_tracker`
    has `track(frame_names, start_masks, ann_frame_idx, object_ids)` (the whole result) and
    `track_frames(...)` with the same arguments (the frames one by one, as it goes). Without a
    detector (`ModelSettings.detector` false) processor, grounding_model and
    video_tracker are None.
    """

    processor: object
    grounding_model: object
    image_predictor: object
    video_tracker: object
    device: str
    standin: bool
    description: str
    box_threshold: float = DEFAULT_BOX_THRESHOLD
    text_threshold: float = DEFAULT_TEXT_THRESHOLD


# ------------------------------------------------------------------ command-line options


def _unit_interval(text):
    try:
        value = float(text)
    except ValueError:
        raise argparse.ArgumentTypeError(f"expected a number from 0 to 1, got {text!r}") from None
    if not 0.0 <= value <= 1.0:
        raise argparse.ArgumentTypeError(f"expected a number from 0 to 1, got {text}")
    return value


def add_model_arguments(parser, with_detector=True):
    """The model option group on an argparse (sub)parser; `ModelSettings.from_args` reads it back."""
    g = parser.add_argument_group(
        "models", "without weights the built-in colour-threshold stand-ins are used "
                  "(they only work on the synthetic sample)")
    if with_detector:
        g.add_argument("--gdino", metavar="DIR",
                       help="folder of a transformers Grounding DINO model (save_pretrained layout, or a "
                            "downloaded model folder)")
    g.add_argument("--sam2-config", metavar="CFG",
                   help="SAM2 config: a name in the sam2 package (configs/sam2.1/sam2.1_hiera_t.yaml) or a "
                        "config file")
    g.add_argument("--sam2-checkpoint", metavar="CKPT", help="SAM2 checkpoint file matching the config")
    g.add_argument("--device", help="compute device, e.g. cuda, cuda:1, cpu (default: cuda when available)")
    if with_detector:
        g.add_argument("--box-threshold", metavar="SCORE", type=_unit_interval, default=DEFAULT_BOX_THRESHOLD,
                       help=f"detector score a box needs to be kept (default {DEFAULT_BOX_THRESHOLD})")
        g.add_argument("--text-threshold", metavar="SCORE", type=_unit_interval, default=DEFAULT_TEXT_THRESHOLD,
                       help=f"detector score a word needs to label a box (default {DEFAULT_TEXT_THRESHOLD})")
        g.add_argument("--offload-video-to-cpu", action="store_true",
                       help="video predictor: keep a segment's frames in CPU memory, not on the GPU")
        g.add_argument("--offload-state-to-cpu", action="store_true",
                       help="video predictor: keep its tracking state in CPU memory (saves GPU memory, "
                            "tracks a little slower)")
    return g


# ------------------------------------------------------------------ loading


_LOADED = {}


def load_models(settings: ModelSettings = None) -> Models:
    """The models of `settings`, loaded on the first call in this process and cached after it."""
    settings = settings if settings is not None else ModelSettings()
    if settings not in _LOADED:
        _LOADED[settings] = check_models(settings)
    return _LOADED[settings]


def check_models(settings: ModelSettings = None) -> Models:
    """Load and check the models of `settings`; raises ModelLoadError with one line on any fault.

    Not cached: the driver checks, drops the result, and leaves the loading for
    the work to `load_models` in each worker.
    """
    settings = settings if settings is not None else ModelSettings()
    _check_settings(settings)
    if settings.standin:
        return _standins(settings)
    torch = _require("torch", "torch")
    if settings.detector:
        _require("transformers", "transformers")
    _require("sam2.build_sam", "sam2")
    _require("sam2.sam2_image_predictor", "sam2")
    device = _device(torch, settings.device)
    processor = grounding_model = tracker = None
    if settings.detector:
        processor, grounding_model = _load_detector(settings, device)
    sam_model = _load_segmenter(torch, settings, device)
    from sam2.sam2_image_predictor import SAM2ImagePredictor

    # one set of segmenter weights serves both predictors: the image predictor
    # uses only the encoder and decoder the video predictor also has
    image_predictor = SAM2ImagePredictor(sam_model)
    if settings.detector:
        tracker = Sam2VideoTracker(sam_model, settings.offload_video_to_cpu, settings.offload_state_to_cpu)
    return Models(processor, grounding_model, image_predictor, tracker, device, False, _describe(settings, device),
                  settings.box_threshold, settings.text_threshold)


def _check_settings(s):
    if s.detector:
        given = [s.gdino is not None, s.sam2_config is not None, s.sam2_checkpoint is not None]
        if any(given) and not all(given):
            raise ModelLoadError("give --gdino, --sam2-config and --sam2-checkpoint together, or none of them")
    elif (s.sam2_config is None) != (s.sam2_checkpoint is None):
        raise ModelLoadError("give --sam2-config and --sam2-checkpoint together, or neither")
    for name in ("box_threshold", "text_threshold"):
        value = getattr(s, name)
        if not 0.0 <= value <= 1.0:
            raise ModelLoadError(f"{name.replace('_', ' ')} must lie from 0 to 1, got {value}")
    if s.gdino is not None and not os.path.isdir(s.gdino):
        raise ModelLoadError(f"Grounding DINO folder not found: {s.gdino} (give a folder written by "
                             "save_pretrained or a downloaded model folder)")
    if s.sam2_checkpoint is not None and not os.path.isfile(s.sam2_checkpoint):
        raise ModelLoadError(f"SAM2 checkpoint not found: {s.sam2_checkpoint}")


def _standins(settings):
    from herdmask.testing import COLOUR_NOTICE, colour_models

    torch = _require("torch", "torch", extra="demo")
    device = "cpu" if settings.device is None else _device(torch, settings.device)
    processor, model, predictor, tracker = colour_models(device)
    if not settings.detector:
        return Models(None, None, predictor, None, device, True, FEATURES_STANDIN_NOTICE,
                      settings.box_threshold, settings.text_threshold)
    return Models(ThresholdProcessor(processor, settings.box_threshold), model, predictor, tracker, device, True,
                  COLOUR_NOTICE, settings.box_threshold, settings.text_threshold)


def _describe(s, device):
    parts = []
    if s.detector:
        parts.append(f"Grounding DINO from {s.gdino} (box threshold {s.box_threshold}, "
                     f"text threshold {s.text_threshold})")
    parts.append(f"SAM2 {s.sam2_config} with {s.sam2_checkpoint}")
    offload = [what for what, on in (("frames", s.offload_video_to_cpu), ("state", s.offload_state_to_cpu)) if on]
    text = f"Using {' and '.join(parts)} on {device}"
    if offload:
        text += f"; the video predictor keeps its {' and '.join(offload)} in CPU memory"
    return text + "."


def _one_line(exc):
    text = str(exc).strip().splitlines()
    return f"{type(exc).__name__}: {text[0]}" if text else type(exc).__name__


def _require(module, package, extra="models"):
    import importlib

    try:
        return importlib.import_module(module)
    except Exception as exc:  # noqa: BLE001 - a package that fails to import is as good as missing
        needs = "the real models need" if extra == "models" else "the stand-in models need"
        raise MissingPackage(f"{needs} the package {package}, which does not load here ({_one_line(exc)}); "
                             f"install it with: pip install 'herdmask[{extra}]'") from exc


def _device(torch, name):
    if name is None:
        return "cuda" if torch.cuda.is_available() else "cpu"
    try:
        device = torch.device(name)
    except (RuntimeError, ValueError) as exc:
        raise ModelLoadError(f"--device {name}: not a device name torch knows ({_one_line(exc)})") from exc
    if device.type == "cuda":
        if not torch.cuda.is_available():
            raise ModelLoadError(f"device {name} is not available: this torch ({torch.__version__}) sees no CUDA "
                                 "device here; use --device cpu or install the torch build for your GPU")
        count = torch.cuda.device_count()
        if device.index is not None and device.index >= count:
            raise ModelLoadError(f"device {name} is not available: there are {count} CUDA devices here")
    else:
        try:
            torch.empty(1, device=device)
        except Exception as exc:  # noqa: BLE001 - whatever torch says, the device cannot be used
            raise ModelLoadError(f"device {name} is not available here ({_one_line(exc)})") from exc
    return str(device)


def _load_detector(settings, device):
    from transformers import AutoModelForZeroShotObjectDetection, AutoProcessor

    folder = settings.gdino
    if not os.path.isfile(os.path.join(folder, "config.json")):
        raise ModelLoadError(f"{folder} holds no model (no config.json): give a folder written by "
                             "save_pretrained or a downloaded model folder")
    try:
        processor = AutoProcessor.from_pretrained(folder, local_files_only=True)
        model = AutoModelForZeroShotObjectDetection.from_pretrained(folder, local_files_only=True)
    except Exception as exc:  # noqa: BLE001 - the library's own words, on one line
        raise ModelLoadError(f"cannot load the Grounding DINO model in {folder}: {_one_line(exc)}") from exc
    if not hasattr(processor, "post_process_grounded_object_detection"):
        raise ModelLoadError(f"{folder} holds a {model.config.model_type} model, not Grounding DINO")
    return ThresholdProcessor(processor, settings.box_threshold), model.to(device).eval()


@contextlib.contextmanager
def _config_name(config):
    """The name under which the segmenter's config loader finds `config`, for the duration of a build.

    The loader searches the sam2 package only; a config file elsewhere is found
    by searching its own folder instead while the model is built.
    """
    import sam2

    package_dir = os.path.dirname(os.path.abspath(sam2.__file__))
    if not os.path.isfile(config):
        if not any(os.path.isfile(os.path.join(package_dir, name)) for name in (config, config + ".yaml")):
            raise ModelLoadError(f"SAM2 config not found: {config} is neither a file nor a config of the sam2 "
                                 f"package{_config_hint(package_dir, config)}")
        yield config
        return
    path = os.path.abspath(config)
    inside = os.path.relpath(path, package_dir)
    if not inside.startswith(os.pardir):
        yield inside
        return
    from hydra import initialize_config_dir
    from hydra.core.global_hydra import GlobalHydra

    saved = GlobalHydra.instance().hydra
    GlobalHydra.instance().clear()
    try:
        with initialize_config_dir(config_dir=os.path.dirname(path), version_base="1.2"):
            yield os.path.basename(path)
    finally:
        GlobalHydra.instance().hydra = saved


def _config_hint(package_dir, config):
    base = os.path.basename(config)
    found = []
    for root, _, files in os.walk(os.path.join(package_dir, "configs")):
        found += [os.path.relpath(os.path.join(root, f), package_dir) for f in files if f in (base, base + ".yaml")]
    if found:
        return f"; did you mean {' or '.join(sorted(found))}?"
    return " (names look like configs/sam2.1/sam2.1_hiera_t.yaml)"


def _load_segmenter(torch, settings, device):
    from sam2.build_sam import build_sam2, build_sam2_video_predictor

    build = build_sam2_video_predictor if settings.detector else build_sam2
    with _config_name(settings.sam2_config) as name:
        try:
            model = build(name, None, device="cpu")
        except Exception as exc:  # noqa: BLE001 - the config does not describe a model
            raise ModelLoadError(f"cannot build a SAM2 model from the config {settings.sam2_config}: "
                                 f"{_one_line(exc)}") from exc
    _load_checkpoint(torch, model, settings.sam2_checkpoint, settings.sam2_config)
    return model.to(device).eval()


def _load_checkpoint(torch, model, path, config):
    try:
        state = torch.load(path, map_location="cpu", weights_only=True)
    except Exception as exc:  # noqa: BLE001 - not a file torch can read
        raise ModelLoadError(f"cannot read the SAM2 checkpoint {path}: {_one_line(exc)}") from exc
    weights = state.get("model") if isinstance(state, dict) else None
    if not isinstance(weights, dict):
        raise ModelLoadError(f"{path} is not a SAM2 checkpoint (it holds no 'model' entry of weights)")
    own = model.state_dict()
    missing = [k for k in own if k not in weights]
    unexpected = [k for k in weights if k not in own]
    reshaped = [k for k in own if k in weights and tuple(getattr(weights[k], "shape", ())) != tuple(own[k].shape)]
    if missing or unexpected or reshaped:
        counts = [f"{len(keys)} weights {what}" for keys, what in
                  ((missing, "missing"), (unexpected, "unexpected"), (reshaped, "of another shape")) if keys]
        example = (reshaped or missing or unexpected)[0]
        raise ModelLoadError(f"the SAM2 checkpoint {path} does not match the config {config}: {', '.join(counts)} "
                             f"(e.g. {example}); a checkpoint fits only the config of its model size")
    model.load_state_dict(weights)


# ------------------------------------------------------------------ adapters


class ThresholdProcessor:
    """The detector's processor with the box score threshold applied in its post-processing.

    The start-frame search hands the post-processing its text threshold only;
    everything else is the wrapped processor's own.
    """

    def __init__(self, processor, box_threshold):
        self.processor = processor
        self.box_threshold = box_threshold
        post = processor.post_process_grounded_object_detection
        params = inspect.signature(post).parameters
        # transformers named it box_threshold before 4.51
        self._keyword = "threshold" if "threshold" in params or "box_threshold" not in params else "box_threshold"

    def __call__(self, *args, **kwargs):
        return self.processor(*args, **kwargs)

    def __getattr__(self, name):
        if name.startswith("__") or name == "processor":
            raise AttributeError(name)
        return getattr(self.processor, name)

    def post_process_grounded_object_detection(self, outputs, input_ids=None, *args, **kwargs):
        if not args:
            kwargs.setdefault(self._keyword, self.box_threshold)
        return self.processor.post_process_grounded_object_detection(outputs, input_ids, *args, **kwargs)


class Sam2VideoTracker:
    """The official video predictor behind the stand-in tracker's `track` and `track_frames` calls.

    The predictor reads a whole frame folder itself, ordered by frame number;
    when that is not exactly `frame_names` in order, it is given a folder of
    links named by position instead, so frame indices always mean positions in
    `frame_names`.
    """

    def __init__(self, predictor, offload_video_to_cpu=False, offload_state_to_cpu=False):
        self.predictor = predictor
        self.offload_video_to_cpu = offload_video_to_cpu
        self.offload_state_to_cpu = offload_state_to_cpu

    def track(self, frame_names, start_masks, ann_frame_idx, object_ids=None):
        """video_segments {frame index: {object id: 1 x H x W bool mask}} over all of `frame_names`."""
        segments = dict(self.track_frames(frame_names, start_masks, ann_frame_idx, object_ids))
        return {k: segments[k] for k in sorted(segments)}

    def track_frames(self, frame_names, start_masks, ann_frame_idx, object_ids=None):
        """Yields (frame index, {object id: 1 x H x W bool mask}) as the predictor propagates: the
        start frame and the frames after it, then, from a later start frame, the start frame again
        and the frames before it, backward. A frame handed over twice counts as its last version."""
        import torch

        masks = np.asarray(start_masks)
        masks = masks.reshape((-1,) + masks.shape[-2:])
        ids = list(object_ids) if object_ids is not None else list(range(1, masks.shape[0] + 1))
        if len(ids) != masks.shape[0]:
            raise ValueError(f"{len(ids)} object ids for {masks.shape[0]} masks")
        if not 0 <= ann_frame_idx < len(frame_names):
            raise IndexError(f"start frame {ann_frame_idx} outside the {len(frame_names)} frames")
        with _folder_of(frame_names) as folder:
            with torch.inference_mode():
                state = self.predictor.init_state(video_path=folder, offload_video_to_cpu=self.offload_video_to_cpu,
                                                  offload_state_to_cpu=self.offload_state_to_cpu)
                for oid, m in zip(ids, masks):
                    self.predictor.add_new_mask(state, ann_frame_idx, oid, m > 0)
            for reverse in (False, True) if ann_frame_idx > 0 else (False,):
                steps = self.predictor.propagate_in_video(state, reverse=reverse)
                while True:
                    # Inference mode only around the predictor's own step: whoever takes the
                    # frames between steps runs in the mode it chose.
                    with torch.inference_mode():
                        step = next(steps, None)
                        if step is None:
                            break
                        idx, out_ids, logits = step
                        frame = {oid: (logits[i] > 0.0).cpu().numpy() for i, oid in enumerate(out_ids)}
                    yield idx, frame


def _loader_order(folder):
    """The frame files of `folder` in the order the segmenter's video loader reads them, or None."""
    names = [n for n in os.listdir(folder) if os.path.splitext(n)[1] in _VIDEO_LOADER_EXTENSIONS]
    stems = [os.path.splitext(n)[0] for n in names]
    if not all(s.isdigit() for s in stems):
        return None
    return [os.path.join(folder, n) for _, n in sorted(zip(map(int, stems), names))]


@contextlib.contextmanager
def _folder_of(frame_names):
    paths = [os.path.abspath(p) for p in frame_names]
    folder = os.path.dirname(paths[0]) if paths else ""
    if paths and _loader_order(folder) == paths:
        yield folder
        return
    links = tempfile.mkdtemp(prefix="herdmask-frames-")
    try:
        for i, path in enumerate(paths):
            link = os.path.join(links, f"{i:06d}.jpg")
            try:
                os.symlink(path, link)
            except OSError:  # a file system without symbolic links
                shutil.copyfile(path, link)
        yield links
    finally:
        shutil.rmtree(links, ignore_errors=True)
