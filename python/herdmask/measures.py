"""Mask and box measures: overlaps, similarity matrices, clustering and the heatmap."""

import numpy as np

from ._native import measures as _core_measures

__all__ = [
    "calculate_iou",
    "calculate_masks_intersection",
    "calculate_masks_intersection_new",
    "intersection_between_masks",
    "cal_masks_iou_scores",
    "cal_centroid_distance",
    "mask_contacts",
    "cosine_scores_cal",
    "cluster_masks_and_print",
    "draw_intersection_heatmap",
]


def _box(box):
    return [float(box[0]), float(box[1]), float(box[2]), float(box[3])]


def calculate_iou(box1, box2):
    """Intersection over union of two (x1, y1, x2, y2) boxes; the integer 0 when the
    union is not positive. Boxes that only touch do not intersect."""
    return _core_measures.box_iou(_box(box1), _box(box2))


def calculate_masks_intersection(mask1, mask2):
    """Percentage of `mask1`'s pixels also set in `mask2`; the integer 0 when `mask1`
    is empty."""
    return _core_measures.mask_coverage(mask1, mask2)


def calculate_masks_intersection_new(mask1, mask2, mask_area_1, mask_area_2):
    """(intersection / mask_area_1 * 100, intersection / mask_area_2 * 100), each the
    integer 0 when its area is not positive. The areas are used as given."""
    return _core_measures.coverage_pair(mask1, mask2, float(mask_area_1), float(mask_area_2))


def intersection_between_masks(masks_dict, processed_mask_areas=None):
    """The pairwise intersection table as a pandas DataFrame labelled by the keys of
    `masks_dict`: cell [a, b] is the percentage of a's area that b covers.

    Areas come from `processed_mask_areas`; without it (None or empty) each mask's
    own count of set pixels is its area. A pair is left at 0 when the later mask's
    area is 1 or less.
    """
    import pandas as pd

    keys = list(masks_dict.keys())
    areas = None
    if processed_mask_areas:
        areas = [float(processed_mask_areas[k]) for k in keys]
    table = _core_measures.intersection_table(list(masks_dict.values()), areas)
    return pd.DataFrame(table, index=keys, columns=keys)


def cal_masks_iou_scores(masks_new, masks_old):
    """IoU matrix (len(masks_new) x len(masks_old), float64): intersection divided
    by (union + 1e-06)."""
    return _core_measures.iou_matrix(list(masks_new), list(masks_old))


def cal_centroid_distance(masks_new, masks_old):
    """Centroid similarity matrix (new x old): 1 - distance / (largest distance +
    1e-06). Centroids come from the moments of each mask cast to uint8 (so a real
    element weighs its whole part). Pairs involving an empty mask count as one
    pixel farther than the farthest real pair."""
    return _core_measures.centroid_similarity(list(masks_new), list(masks_old))


def _keys_and_masks(masks):
    if isinstance(masks, dict):
        return list(masks.keys()), list(masks.values())
    masks = list(masks)
    return list(range(len(masks))), masks


def mask_contacts(masks, reach=1):
    """The pairs of masks of one frame that touch or overlap.

    `masks` is a `masks_dict` ({key: mask}) or a sequence of masks of one
    size; bool, uint8, float32 and float64 masks are read in place, non-zero
    is set. Two masks are in contact when they share a set pixel or when a set
    pixel of one lies within `reach` pixels of a set pixel of the other,
    diagonal neighbours included (reach 1: the masks touch; reach 0: overlap
    only). Returns [(a, b, overlap), ...]: the keys (or positions) of each
    pair in the order given, and the pixels set in both (0 when they only
    touch). Empty masks touch nothing.
    """
    keys, values = _keys_and_masks(masks)
    found = _core_measures.mask_contacts(values, int(reach))
    return [(keys[a], keys[b], int(overlap)) for a, b, overlap in found.tolist()]


def _host_rows(features):
    rows = []
    for f in features:
        if hasattr(f, "detach") and hasattr(f, "cpu"):  # a tensor, possibly on a device
            f = f.detach().cpu().numpy()
        rows.append(np.asarray(f))
    return np.stack(rows)


def cosine_scores_cal(image_features_new, image_features_old):
    """Cosine similarity of every new feature vector with every old one (float64,
    new x old); entries that are None give rows / columns of -inf."""
    new_idx = [i for i, f in enumerate(image_features_new) if f is not None]
    old_idx = [j for j, f in enumerate(image_features_old) if f is not None]
    scores = np.full((len(image_features_new), len(image_features_old)), -np.inf)
    if new_idx and old_idx:
        from sklearn.metrics.pairwise import cosine_similarity

        new_feats = _host_rows([image_features_new[i] for i in new_idx])
        old_feats = _host_rows([image_features_old[j] for j in old_idx])
        scores[np.ix_(new_idx, old_idx)] = cosine_similarity(new_feats, old_feats)
    return scores


def cluster_masks_and_print(masks_dict, eps=100, min_samples=1):
    """Groups keys whose masks' largest-contour centroids lie close together (DBSCAN).

    Returns {"Noise": [...], "Cluster 0": [...], ...}; masks without a usable
    contour appear in no list.
    """
    from sklearn.cluster import DBSCAN

    keys = list(masks_dict.keys())
    found = _core_measures.contour_centroids([np.asarray(m) for m in masks_dict.values()])
    used_keys = [k for k, c in zip(keys, found) if c is not None]
    centroids = [c for c in found if c is not None]
    labels = DBSCAN(eps=eps, min_samples=min_samples).fit(centroids).labels_
    clusters_disc = {"Noise": []}
    for key, label in zip(used_keys, labels):
        name = "Noise" if label == -1 else f"Cluster {label}"
        clusters_disc.setdefault(name, []).append(key)
    return clusters_disc


def draw_intersection_heatmap(intersections_df):
    """Shows the intersection table as an annotated heatmap (0..100, "Reds")."""
    import matplotlib.pyplot as plt
    import seaborn as sns

    values = np.asarray(getattr(intersections_df, "values", intersections_df))
    labels = [f"Mask {i}" for i in range(len(values))]
    plt.figure(figsize=(7, 5))
    sns.heatmap(values, annot=True, fmt=".2f", annot_kws={"size": 8}, cmap="Reds", cbar=True,
                linewidths=0.5, linecolor="gray", square=True, vmin=0, vmax=100,
                xticklabels=labels, yticklabels=labels)
    plt.title("Intersection Heatmap %")
    plt.xlabel("Mask 2")
    plt.ylabel("Mask 1")
    plt.show()
