"""Loading a tracking run's annotation files into per-frame records."""


def get_gsam_annotation_data(video_dir, last_or_not=False, ixx=0,
                             save_dir_base="D:\\ToBeLabeled_20pigs\\GSAM2_output_2hr"):
    raise NotImplementedError("get_gsam_annotation_data is not built yet")
