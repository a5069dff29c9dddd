"""`herdmask evaluate`: identity and CLEAR metrics of predicted tracks against MOTChallenge ground truth."""

from __future__ import annotations

import os

from . import exits, identity
from .export import report_errors, run_mot
from .figures import use_file_backend
from .files import write_atomic, write_text
from .runfolder import (EVALUATION_CHART, EVALUATION_PAGE, EVALUATION_TABLE, SUMMARY_PAGE, RunFolder, hold_lock,
                        is_run_folder, sequence_name)

__all__ = ["add_parser", "evaluate_command", "load_sequences", "plot_metrics"]

_SCORES = ["HOTA", "DetA", "AssA", "LocA", "MOTA", "IDF1", "precision", "recall"]
_COUNTS = ["ID switches", "fragmentations"]


def add_parser(sub):
    p = sub.add_parser(
        "evaluate", help="MOTA, IDF1, identity switches, ... of predicted tracks against ground truth",
        description="Score PREDICTED (MOTChallenge text, a folder of such files, a run folder or one segment's "
                    "annotation folder) against GROUND_TRUTH (MOTChallenge text or a folder of such files, "
                    "<sequence>.txt, sequences named like the run's cameras). Prints the metrics per sequence "
                    f"and overall, writes them to {EVALUATION_TABLE}, draws {EVALUATION_CHART} and shows both on "
                    f"{EVALUATION_PAGE}.")
    p.add_argument("predicted", metavar="PREDICTED")
    p.add_argument("ground_truth", metavar="GROUND_TRUTH")
    p.add_argument("--out", metavar="DIR",
                   help="where the table, chart and page go (default: the run folder, beside its summary "
                        "page, for a run folder; else the folder of PREDICTED)")
    p.add_argument("--iou", type=float, default=0.5, help="least IoU of a match (default 0.5)")
    p.add_argument("--pair", action="store_true",
                   help="score the one predicted sequence against the one ground-truth sequence whatever their "
                        "names (without it, sequences pair by name)")
    p.add_argument("--bin", metavar="DURATION",
                   help="also score each time bin of this length (1h, 30min, ...) on its own, into evaluation_bins.csv")
    p.add_argument("--fps", type=float, help="frames per second of the sequences, for --bin when PREDICTED is not "
                                             "a run folder")
    p.set_defaults(handler=evaluate_command)
    return p


def _mot_files(folder):
    return sorted(n for n in os.listdir(folder) if n.endswith(".txt") and os.path.isfile(os.path.join(folder, n)))


def load_sequences(path, predicted):
    """{sequence name: MOT table} of a MOT file, a folder of MOT files, or (predictions only)
    a run folder or a segment's annotation folder."""
    from herdmask import export

    role = "PREDICTED" if predicted else "GROUND_TRUTH"
    if os.path.isfile(path):
        return {os.path.splitext(os.path.basename(path))[0]: export.read_mot(path)}
    if not os.path.isdir(path):
        raise FileNotFoundError(f"{role}: no such file or folder: {path}")
    if predicted and is_run_folder(path):
        for line in identity.correction_notes(RunFolder.open(path)):
            print(line)
        return run_mot(path)
    files = _mot_files(path)
    if files:
        return {os.path.splitext(n)[0]: export.read_mot(os.path.join(path, n)) for n in files}
    if predicted:
        try:
            return {os.path.basename(os.path.normpath(os.path.abspath(path))): export.segment_mot(path)}
        except FileNotFoundError:
            pass
        raise FileNotFoundError(f"{role}: {path} is neither a run folder nor holds MOTChallenge text (*.txt) "
                                "or annotation files (output_pp_<n>.json)")
    raise FileNotFoundError(f"{role}: {path} holds no MOTChallenge text files (*.txt)")


