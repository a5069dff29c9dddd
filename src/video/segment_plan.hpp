// Which frames of a video one segment of frame extraction reads and saves. The
// extraction loop and the plans handed to callers both count with these.
#pragma once

#include <cstdint>
#include <vector>

namespace hm::video {

// Whole frame number of a minute mark at `fps` frames per second, rounded half to
// even. ValueError when the minutes are not finite; clamped far beyond any video.
std::int64_t frame_number(int fps, double minutes);

struct SegmentFrames {
  std::int64_t start_frame = 0;  // the frame read first, for the crop box only
  std::int64_t end_frame = 0;    // the loop runs frame_idx from start_frame up to this
};

// The frame range of the segment from start_min to end_min, at the reader's frame
// rate `rate` (truncated toward zero to whole frames per second) in a video of
// `frame_count` frames. At a rate that is not whole, the truncated rate puts the end
// of the video's last segment short of its last frames, so a segment that reaches
// the end of the video (end_min at least its length) runs on to its last frame.
// ValueError when the rate is not a number.
SegmentFrames segment_frames(double rate, double frame_count, double start_min, double end_min);

// Whether the loop saves the frame it reads at frame_idx (the video's frame at
// position frame_idx + 1): one in frame_skip, counted from the start of the video,
// and always the segment's last.
bool saves_frame(std::int64_t frame_idx, std::int64_t end_frame, std::int64_t frame_skip);

// Positions in the video of the frames the segment saves, in order, when the reader
// delivers frames 0 .. frame_count - 1: nothing when the start frame cannot be read,
// and the loop ends at the first read past the last frame. frame_skip must be positive.
std::vector<std::int64_t> saved_positions(const SegmentFrames& frames, double frame_count,
                                          std::int64_t frame_skip);

}  // namespace hm::video
