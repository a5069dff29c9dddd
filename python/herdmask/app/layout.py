"""Where the files of a run go under its output folder (`herdmask run --out OUT`).

    settings.json                                   what the results were made with
    frames/<date>/<video>/<segment>/right_cropped_frames/
    annotations/<video>/<segment>/output_pp_<n>.json
    reports/<video>/<segment>/                      tracking_question_report.csv, figures, segment.html
    links/<video>/<segment>.json                    each link's record, written when it ends
    logs/<video>/<segment>.log, logs/<video>/extraction.log
    cameras/camera_<N>.html                         one page per camera; beside it the camera's crop
                                                    box (camera_<N>.json) and its figures
    run_summary.csv, identities.csv, timing.json, summary.html
    evaluation.csv, evaluation.png, evaluation.html `herdmask evaluate`'s scores of the run

A link's own paths (annotations, report, record, log, frames) are those of
`plan.Link`; a video that cannot be opened is one link whose report, record
and log are named "video".
"""

from __future__ import annotations

import os

__all__ = ["EVALUATION_CHART", "EVALUATION_PAGE", "EVALUATION_TABLE", "IDENTITIES", "RESULT_FOLDERS", "RUN_LOCK",
           "RUN_SUMMARY", "SETTINGS", "SUMMARY_PAGE", "TIMING", "camera_file", "camera_scratch", "extraction_log",
           "frames_base", "frames_dir", "is_run_folder"]

SETTINGS = "settings.json"
# held by the run writing into the folder
RUN_LOCK = ".herdmask-run.lock"
RUN_SUMMARY = "run_summary.csv"
IDENTITIES = "identities.csv"
TIMING = "timing.json"
SUMMARY_PAGE = "summary.html"
EVALUATION_TABLE = "evaluation.csv"
EVALUATION_CHART = "evaluation.png"
EVALUATION_PAGE = "evaluation.html"
# what the links make, made again when the settings that decide them change
RESULT_FOLDERS = ("links", "annotations", "reports")


def is_run_folder(path):
    return os.path.isfile(os.path.join(path, IDENTITIES))


def frames_base(out):
    """The folder frame extraction writes <date>/<video>/<segment>/right_cropped_frames/ into."""
    return os.path.join(out, "frames")


def frames_dir(out, date, video, segment):
    return os.path.join(frames_base(out), date, video, segment, "right_cropped_frames")


def extraction_log(out, video):
    return os.path.join(out, "logs", video, "extraction.log")


def camera_file(out, camera, ending):
    """cameras/camera_<N><ending>: ".html" the camera's page, ".json" its crop box, "_crop.png"
    and "_identities.png" its figures."""
    return os.path.join(out, "cameras", f"camera_{camera}{ending}")


def camera_scratch(out, camera):
    """Where the crop box search of a camera puts its first frames while it runs (one folder of
    its own, which goes as a whole when the search ends)."""
    return os.path.join(out, "cameras", f".scratch-{camera}")
