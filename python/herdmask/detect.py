"""Detection and segmentation: model calls, start-frame search, annotation data, image features."""

from ._annotation_data import get_gsam_annotation_data

__all__ = ["get_gsam_annotation_data"]
