"""Model settings, loading faults, the detector's thresholds and the documented driver."""

import os
import pickle
import re

import pytest

from herdmask.app import cli
from herdmask.app.models import (ModelLoadError, ModelSettings, ThresholdProcessor, check_models, load_models)

DOCS = os.path.join(os.path.dirname(__file__), "..", "..", "docs")


def docs_block(page):
    """The first python block of a documentation page, with the page's path for tracebacks."""
    path = os.path.join(DOCS, page)
    return re.search(r"```python\n(.*?)```", open(path).read(), re.S).group(1), path


def test_options_reach_the_settings():
    args = cli.build_parser().parse_args(
        ["run", "rec", "--out", "o", "--gdino", "g", "--sam2-config", "configs/x.yaml", "--sam2-checkpoint", "c.pt",
         "--box-threshold", "0.4", "--text-threshold", "0.3", "--offload-video-to-cpu", "--offload-state-to-cpu"])
    s = ModelSettings.from_args(args)
    # paths made absolute for workers elsewhere; a config name that is no file stays a name in the package
    assert s.gdino == os.path.abspath("g") and s.sam2_config == "configs/x.yaml"
    assert (s.box_threshold, s.text_threshold, s.offload_video_to_cpu, s.offload_state_to_cpu) == (0.4, 0.3, True, True)
    assert pickle.loads(pickle.dumps(s)) == s and s.detector and not s.standin
    # where the tracker keeps its memory changes no result: a rerun with it redoes nothing
    assert "offload_video_to_cpu" not in s.deciding() and s.deciding()["box_threshold"] == 0.4
    review = ModelSettings.from_args(cli.build_parser().parse_args(["review", "a", "--out", "o"]))
    assert not review.detector and review.standin
    with pytest.raises(SystemExit):
        cli.build_parser().parse_args(["run", "rec", "--out", "o", "--box-threshold", "1.5"])


def _fault(tmp_path, case):
    folder, ckpt = tmp_path / "gdino", tmp_path / "sam2.pt"
    folder.mkdir(exist_ok=True)
    ckpt.write_bytes(b"")
    return {
        "partial": (ModelSettings(gdino=str(folder)), "together"),
        "no folder": (ModelSettings(gdino=str(tmp_path / "nope"), sam2_config="c", sam2_checkpoint=str(ckpt)),
                      "Grounding DINO folder not found"),
        "no checkpoint": (ModelSettings(sam2_config="c", sam2_checkpoint=str(tmp_path / "no.pt"), detector=False),
                          "SAM2 checkpoint not found"),
        "no device": (ModelSettings(device="cuda:7"), "device cuda:7 is not available"),
        "bad device": (ModelSettings(device="abacus"), "not a device name"),
    }[case]


@pytest.mark.parametrize("case", ["partial", "no folder", "no checkpoint", "no device", "bad device"])
def test_model_faults_stop_with_one_line(tmp_path, case):
    pytest.importorskip("torch")
    settings, words = _fault(tmp_path, case)
    with pytest.raises(ModelLoadError) as exc:
        check_models(settings)
    assert words in str(exc.value) and "\n" not in str(exc.value)


def test_missing_package_names_the_install_command(tmp_path):
    try:
        import sam2.sam2_image_predictor  # noqa: F401
        pytest.skip("the segmenter package loads here")
    except Exception:  # noqa: BLE001
        pass
    (tmp_path / "gdino").mkdir()
    (tmp_path / "sam2.pt").write_bytes(b"")
    with pytest.raises(ModelLoadError, match=r"package sam2,.*pip install 'herdmask\[models\]'"):
        check_models(ModelSettings(str(tmp_path / "gdino"), "c.yaml", str(tmp_path / "sam2.pt")))


def test_commands_stop_before_any_work_without_a_traceback(tmp_path, capsys):
    from herdmask.app import samples

    samples.make_sample_recording(str(tmp_path / "rec"), "tiny")
    (tmp_path / "ann").mkdir()
    missing = str(tmp_path / "missing.pt")
    assert cli.main(["run", str(tmp_path / "rec"), "--out", str(tmp_path / "o"), "--gdino", str(tmp_path / "g"),
                     "--sam2-config", "c", "--sam2-checkpoint", missing]) == 2
    assert cli.main(["review", str(tmp_path / "ann"), "--out", str(tmp_path / "r"), "--sam2-config", "c",
                     "--sam2-checkpoint", missing]) == 2
    err = capsys.readouterr().err.splitlines()
    assert err == [f"herdmask run: Grounding DINO folder not found: {tmp_path / 'g'} (give a folder written by "
                   "save_pretrained or a downloaded model folder)",
                   f"herdmask review: SAM2 checkpoint not found: {missing}"]
    assert not os.path.exists(tmp_path / "o") and not os.path.exists(tmp_path / "r")


def test_box_threshold_reaches_the_post_processing(tmp_path):
    pytest.importorskip("torch")
    from PIL import Image

    import herdmask as hm
    from herdmask.testing import StandInGroundingModel, StandInImagePredictor, StandInProcessor

    path = tmp_path / "0000.jpg"
    Image.new("RGB", (40, 30)).save(path)
    pen = tmp_path / "pen.json"
    pen.write_text('{"shapes": [{"points": [[0, 0], [40, 0], [40, 30], [0, 30]]}]}')
    standin = StandInProcessor({"0000": [(2, 2, 20, 20, 0.9, "pig")]})
    hm.initializer(str(tmp_path), [str(path)], ThresholdProcessor(standin, 0.6), StandInGroundingModel(), "cpu",
                   StandInImagePredictor(), gdino_thr=0.3, close_set_num=1, custom_pen_json_path=str(pen))
    assert [(c["threshold"], c["text_threshold"]) for c in standin.post_process_calls] == [(0.6, 0.3)]

    class OlderProcessor:  # the detector library named it box_threshold before
        def post_process_grounded_object_detection(self, outputs, input_ids=None, box_threshold=0.25,
                                                   text_threshold=0.25, target_sizes=None):
            return box_threshold, text_threshold

    assert ThresholdProcessor(OlderProcessor(), 0.6).post_process_grounded_object_detection(
        None, None, text_threshold=0.3) == (0.6, 0.3)


def test_standins_load_once_with_the_thresholds():
    pytest.importorskip("torch")
    settings = ModelSettings(box_threshold=0.5, text_threshold=0.4)
    models = load_models(settings)
    assert load_models(settings) is models and models.standin
    assert (models.processor.box_threshold, models.text_threshold) == (0.5, 0.4)
    assert check_models(settings) is not models  # the driver's check loads afresh and keeps nothing


def test_documented_driver_runs_as_printed(tmp_path, monkeypatch, capsys):
    """The driver page's script on the generated sample, with the stand-in models it names."""
    pytest.importorskip("torch")
    from herdmask.app import samples

    samples.make_sample_recording(str(tmp_path / "recordings"), "tiny")
    monkeypatch.chdir(tmp_path)
    exec(compile(*docs_block("driver.md"), "exec"), {"__name__": "__driver__"})
    out = capsys.readouterr().out
    videos = sorted(os.listdir(tmp_path / "annotations"))
    assert len(videos) == 2 and "works for mask finding" in out  # the second video carried the first's keys
    for video in videos:
        (segment,) = os.listdir(tmp_path / "annotations" / video)
        assert len(os.listdir(tmp_path / "annotations" / video / segment)) == 29
        assert os.path.isdir(tmp_path / "reports" / video / segment)
    assert os.path.isfile(tmp_path / "last_segment_coco.json")
