"""Bad input against every exported step: each row names the input and the outcome
expected of it, either a result or a Python exception of a stated type. None may
crash the process, hang or leave a partial file behind."""

import json
import os
import struct
from dataclasses import dataclass
from typing import Any, Callable, Optional

import numpy as np
import pandas as pd
import pytest
from PIL import Image

import herdmask as hm

H, W = 24, 32


def blob(y0=4, x0=4, h=6, w=8, shape=(H, W), dtype=bool):
    m = np.zeros(shape, dtype)
    m[y0:y0 + h, x0:x0 + w] = 1
    return m


@dataclass
class Files:
    """Files every row may use, made once per test in a fresh folder."""

    root: str
    image: str
    pen: str
    annotation: str
    bad_json: str
    wrong_types_json: str
    no_shapes_json: str
    missing_key_json: str
    folder_as_file: str
    missing: str
    truncated_video: str
    still_video: str
    video: str
    zero_rate_video: str


@pytest.fixture
def files(tmp_path):
    root = str(tmp_path)
    image = os.path.join(root, "frame.jpg")
    Image.fromarray(np.full((H, W, 3), 90, np.uint8)).save(image)

    def write(name, text):
        path = os.path.join(root, name)
        with open(path, "w") as f:
            f.write(text)
        return path

    pen = write("pen.json", json.dumps({"shapes": [{"points": [[2, 2], [30, 2], [30, 22], [2, 22]]}]}))
    annotation = write("output_pp_3.json", json.dumps({
        "image_path": image,
        "detections": [{"object_id": 1, "xyxy": [[4, 4, 12, 10]],
                        "formatted_polygon": ["pig 0.125 0.2 0.375 0.2 0.375 0.4 0.125 0.4"]}],
    }))
    bad_json = write("bad.json", '{"shapes": [{"points": [[1, 2], [3')
    wrong_types = write("wrong.json", json.dumps({
        "shapes": "not a list", "image_path": image,
        "detections": [{"object_id": "x", "xyxy": "oops", "formatted_polygon": "pig 0.1 0.1"}],
    }))
    no_shapes = write("noshapes.json", json.dumps({"shapes": []}))
    missing_key = write("missingkey.json", json.dumps({"image": image}))
    folder = os.path.join(root, "a_folder.json")
    os.mkdir(folder)

    import cv2

    video = os.path.join(root, "full.mp4")
    writer = cv2.VideoWriter(video, cv2.VideoWriter_fourcc(*"mp4v"), 25, (W * 4, H * 4))
    for i in range(30):
        writer.write(np.full((H * 4, W * 4, 3), i * 8, np.uint8))
    writer.release()
    truncated = os.path.join(root, "truncated.mp4")
    with open(video, "rb") as f:
        data = f.read()
    with open(truncated, "wb") as f:
        f.write(data[: len(data) // 3])
    # A single still image opened as a video: OpenCV reports a frame rate of 0 for it.
    still = os.path.join(root, "still.jpg")
    Image.fromarray(np.zeros((H, W, 3), np.uint8)).save(still)
    zero_rate = os.path.join(root, "zero_rate.avi")
    writer = cv2.VideoWriter(zero_rate, cv2.VideoWriter_fourcc(*"MJPG"), 5, (W, H))
    for i in range(5):
        writer.write(np.full((H, W, 3), i * 40, np.uint8))
    writer.release()
    with open(zero_rate, "r+b") as f:
        data = bytearray(f.read())
        at = data.find(b"strh")
        data[at + 32:at + 36] = struct.pack("<I", 0)  # dwRate
        f.seek(0)
        f.write(data)
    return Files(root, image, pen, annotation, bad_json, wrong_types, no_shapes, missing_key,
                 folder, os.path.join(root, "nope.json"), truncated, still, video, zero_rate)


@dataclass
class Row:
    function: str
    case: str
    call: Callable[[Files], Any]
    raises: Optional[type] = None
    check: Optional[Callable[[Any], bool]] = None

    @property
    def id(self):
        return f"{self.function}: {self.case}"


def ok(predicate=lambda r: True):
    return predicate


ROWS = [
    # --- pen polygon and in-pen tests
    Row("draw_pen", "missing file", lambda f: hm.draw_pen("x", f.missing), FileNotFoundError),
    Row("draw_pen", "a folder instead of a file", lambda f: hm.draw_pen("x", f.folder_as_file), OSError),
    Row("draw_pen", "malformed JSON", lambda f: hm.draw_pen("x", f.bad_json), ValueError),
    Row("draw_pen", "shapes is a text", lambda f: hm.draw_pen("x", f.wrong_types_json), TypeError),
    Row("draw_pen", "empty shapes", lambda f: hm.draw_pen("x", f.no_shapes_json), ValueError),
    Row("draw_pen", "missing shapes key", lambda f: hm.draw_pen("x", f.missing_key_json), KeyError),
    Row("draw_pen", "missing image when drawing", lambda f: hm.draw_pen(f.missing, f.pen, True),
        FileNotFoundError),
    Row("calculate_pen_intersection_ratio", "no boxes",
        lambda f: hm.calculate_pen_intersection_ratio([(0, 0), (10, 0), (10, 10)], [], 40),
        check=lambda r: r == ([], [])),
    Row("calculate_pen_intersection_ratio", "zero-area box",
        lambda f: hm.calculate_pen_intersection_ratio([(0, 0), (10, 0), (10, 10)], [(1, 1, 1, 5)], 40),
        ZeroDivisionError),
    Row("calculate_pen_intersection_ratio", "two-point polygon",
        lambda f: hm.calculate_pen_intersection_ratio([(0, 0), (10, 0)], [(1, 1, 2, 2)], 40), ValueError),
    Row("calculate_pen_intersection_ratio", "NaN vertex",
        lambda f: hm.calculate_pen_intersection_ratio([(0, 0), (np.nan, 0), (10, 10)], [(1, 1, 2, 2)], 40),
        ValueError),
    Row("calculate_pen_intersection_ratio", "infinite box corner",
        lambda f: hm.calculate_pen_intersection_ratio([(0, 0), (10, 0), (10, 10)], [(1, 1, np.inf, 2)], 40),
        ValueError),
    Row("calculate_pen_intersection_ratio", "box with three numbers",
        lambda f: hm.calculate_pen_intersection_ratio([(0, 0), (10, 0), (10, 10)], [(1, 1, 2)], 40),
        (IndexError, ValueError)),
    Row("calculate_pen_intersection_ratio", "huge coordinates",
        lambda f: hm.calculate_pen_intersection_ratio([(0, 0), (1e300, 0), (0, 1e300)], [(0, 0, 1e290, 1e290)], 40),
        check=lambda r: len(r[0]) == 1),
    Row("get_in_pen_mask", "float mask", lambda f: hm.get_in_pen_mask(0, blob(dtype=np.float64), f.pen, [f.image]),
        check=lambda r: r.dtype == np.float64 and r.shape == (H, W)),
    Row("get_in_pen_mask", "Fortran-ordered uint8", lambda f: hm.get_in_pen_mask(
        0, np.asfortranarray(blob(dtype=np.uint8)), f.pen, [f.image]), check=lambda r: r.shape == (H, W)),
    Row("get_in_pen_mask", "empty 0 x 0 mask", lambda f: hm.get_in_pen_mask(0, np.zeros((0, 0), bool), f.pen, [f.image]),
        check=lambda r: r.shape == (0, 0)),
    Row("get_in_pen_mask", "stack of two masks", lambda f: hm.get_in_pen_mask(0, np.ones((2, H, W), bool), f.pen, [f.image]),
        check=lambda r: r.shape == (2, H, W) and (r[0] == r[1]).all() and not r[0, 0, 0]),
    Row("get_in_pen_mask", "missing pen file", lambda f: hm.get_in_pen_mask(0, blob(), f.missing, [f.image]),
        FileNotFoundError),
    Row("get_in_pen_mask", "frame index past the names", lambda f: hm.get_in_pen_mask(5, blob(), f.pen, [f.image]),
        IndexError),
    Row("compute_motion_score_in_polygon", "five frames only",
        lambda f: hm.compute_motion_score_in_polygon([f.image] * 5, {"a": blob()}), IndexError),
    Row("compute_motion_score_in_polygon", "unreadable frames",
        lambda f: hm.compute_motion_score_in_polygon([f.missing] * 6, {"a": blob()}), (FileNotFoundError, ValueError)),
    Row("compute_motion_score_in_polygon", "mask of another size",
        lambda f: hm.compute_motion_score_in_polygon([f.image] * 6, {"a": blob(shape=(H + 1, W))}), ValueError),
    # --- measures
    Row("calculate_iou", "zero-area boxes", lambda f: hm.calculate_iou((0, 0, 0, 0), (0, 0, 0, 0)),
        check=lambda r: r == 0 and isinstance(r, int)),
    Row("calculate_iou", "NaN coordinate", lambda f: hm.calculate_iou((0, 0, np.nan, 1), (0, 0, 1, 1)),
        check=lambda r: r == 0 or np.isnan(r)),
    Row("calculate_iou", "box with two numbers", lambda f: hm.calculate_iou((0, 0), (0, 0, 1, 1)), IndexError),
    Row("calculate_masks_intersection", "int64 masks", lambda f: hm.calculate_masks_intersection(
        blob(dtype=np.int64), blob(dtype=np.int64)), check=lambda r: r == 100.0),
    Row("calculate_masks_intersection", "object arrays", lambda f: hm.calculate_masks_intersection(
        blob().astype(object), blob()), check=lambda r: r == 100.0),
    Row("calculate_masks_intersection", "strided view", lambda f: hm.calculate_masks_intersection(
        blob(shape=(2 * H, 2 * W))[::2, ::2], blob()), check=lambda r: 0 <= r <= 100),
    Row("calculate_masks_intersection", "mismatched sizes", lambda f: hm.calculate_masks_intersection(
        blob(), blob(shape=(H, W + 1))), ValueError),
    Row("calculate_masks_intersection", "1-D array", lambda f: hm.calculate_masks_intersection(
        np.ones(5, bool), np.ones(5, bool)), ValueError),
    Row("calculate_masks_intersection", "empty masks", lambda f: hm.calculate_masks_intersection(
        np.zeros((0, 5), bool), np.zeros((0, 5), bool)), check=lambda r: r == 0 and isinstance(r, int)),
    Row("calculate_masks_intersection_new", "NaN areas", lambda f: hm.calculate_masks_intersection_new(
        blob(), blob(), np.nan, 0), check=lambda r: r == (0, 0)),
    Row("intersection_between_masks", "mismatched sizes", lambda f: hm.intersection_between_masks(
        {"Box0": blob(), "Box1": blob(shape=(H + 2, W))}), ValueError),
    Row("intersection_between_masks", "key missing from areas", lambda f: hm.intersection_between_masks(
        {"Box0": blob(), "Box1": blob()}, {"Box0": 48}), KeyError),
    Row("intersection_between_masks", "no masks", lambda f: hm.intersection_between_masks({}),
        check=lambda r: r.shape == (0, 0)),
    Row("cal_masks_iou_scores", "leading axes longer than 1", lambda f: hm.cal_masks_iou_scores(
        [np.zeros((3, H, W), bool)], [blob()]), ValueError),
    Row("cal_masks_iou_scores", "one side empty", lambda f: hm.cal_masks_iou_scores([], [blob()]),
        check=lambda r: r.shape == (0, 1)),
    Row("mask_contacts", "mismatched sizes", lambda f: hm.mask_contacts([blob(), blob(shape=(H, W + 1))]),
        ValueError),
    Row("mask_contacts", "negative reach", lambda f: hm.mask_contacts([blob(), blob()], reach=-1), ValueError),
    Row("mask_contacts", "reach beyond the frame", lambda f: hm.mask_contacts(
        {"a": blob(h=2, w=2), "b": blob(20, 28, 2, 2), "c": blob(h=0)}, reach=2**62),
        check=lambda r: r == [("a", "b", 0)]),
    Row("mask_contacts", "NaN pixels are set", lambda f: hm.mask_contacts(
        [blob(dtype=np.float32) * np.nan, blob(dtype=np.float32)]), check=lambda r: r == [(0, 1, 48)]),
    Row("mask_contacts", "no masks", lambda f: hm.mask_contacts([]), check=lambda r: r == []),
    Row("cal_centroid_distance", "no masks at all", lambda f: hm.cal_centroid_distance([], []), ValueError),
    Row("cal_centroid_distance", "float masks", lambda f: hm.cal_centroid_distance(
        [blob(dtype=np.float32)], [blob(dtype=np.float32)]), check=lambda r: r.shape == (1, 1)),
    Row("cosine_scores_cal", "vectors of different lengths", lambda f: hm.cosine_scores_cal(
        [np.ones(3)], [np.ones(4)]), ValueError),
    Row("cosine_scores_cal", "only None entries", lambda f: hm.cosine_scores_cal([None], [None]),
        check=lambda r: r.shape == (1, 1) and np.isneginf(r).all()),
    Row("cluster_masks_and_print", "only empty masks (nothing to cluster)", lambda f: hm.cluster_masks_and_print(
        {"Box0": np.zeros((H, W), bool)}), ValueError),
    Row("cluster_masks_and_print", "one empty mask among others", lambda f: hm.cluster_masks_and_print(
        {"Box0": np.zeros((H, W), bool), "Box1": blob()}), check=lambda r: r == {"Noise": [], "Cluster 0": ["Box1"]}),
    Row("draw_intersection_heatmap", "empty table", lambda f: hm.draw_intersection_heatmap(pd.DataFrame()),
        check=ok()),
    # --- annotation files
    Row("process_json_and_generate_masks", "missing file", lambda f: hm.process_json_and_generate_masks(
        f.missing, H, W), FileNotFoundError),
    Row("process_json_and_generate_masks", "malformed JSON", lambda f: hm.process_json_and_generate_masks(
        f.bad_json, H, W), ValueError),
    Row("process_json_and_generate_masks", "wrong types", lambda f: hm.process_json_and_generate_masks(
        f.wrong_types_json, H, W), (TypeError, ValueError)),
    Row("process_json_and_generate_masks", "missing key", lambda f: hm.process_json_and_generate_masks(
        f.missing_key_json, H, W), KeyError),
    Row("process_json_and_generate_masks", "negative size", lambda f: hm.process_json_and_generate_masks(
        f.annotation, -1, W), ValueError),
    Row("process_json_and_generate_masks", "zero size", lambda f: hm.process_json_and_generate_masks(
        f.annotation, 0, 0), check=lambda r: r[1].shape[1:] == (0, 0)),
    Row("retrieve_annotation", "missing file", lambda f: hm.retrieve_annotation(f.missing), FileNotFoundError),
    Row("retrieve_annotation", "missing image", lambda f: hm.retrieve_annotation(f.missing_key_json), KeyError),
    Row("fix_polygon_scaling", "malformed JSON", lambda f: hm.fix_polygon_scaling(
        f.bad_json, os.path.join(f.root, "out.json")), ValueError),
    Row("fix_polygon_scaling", "output folder missing", lambda f: hm.fix_polygon_scaling(
        f.annotation, os.path.join(f.root, "no", "out.json")), FileNotFoundError),
    Row("draw_masks_on_image", "mask larger than the image", lambda f: hm.draw_masks_on_image(
        Image.open(f.image), [blob(shape=(H + 5, W + 5))]), check=lambda r: r.size == (W, H)),
    Row("draw_masks_on_image", "no masks", lambda f: hm.draw_masks_on_image(Image.open(f.image), []),
        check=lambda r: r.mode == "RGBA"),
    Row("mask_outlines", "3-D mask", lambda f: hm.mask_outlines([np.ones((2, 4, 5), bool)]), ValueError),
    Row("mask_outlines", "empty 0 x 0 mask", lambda f: hm.mask_outlines([np.zeros((0, 0), bool)]),
        check=lambda r: r == [((0, 0, 0, 0), [])]),
    Row("img_bbx_drawing", "empty mask", lambda f: hm.img_bbx_drawing(
        Image.open(f.image), {"Box0": np.zeros((H, W), bool)}), check=ok()),
    Row("draw_labelled_masks", "fewer labels than masks", lambda f: hm.draw_labelled_masks(
        Image.open(f.image), [blob(), blob()], ["1"], [(1, 2, 3), (4, 5, 6)]), ValueError),
    Row("draw_labelled_masks", "colour channel past 255", lambda f: hm.draw_labelled_masks(
        Image.open(f.image), [blob()], ["1"], [(300, 0, 0)], label_size=30), ValueError),
    Row("draw_labelled_masks_i420", "fewer labels than masks", lambda f: hm.draw_labelled_masks_i420(
        np.zeros((24, 16), np.uint8), [[], []], ["1"], [(1, 2, 3), (4, 5, 6)], 11), ValueError),
    Row("draw_labelled_masks_i420", "a polygon text, not a list of them", lambda f: hm.draw_labelled_masks_i420(
        np.zeros((24, 16), np.uint8), ["pig 0.1 0.1 0.5 0.5 0.1 0.5"], ["1"], [(1, 2, 3)], 11), TypeError),
    Row("draw_labelled_masks_i420", "a picture of odd sides", lambda f: hm.draw_labelled_masks_i420(
        np.zeros((9, 7), np.uint8), [], [], [], 11), ValueError),
    Row("draw_labelled_masks_i420", "a 0 x 0 picture", lambda f: hm.draw_labelled_masks_i420(
        np.zeros((0, 0), np.uint8), [], [], [], 11), ValueError),
    Row("draw_labelled_masks_i420", "a vertex far outside the picture", lambda f: hm.draw_labelled_masks_i420(
        np.zeros((24, 16), np.uint8), [["pig 0.1 0.1 1e6 0.5 0.1 -1e6"]], ["1"], [(1, 2, 3)], 11), check=ok()),
    Row("label_tab", "empty label", lambda f: hm.label_tab("", (1, 2, 3), 11), check=lambda r: r.ndim == 3),
    Row("jpeg_to_i420", "missing file", lambda f: hm.jpeg_to_i420(f.missing, 16, 16), FileNotFoundError),
    Row("jpeg_to_i420", "a file that is not an image", lambda f: hm.jpeg_to_i420(f.annotation, 16, 16),
        ValueError),
    Row("jpeg_to_i420", "odd width", lambda f: hm.jpeg_to_i420(f.image, 15, 16), ValueError),
    Row("bgr_to_i420", "a frame of no rows", lambda f: hm.bgr_to_i420(np.zeros((0, 4, 3), np.uint8), 4, 4),
        ValueError),
    Row("bgr_to_i420", "size 0 x 0", lambda f: hm.bgr_to_i420(np.zeros((4, 4, 3), np.uint8), 0, 0), ValueError),
    Row("get_gsam_annotation_data", "missing folder", lambda f: hm.get_gsam_annotation_data(
        None, save_dir_base=f.missing), check=lambda r: r == (None, None)),
    Row("get_gsam_annotation_data", "file that is not JSON", lambda f: _annotation_folder(f, "{nope"),
        ValueError),
    # --- detection and features
    Row("process_gdino_results", "empty outer list", lambda f: hm.process_gdino_results([]), IndexError),
    Row("process_gdino_results", "missing boxes", lambda f: hm.process_gdino_results(
        [{"scores": np.zeros(0), "labels": []}]), KeyError),
    Row("enhance_dark_text", "gamma 0", lambda f: hm.enhance_dark_text(Image.open(f.image), 0),
        ZeroDivisionError),
    Row("enhance_dark_text", "empty image", lambda f: hm.enhance_dark_text(Image.new("RGB", (0, 0)), 1.5),
        check=lambda r: r.size == (0, 0)),
    # --- review
    Row("find_best_laste_frame", "no stored frames", lambda f: hm.find_best_laste_frame({}), IndexError),
    Row("find_best_laste_frame", "record without masks", lambda f: hm.find_best_laste_frame({0: {}}), KeyError),
    Row("find_best_laste_frame", "masks of two sizes", lambda f: hm.find_best_laste_frame(
        {0: {"masks_dict": {"Box0": blob(), "Box1": blob(shape=(H + 1, W))}}}), ValueError),
    Row("find_continuous_frames", "empty table", lambda f: hm.find_continuous_frames(
        pd.DataFrame(columns=["Box ID", "Frame ID"])), check=lambda r: r == {}),
    Row("find_continuous_frames", "missing column", lambda f: hm.find_continuous_frames(
        pd.DataFrame({"Frame ID": [1, 2]})), KeyError),
    Row("long_overlap_length", "no box pair column", lambda f: hm.long_overlap_length(
        pd.DataFrame({"Frame ID": [1, 2]})), KeyError),
    Row("long_overlap_runs", "no box pair column", lambda f: hm.long_overlap_runs(
        pd.DataFrame({"Frame ID": [1, 2]})), KeyError),
    Row("examined_frames", "step 0", lambda f: hm.examined_frames(10, 0, 0), ValueError),
    Row("matcher_removal_list", "no keys", lambda f: hm.matcher_removal_list(None), TypeError),
    Row("relink_by_position", "masks of two sizes", lambda f: hm.relink_by_position(
        {"Box0": blob()}, [blob(shape=(H + 1, W))]), ValueError),
    Row("relink_by_position", "no start masks", lambda f: hm.relink_by_position({"Box0": blob()}, []), ValueError),
    Row("generate_tracking_report", "report folder missing", lambda f: hm.generate_tracking_report(
        {0: {"frame_index": 0, "masks_dict": {"Box0": blob(h=0)}, "mask_areas": {"Box0": 0},
             "intersections_df": hm.intersection_between_masks({"Box0": blob(h=0)})}},
        os.path.join(f.root, "missing")), FileNotFoundError),
    Row("process_overlap_frames", "no overlap rows", lambda f: hm.process_overlap_frames(
        pd.DataFrame(columns=["Box Pair", "Frame ID"]), {}, None), (TypeError, ValueError)),
    Row("find_boxes_with_small_area_from_last_video", "record without areas",
        lambda f: hm.find_boxes_with_small_area_from_last_video({600: {}}), KeyError),
    # --- refinement
    Row("Mask_Refinement.process_video_segments", "mask with two long axes",
        lambda f: hm.Mask_Refinement(custom_pen_json_path=f.pen).process_video_segments(
            {0: {1: np.ones((2, H, W), bool)}}, "Camera61_1", [f.image]), ValueError),
    Row("Mask_Refinement.process_video_segments", "empty 0 x 0 mask",
        lambda f: hm.Mask_Refinement(custom_pen_json_path=f.pen).process_video_segments(
            {0: {1: np.zeros((1, 0, 0), bool)}}, "Camera61_1", [f.image]), check=ok()),
    Row("Mask_Refinement.process_video_segments", "missing pen file",
        lambda f: hm.Mask_Refinement(custom_pen_json_path=f.missing).process_video_segments(
            {0: {1: blob()[None]}}, "Camera61_1", [f.image]), FileNotFoundError),
    Row("Mask_Refinement.blob_shortest_distance", "empty images",
        lambda f: hm.Mask_Refinement().blob_shortest_distance(np.zeros((0, 0), np.uint8), np.zeros((0, 0), np.uint8)),
        check=lambda r: r == float("inf")),
    # --- video intake
    Row("VideoProcessor.get_video_duration", "missing video", lambda f: hm.VideoProcessor().get_video_duration(
        f.missing), check=lambda r: r == 0),
    # The video backend here substitutes 25 frames per second for a header rate of 0,
    # and reads a still image as a "video" with a nonsense frame count: both must return.
    Row("VideoProcessor.get_video_duration", "header rate 0", lambda f: hm.VideoProcessor().get_video_duration(
        f.zero_rate_video), check=lambda r: np.isfinite(r)),
    Row("VideoProcessor.get_video_duration", "still image", lambda f: hm.VideoProcessor().get_video_duration(
        f.still_video), check=lambda r: np.isfinite(r)),
    Row("VideoProcessor.get_video_duration", "truncated video", lambda f: hm.VideoProcessor().get_video_duration(
        f.truncated_video), check=lambda r: np.isfinite(r)),
    Row("VideoProcessor.find_orange_region", "grey frame", lambda f: hm.VideoProcessor().find_orange_region(
        np.zeros((H, W, 3), np.uint8)), check=lambda r: r is None),
    Row("VideoProcessor.find_orange_region", "two-channel frame", lambda f: hm.VideoProcessor().find_orange_region(
        np.zeros((H, W, 2), np.uint8)), ValueError),
    Row("VideoProcessor.find_orange_region", "empty frame", lambda f: hm.VideoProcessor().find_orange_region(
        np.zeros((0, 0, 3), np.uint8)), ValueError),
    Row("VideoProcessor.crop_video_to_frames", "truncated video", lambda f: hm.VideoProcessor(crop=False)
        .crop_video_to_frames(f.truncated_video, os.path.join(f.root, "trunc"), 0, 0.02), check=ok()),
    Row("VideoProcessor.crop_video_to_frames", "time_step 0", lambda f: hm.VideoProcessor(time_step=0)
        .process_videos_to_frames(_one_video_table(f)), ValueError),
    Row("VideoProcessor.crop_video_to_frames", "time_step 1e-300", lambda f: hm.VideoProcessor(time_step=1e-300)
        .process_videos_to_frames(_one_video_table(f)), ValueError),
    Row("VideoProcessor.crop_video_to_frames", "frame_skip 0", lambda f: hm.VideoProcessor(frame_skip=0)
        .crop_video_to_frames(f.truncated_video, os.path.join(f.root, "skip0"), 0, 0.01), ValueError),
    Row("list_all_files", "missing folder", lambda f: hm.list_all_files(f.missing), check=lambda r: r == []),
    Row("probe_video", "missing video", lambda f: hm.probe_video(f.missing), hm.UnreadableVideoError),
    Row("probe_video", "truncated video", lambda f: hm.probe_video(f.truncated_video), OSError),
    Row("probe_video", "still image (no frame count)", lambda f: hm.probe_video(f.still_video), OSError),
    Row("plan_segments", "still image", lambda f: hm.plan_segments(f.still_video), OSError),
    Row("plan_segments", "time_step 0", lambda f: hm.plan_segments(f.video, 0), ValueError),
    # A reader that cannot seek stood on the image's only frame and handed it over as frame 100.
    Row("read_frame", "still image past its frame", lambda f: hm.read_frame(f.still_video, 100), OSError),
    Row("read_frame", "past the last frame", lambda f: hm.read_frame(f.video, 30), hm.UnreadableVideoError),
    Row("read_frame", "crop box outside the frame", lambda f: hm.read_frame(f.video, 0, (500, 0, 600, 10)),
        ValueError),
    Row("read_frames", "positions that are not whole", lambda f: hm.read_frames(f.video, [1.5]), TypeError),
    Row("VideoProcessor.find_crop_box", "truncated video", lambda f: hm.VideoProcessor().find_crop_box(
        f.truncated_video), OSError),
    Row("VideoProcessor.find_crop_box", "two-channel frame", lambda f: hm.VideoProcessor().find_crop_box(
        np.zeros((H, W, 2), np.uint8)), ValueError),
    Row("VideoProcessor.extract_video", "truncated video", lambda f: hm.VideoProcessor().extract_video(
        f.truncated_video, "V", "20240501", "61"), check=lambda r: r == []),
]


def _annotation_folder(f, text):
    folder = os.path.join(f.root, "ann")
    os.makedirs(folder, exist_ok=True)
    with open(os.path.join(folder, "output_pp_0.json"), "w") as out:
        out.write(text)
    return hm.get_gsam_annotation_data(None, save_dir_base=folder)


def _one_video_table(f):
    return pd.DataFrame([{"Camera Number": "61", "Date": "20240501", "Time": "06:30:00",
                          "File Path": f.video, "Video Name": "Camera61_1_20240501063000"}])


@pytest.mark.parametrize("row", ROWS, ids=[r.id for r in ROWS])
def test_bad_input_gives_the_stated_outcome(row, files, capsys):
    if row.raises is not None:
        with pytest.raises(row.raises) as info:
            row.call(files)
        assert str(info.value), f"{row.id}: the error has no message"
    else:
        result = row.call(files)
        assert row.check(result), f"{row.id}: unexpected result {result!r}"


def test_table_covers_every_exported_step():
    names = {r.function.split(".")[0] for r in ROWS}
    untested = {"VideoMetadata", "DEFAULT_PEN_JSON_PATHS", "get_pen_json_path", "initializer",
                "generate_sam2_image_features", "matcher", "video_segments_mask_visual",
                "NoComparableFrameError", "UnreadableVideoError", "VideoInfo", "SegmentPlan", "CropFinding",
                "SegmentStatus", "SegmentOutcome", "Relinking"}
    # These take caller-made model objects or plain text, or are an exception or record
    # type; their bad input is covered in their own suites. Everything else must have rows here.
    assert set(hm.__all__) - names - untested == set()
