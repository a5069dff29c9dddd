"""The pages and figures the command writes: self-contained HTML with PNG figures."""

from __future__ import annotations

import html
import os
import warnings

import numpy as np

__all__ = ["report_table_html", "save_review_figures", "use_file_backend", "write_summary_page"]


def use_file_backend():
    import matplotlib

    if matplotlib.get_backend().lower() != "agg":
        matplotlib.use("Agg", force=True)


def save_review_figures(review, fig_dir, prefix=""):
    """Heatmap of the most crowded frame and mask areas per animal; returns {name: png path}."""
    import matplotlib.pyplot as plt

    import herdmask as hm

    use_file_backend()
    os.makedirs(fig_dir, exist_ok=True)
    figures = {}
    data = review.annotation_data or {}
    if not data:
        return figures
    # the frame whose worst pairwise coverage is highest shows the overlaps best
    crowded = max(data, key=lambda k: float(np.max(np.asarray(data[k]["intersections_df"], dtype=float),
                                                   initial=0.0)))
    table = data[crowded]["intersections_df"]
    if len(table):
        with warnings.catch_warnings():
            warnings.simplefilter("ignore")  # show() on a file back end only warns
            hm.draw_intersection_heatmap(table)
        fig = plt.gcf()
        fig.suptitle(f"frame {data[crowded]['frame_index']}")
        path = os.path.join(fig_dir, f"{prefix}intersection_heatmap.png")
        fig.savefig(path, dpi=90, bbox_inches="tight")
        plt.close(fig)
        figures["Intersection heatmap (most overlapping frame)"] = path

    if review.overlap_review is not None and review.overlap_review[0] in data:
        from PIL import Image

        record = data[review.overlap_review[0]]
        drawn = hm.img_bbx_drawing(Image.open(record["image_path"]).convert("RGB"), record["masks_dict"])
        path = os.path.join(fig_dir, f"{prefix}first_long_overlap.png")
        drawn.save(path)
        figures[f"Masks where the first long overlap begins (frame {record['frame_index']})"] = path

    frames = sorted(data)
    keys = list(dict.fromkeys(k for f in frames for k in data[f]["mask_areas"]))
    fig, ax = plt.subplots(figsize=(8, 4))
    for key in keys:
        ax.plot([data[f]["frame_index"] for f in frames],
                [data[f]["mask_areas"].get(key, np.nan) for f in frames], label=key, lw=1.2)
    ax.set_xlabel("frame")
    ax.set_ylabel("mask area (pixels)")
    ax.set_title("Mask area per animal")
    ax.legend(ncol=5, fontsize=7, loc="lower center")
    path = os.path.join(fig_dir, f"{prefix}mask_areas.png")
    fig.savefig(path, dpi=90, bbox_inches="tight")
    plt.close(fig)
    figures["Mask area per animal and frame"] = path
    return figures


def report_table_html(report_path, limit=40):
    import pandas as pd

    if not report_path or not os.path.exists(report_path):
        return "<p>No questions: the tracking report was not needed.</p>"
    df = pd.read_csv(report_path)
    more = f"<p>... {len(df) - limit} more rows in the CSV file.</p>" if len(df) > limit else ""
    return df.head(limit).to_html(index=False, na_rep="", border=0, classes="report") + more


def write_summary_page(path, title, sections):
    """A self-contained HTML page: sections of (heading, text lines, {caption: png}, extra html)."""
    out_dir = os.path.dirname(os.path.abspath(path))
    parts = [
        "<!doctype html><html><head><meta charset='utf-8'>",
        f"<title>{html.escape(title)}</title>",
        "<style>body{font-family:sans-serif;max-width:1000px;margin:2em auto;}"
        "img{max-width:100%;border:1px solid #ccc;} table.report{border-collapse:collapse;font-size:12px}"
        "table.report td,table.report th{border:1px solid #ddd;padding:2px 6px}"
        ".note{background:#fff4d6;padding:.5em}</style></head><body>",
        f"<h1>{html.escape(title)}</h1>",
    ]
    for heading, lines, images, extra in sections:
        parts.append(f"<h2>{html.escape(heading)}</h2>")
        for line in lines:
            parts.append(f"<p>{html.escape(str(line))}</p>")
        for caption, img in images.items():
            rel = os.path.relpath(img, out_dir)
            parts.append(f"<figure><img src='{html.escape(rel)}'><figcaption>{html.escape(caption)}"
                         "</figcaption></figure>")
        if extra:
            parts.append(extra)
    parts.append("</body></html>")
    with open(path, "w") as f:
        f.write("\n".join(parts))
    return path
