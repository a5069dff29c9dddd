"""`herdmask run` on the demo's sample: where a link's time and the run's wall time go.

Two cameras with three consecutive videos each (320 x 240 pen strips cut from
2560-wide frames, 48 frames per video), cut into segments of 0.04 minutes: twelve
links, two started by the start-frame search and ten carried. The models are the
colour-threshold stand-ins; every call to them is timed, so a link's library time
(everything but model calls: refinement, annotation files, the report, the
overlap review, small-area boxes, the matcher's own work, loading annotation
data) is what it would be with models that answer at once. Figures and pages are
counted apart.

The run's wall time is split into frame extraction, models, library, figures and
pages (all summed over the workers) and waiting (worker time spent on none of
them: start-up, scheduling, tasks waiting for the link before them).
"""

import contextlib
import glob
import io
import os
import statistics
import sys
import tempfile
import time

from harness import timed_run

WORKERS = 2


def _parts():
    """Where a carried link's time goes, by the steps it calls (model calls are inside some of them)."""
    import herdmask as hm
    from herdmask.app import pages, stages
    from herdmask.testing import ColourVideoTracker

    return [("matcher (its own work and the predictor)", stages.carry_start),
            ("tracker (model)", ColourVideoTracker.track_frames),
            ("refinement", hm.Mask_Refinement._refine_frame),
            ("annotation files written", stages.write_annotation_file),
            ("annotation data loaded", hm.get_gsam_annotation_data),
            ("tracking report", hm.generate_tracking_report),
            ("overlap review (with encoder calls)", hm.process_overlap_frames),
            ("small-area boxes", hm.find_boxes_with_small_area_from_last_video),
            ("figures and page", pages.link_figures)]


def _one_carried_link_in_parts(rec, out):
    """Redoes one carried link in this process under the profiler; {part: seconds}."""
    import cProfile
    import dataclasses
    import pstats

    from herdmask.app import cli, lab, plan, settings, stages, tasks
    from herdmask.app.models import ModelSettings
    from herdmask.app.run import camera_task_settings
    from herdmask.app.runfolder import RunFolder

    args = cli.build_parser().parse_args(["run", rec.base_dir, "--out", out, "--time-step", "0.04", "--keep-frames"])
    setups = {camera: lab.CameraSetup(camera, rec.pen_json_path) for camera in rec.cameras}
    setup = setups["1"]
    current = settings.run_settings(args, ModelSettings(), setups)
    with contextlib.redirect_stdout(io.StringIO()):
        table = stages.catalogue(rec.base_dir)
    run = RunFolder(out)
    chains, _ = plan.build_chains(table, run, 0.04, {c: settings.extraction_key(current, c) for c in setups})
    link, prev = chains["1"][2], chains["1"][1]
    made = run.read_record(link.video, link.segment)
    segment = {"frames": len(link.saved_positions()), "reason": None, "crop_box": made.crop_box}
    task_settings = camera_task_settings(args, setup, ModelSettings(), out)
    fields = dataclasses.asdict(link)
    tasks.link_task(fields, segment, prev.key, 10, task_settings, made.fingerprint, "warm-up")  # imports
    profile = cProfile.Profile()
    t0 = time.perf_counter()
    profile.runcall(tasks.link_task, fields, segment, prev.key, 10, task_settings, made.fingerprint, "profiled")
    total = time.perf_counter() - t0
    stats = pstats.Stats(profile).stats
    parts = {"whole link": total}
    for label, function in _parts():
        code = function.__code__
        # the profile keys a function by its file, first line and name, wherever it moves
        parts[label] = stats.get((code.co_filename, code.co_firstlineno, code.co_name), (0, 0, 0, 0.0))[3]
    return parts


def main():
    from herdmask.app import records, samples

    with tempfile.TemporaryDirectory() as tmp:
        rec = samples.make_sample_recording(os.path.join(tmp, "recording"), "demo")
        out = os.path.join(tmp, "out")
        # the frames are kept for the link redone under the profiler after the run
        wall, timing = timed_run(rec, out, WORKERS, "--keep-frames")
        links = [records.read_json(p) for p in glob.glob(os.path.join(out, "links", "*", "*.json"))]
        parts = _one_carried_link_in_parts(rec, out)

    print(f"{len(links)} links on {WORKERS} workers, frames {rec.preset.crop_width} x {rec.preset.height}")
    print(f"{'link started by':<22}{'links':>6}{'frames':>8}{'library s':>11}{'ms/frame':>10}{'models s':>10}"
          f"{'pages s':>9}")
    for how in ("start-frame search", "carried"):
        group = [r for r in links if r["started"] == how]
        if not group:
            continue
        lib = statistics.median(r["seconds_library"] for r in group)
        frames = statistics.median(r["frames"] for r in group)
        models = statistics.median(r["seconds_models"] for r in group)
        pages = statistics.median(r.get("seconds_pages", 0) for r in group)
        print(f"{how:<22}{len(group):>6}{frames:>8.0f}{lib:>11.3f}{1000 * lib / frames:>10.1f}{models:>10.3f}"
              f"{pages:>9.3f}")
    print("(medians per link; a first link also pays each worker's first imports)")
    busy = {k: timing[k] for k in ("extraction", "models", "library", "pages", "waiting")}
    total = sum(busy.values())
    print(f"wall {wall:.1f} s: {timing['setup']:.1f} s before the first task (checks, catalogue, models in the "
          f"driver, cluster start), {timing['cluster_wall']:.1f} s of tasks, "
          f"{wall - timing['wall']:.1f} s writing the run's pages")
    print("one carried link redone in one process, under the profiler (which slows Python code):")
    for label, seconds in parts.items():
        print(f"  {label:<42}{seconds:>8.3f} s")
    print("worker time while the tasks ran: "
          f"{total:.1f} s = " + ", ".join(f"{k} {v:.1f} s ({100 * v / total:.0f} %)" for k, v in busy.items()))


if __name__ == "__main__":
    sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "python"))
    main()
