#include "video/segment_plan.hpp"

#include <algorithm>
#include <cmath>

#include "common/errors.hpp"
#include "common/number_text.hpp"

namespace hm::video {

namespace {

// Far beyond any real video, small enough for the reader's own integer arithmetic.
constexpr double kFrameLimit = 1e12;

std::int64_t python_mod(std::int64_t a, std::int64_t b) {
  const std::int64_t r = a % b;
  return (r != 0 && ((r < 0) != (b < 0))) ? r + b : r;
}

// The frames a reader reporting `frame_count` delivers, as a whole number.
std::int64_t whole_count(double frame_count) {
  if (!(frame_count >= 1)) return 0;  // NaN too
  return static_cast<std::int64_t>(std::min(frame_count, kFrameLimit));
}

}  // namespace

std::int64_t frame_number(int fps, double minutes) {
  if (!std::isfinite(minutes))
    throw ValueError("minutes must be a finite number, got " + real_text(minutes));
  const double exact = static_cast<double>(fps) * 60 * minutes;
  return static_cast<std::int64_t>(std::clamp(std::nearbyint(exact), -kFrameLimit, kFrameLimit));
}

SegmentFrames segment_frames(double rate, double frame_count, double start_min, double end_min) {
  if (!std::isfinite(rate)) throw ValueError("the video's frame rate is not a number");
  const int fps = static_cast<int>(std::clamp(rate, -1e6, 1e6));
  SegmentFrames f{frame_number(fps, start_min), frame_number(fps, end_min)};
  if (rate > 0 && std::isfinite(frame_count) && frame_count >= 1 &&
      end_min >= frame_count / rate / 60)
    f.end_frame = std::max(f.end_frame, whole_count(frame_count) - 1);
  return f;
}

bool saves_frame(std::int64_t frame_idx, std::int64_t end_frame, std::int64_t frame_skip) {
  return python_mod(frame_idx, frame_skip) == 0 || frame_idx == end_frame - 1;
}

std::vector<std::int64_t> saved_positions(const SegmentFrames& f, double frame_count,
                                          std::int64_t frame_skip) {
  if (frame_skip <= 0)
    throw ValueError("frame_skip must be a positive whole number, got " + int_text(frame_skip));
  const std::int64_t count = whole_count(frame_count);
  std::vector<std::int64_t> out;
  if (f.start_frame < 0 || f.start_frame >= count) return out;
  // frame_idx reads position frame_idx + 1, which must lie inside the video.
  const std::int64_t stop = std::min(f.end_frame, count - 1);
  if (stop <= f.start_frame) return out;
  out.reserve(static_cast<size_t>((stop - f.start_frame) / frame_skip + 2));
  const std::int64_t first =
      f.start_frame + (frame_skip - python_mod(f.start_frame, frame_skip)) % frame_skip;
  for (std::int64_t idx = first; idx < stop; idx += frame_skip) {
    if (idx == f.end_frame - 1) break;  // added below, once
    out.push_back(idx + 1);
    if (idx > stop - frame_skip) break;  // the next step would overflow past stop
  }
  if (f.end_frame - 1 >= f.start_frame && f.end_frame - 1 < stop) out.push_back(f.end_frame);
  return out;
}

}  // namespace hm::video