def _pair(predicted, truth, any_names):
    """Ground truth keyed like the predictions: by name, or with `any_names` the one predicted
    sequence against the one ground-truth sequence."""
    if any_names:
        if len(predicted) != 1 or len(truth) != 1:
            raise ValueError(f"--pair takes one predicted and one ground-truth sequence, got {len(predicted)} and "
                             f"{len(truth)}")
        return {next(iter(predicted)): next(iter(truth.values()))}, []
    if len(predicted) == 1 and len(truth) == 1 and set(predicted) != set(truth):
        raise ValueError(f"the predicted sequence {next(iter(predicted))} and the ground truth {next(iter(truth))} "
                         "have different names; give --pair to score one against the other")
    return truth, sorted(set(truth) - set(predicted))


def _sampled_truth(run_dir, truth):
    """The ground truth of the frames a run extracted: with --frame-skip N a run tracks one frame in
    N, and the frames it never looked at are not scored (frames outside its videos still are)."""
    import numpy as np

    run = RunFolder.open(run_dir)
    skip = int(run.settings.get("frame_skip") or 1)
    if skip == 1:
        return truth
    kept = dict(truth)
    for camera in run.cameras():
        name = sequence_name(camera)
        if name not in truth:
            continue
        sampled, spanned = run.sampled_frames(camera)
        gt = truth[name]
        frames = gt["frame"].to_numpy()
        kept[name] = gt[~np.isin(frames, spanned) | np.isin(frames, sampled)]
        print(f"{name}: {kept[name]['frame'].nunique()} of {gt['frame'].nunique()} ground-truth frames scored, "
              f"those the run extracted (--frame-skip {skip}).")
    return kept


def _default_out(path):
    return os.path.dirname(os.path.abspath(path)) if os.path.isfile(path) else path


def plot_metrics(summary, path):
    """Bar chart of the scores and the identity-error counts per sequence (and overall)."""
    use_file_backend()
    import matplotlib.pyplot as plt
    import numpy as np
    from matplotlib.ticker import MaxNLocator

    names = list(summary.index)
    x = np.arange(len(names))
    fig, (left, right) = plt.subplots(1, 2, figsize=(max(9, 2.2 * len(names) + 5), 4.6),
                                      gridspec_kw={"width_ratios": [2, 1]})
    for ax, columns, fmt in ((left, _SCORES, "%.2f"), (right, _COUNTS, "%d")):
        width = 0.8 / len(columns)
        for i, col in enumerate(columns):
            bars = ax.bar(x + (i - (len(columns) - 1) / 2) * width, summary[col].astype(float), width, label=col)
            ax.bar_label(bars, fmt=fmt, fontsize=7, padding=1)
        ax.set_xticks(x, names, rotation=20 if len(names) > 1 else 0, ha="right" if len(names) > 1 else "center",
                      fontsize=8)
        # the legend sits under the axes, where it hides no bar
        ax.legend(loc="upper center", bbox_to_anchor=(0.5, -0.22), ncol=len(columns), fontsize=8, frameon=False)
    lowest = float(np.nanmin(summary["MOTA"].astype(float)))
    left.set_ylim(min(0.0, lowest) - 0.05, 1.1)
    left.axhline(0, color="black", lw=0.6)
    left.set_ylabel("score (1 is perfect)")
    left.set_title("Tracking scores per sequence")
    right.yaxis.set_major_locator(MaxNLocator(integer=True))
    right.set_ylim(0, max(1.0, float(summary[_COUNTS].to_numpy(float).max()) * 1.15))
    right.set_ylabel("count")
    right.set_title("Identity errors per sequence")
    fig.tight_layout()
    try:
        return write_atomic(path, lambda tmp: fig.savefig(tmp, dpi=90))
    finally:
        plt.close(fig)


