"""The video catalogue, file listing and the two configuration records."""

import dataclasses
import os

import pandas as pd
import pytest

from herdmask import VideoMetadata, VideoProcessor, list_all_files

COLUMNS = ["Camera Number", "Date", "Time", "File Path", "Video Name"]


def touch(path):
    os.makedirs(os.path.dirname(path), exist_ok=True)
    open(path, "wb").close()


def catalogue(tmp_path, names, capsys, sub="day1", **kwargs):
    for name in names:
        touch(str(tmp_path / sub / name))
    df = VideoMetadata(str(tmp_path), [sub], **kwargs).get_filtered_video_dataframe()
    return df, capsys.readouterr().out


def test_row_fields_from_the_file_name(tmp_path, capsys):
    df, out = catalogue(tmp_path, ["Camera61_12_20240501063000.mp4", "notes.txt",
                                   "camera61_12_20240501063000.mp4",
                                   "Camera61_12_20240501063000.MP4",
                                   "Camera7_1_2024050106300.mp4"], capsys, sample_step=0)
    path = os.path.join(str(tmp_path), "day1", "Camera61_12_20240501063000.mp4")
    assert list(df.columns) == COLUMNS
    assert df.to_dict("records") == [{
        "Camera Number": "61", "Date": "20240501", "Time": "06:30:00", "File Path": path,
        "Video Name": "Camera61_12_20240501063000"}]
    assert out == f"[{path!r}]\n"


def test_filters_in_order_and_keep_row_labels(tmp_path, capsys):
    # Listing order is the directory's, so names are made in one order and the
    # expected rows are read back from that same listing.
    names = [f"Camera{cam}_{i}_20240501{hh:02d}0000.mp4"
             for i, (cam, hh) in enumerate([(61, 5), (61, 6), (62, 7), (61, 8), (62, 9), (61, 10),
                                            (62, 11), (61, 12), (62, 17), (61, 16)])]
    for name in names:
        touch(str(tmp_path / "d" / name))
    listed = os.listdir(tmp_path / "d")
    times = [f"{n[-10:-8]}:00:00" for n in listed]
    inside = [i for i, t in enumerate(times) if "06:00:00" < t < "17:00:00"]

    def run(**kw):
        df = VideoMetadata(str(tmp_path), ["d", "missing"], **kw).get_filtered_video_dataframe()
        capsys.readouterr()
        return list(df.index)

    # Both bounds are exclusive: 05, 06 and 17 o'clock fall outside.
    assert sorted(times[i] for i in run(sample_step=0)) == [
        f"{h:02d}:00:00" for h in (7, 8, 9, 10, 11, 12, 16)]
    assert run(sample_step=0) == inside
    assert run() == inside[::3]
    assert run(sample_step=-2) == inside[::-2]
    cams = [listed[i][6:8] for i in range(len(listed))]
    assert run(camera_number="61") == [i for i in inside[::3] if cams[i] == "61"]
    assert run(camera_number="061") == []
    assert run(sample_step=0, top_n=2) == inside[:2]
    assert run(sample_step=0, top_n=0) == run(sample_step=0, top_n=-1) == inside
    assert run(sample_step=0, filter_start="04:59:59", filter_end="17:00:01") == list(range(10))


def test_no_match_prints_empty_list_and_keeps_columns(tmp_path, capsys):
    df, out = catalogue(tmp_path, ["other.mp4"], capsys)
    assert out == "[]\n"
    assert list(df.columns) == COLUMNS and len(df) == 0


def test_custom_pattern_groups(tmp_path, capsys):
    df, _ = catalogue(tmp_path, ["cam03-9-20240101-120000.mp4"], capsys,
                      match_pattern=r"cam(\d+)-(\d+)-(\d{8})-(\d{6})")
    assert df.iloc[0].tolist()[:3] == ["03", "20240101", "12:00:00"]


def test_list_all_files_walks_sorted_depth_first(tmp_path):
    for rel in ["b.mp4", "a.txt", "x/c.mp4", "x/y/d.mp4", "w/e.txt"]:
        touch(str(tmp_path / rel))
    root = str(tmp_path)
    assert list_all_files(root) == [os.path.join(root, p) for p in
                                    ["a.txt", "b.mp4", "w/e.txt", "x/c.mp4", "x/y/d.mp4"]]
    assert list_all_files(root, ".mp4") == [os.path.join(root, p) for p in
                                            ["b.mp4", "x/c.mp4", "x/y/d.mp4"]]
    assert list_all_files(os.path.join(root, "nope")) == []


def test_records_are_plain_configuration():
    a = VideoProcessor()
    assert (a.resize_dim, a.frame_skip, a.time_step, a.crop) == (None, 1, 0.1, True)
    assert a.output_dir_base == "D:" + "\\" + "ToBeLabeled_20pigs/"
    a.camera_crop_coords["61"] = (1, 0, 2300, 1440)
    assert VideoProcessor().camera_crop_coords == {}
    assert VideoProcessor((1, 2), 3) == VideoProcessor(resize_dim=(1, 2), frame_skip=3)
    assert "frame_skip=3" in repr(VideoProcessor(frame_skip=3))
    m = VideoMetadata("base", ["a"])
    assert [f.name for f in dataclasses.fields(m)] == [
        "base_dir", "sub_dirs", "filter_start", "filter_end", "sample_step", "top_n",
        "match_pattern", "camera_number"]
    assert (m.filter_start, m.filter_end, m.sample_step, m.top_n, m.camera_number) == (
        "06:00:00", "17:00:00", 3, -1, None)
    assert m.match_pattern == r"Camera(\d+)_(\d+)_([\d]{8})([\d]{6})\.mp4"
    with pytest.raises(TypeError):
        VideoMetadata("base")
    with pytest.raises(TypeError):
        VideoProcessor(bogus=1)
    with pytest.raises(TypeError):
        a.crop_video_to_frames()
    assert isinstance(VideoMetadata("missing-dir", ["x"]).get_filtered_video_dataframe(),
                      pd.DataFrame)