def _write_page(summary, chart, path, args, unscored):
    from .pages import write_summary_page

    overall = summary.loc["OVERALL"]
    lines = [f"Predicted tracks: {os.path.abspath(args.predicted)}.",
             f"Ground truth: {os.path.abspath(args.ground_truth)}.",
             f"A predicted box matches a true box when their IoU is at least {args.iou}.",
             f"Over all sequences: IDF1 {overall['IDF1']:.3f}, MOTA {overall['MOTA']:.3f}, "
             f"{int(overall['ID switches'])} identity switches, {int(overall['fragmentations'])} fragmentations."]
    if unscored:
        lines.append(f"Ground truth without predictions, not scored: {', '.join(unscored)}.")
    table = summary.reset_index().to_html(index=False, border=0, classes="report", float_format=lambda v: f"{v:.3f}")
    return write_summary_page(path, "Tracking quality", [
        ("Scores per sequence", lines, {"MOTA, IDF1, precision and recall (left); identity switches and "
                                        "fragmentations (right), per sequence and over all": chart}, table)])


def _table_text(summary):
    shown = summary.copy()
    for col in _SCORES:
        shown[col] = shown[col].map(lambda v: f"{v:.3f}")
    for col in _COUNTS + ["ground-truth tracks", "frames"]:
        shown[col] = shown[col].astype(int)
    return shown.to_string()


def _run(args):
    from herdmask import scoring

    from . import score_inputs

    if not 0 < args.iou <= 1:
        raise ValueError(f"--iou must lie in (0, 1], got {args.iou}")
    # masks on both sides when the ground truth holds masks, else boxes
    predicted, truth = score_inputs.load_pair(args.predicted, args.ground_truth, load_sequences)
    truth, unscored = _pair(predicted, truth, args.pair)
    if is_run_folder(args.predicted):
        truth = _sampled_truth(args.predicted, truth)
    bins = None
    if args.bin:
        bins = score_inputs.frame_bins(args.predicted, {n: (t, truth.get(n, t)) for n, t in predicted.items()},
                                       args.bin, args.fps)
    summary = scoring.score_tracks(predicted, truth, iou_threshold=args.iou, frame_bins=bins)
    summary, binned = summary if bins is not None else (summary, None)
    for name, table in predicted.items():
        gt = truth[name]
        if not len(gt):
            continue
        outside = table[(table["frame"] < gt["frame"].min()) | (table["frame"] > gt["frame"].max())]
        if len(outside):
            print(f"{name}: {outside['frame'].nunique()} predicted frames lie outside the ground truth's frames "
                  f"{gt['frame'].min()}-{gt['frame'].max()}; their boxes count as false positives.")
    if unscored:
        print(f"Ground truth without predictions, not scored: {', '.join(unscored)}.")
    print(_table_text(summary))
    overall = summary.loc["OVERALL"]
    print(f"IDF1 {overall['IDF1']:.3f}, MOTA {overall['MOTA']:.3f}, HOTA {overall['HOTA']:.3f}, "
          f"{int(overall['ID switches'])} identity switches over {len(predicted)} sequence(s) at IoU {args.iou}"
          f"{' (mask IoU)' if scoring.mask_tracks(next(iter(truth.values()))) else ''}.")
    out = args.out or _default_out(args.predicted)
    os.makedirs(out, exist_ok=True)
    if is_run_folder(out):  # the scores join the run's files: not while a run writes them
        with hold_lock(out, ValueError(f"a herdmask run is writing into {out}; score it when the run has ended")):
            return _write_scores(summary, out, args, unscored, binned)
    return _write_scores(summary, out, args, unscored, binned)


def _write_scores(summary, out, args, unscored, binned=None):
    print(f"Metrics: {write_text(os.path.join(out, EVALUATION_TABLE), summary.to_csv(), durable=True)}")
    if binned is not None:
        from .score_inputs import write_binned

        print(f"Metrics per {args.bin} bin: {write_binned(binned, out)}")
    chart = plot_metrics(summary, os.path.join(out, EVALUATION_CHART))
    print(f"Chart: {chart}")
    print(f"Page: {_write_page(summary, chart, os.path.join(out, EVALUATION_PAGE), args, unscored)}")
    if is_run_folder(args.predicted) and os.path.samefile(out, args.predicted):
        from .pages import refresh_quality_section

        if refresh_quality_section(out):
            print(f"Scores shown on {os.path.join(out, SUMMARY_PAGE)}")
    return exits.OK


def evaluate_command(args):
    return report_errors("evaluate", _run, args)
