#include "video/frame_extraction.hpp"

#include <algorithm>
#include <cmath>
#include <condition_variable>
#include <cstdio>
#include <deque>
#include <exception>
#include <filesystem>
#include <limits>
#include <map>
#include <memory>
#include <mutex>
#include <opencv2/videoio.hpp>
#include <thread>
#include <utility>
#include <vector>

#include "common/errors.hpp"
#include "common/number_text.hpp"
#include "video/frame_image.hpp"
#include "video/jpeg_writer.hpp"
#include "video/video_decoder.hpp"

namespace hm::video {

namespace {

std::string join_path(const std::string& dir, const std::string& name) {
  if (dir.empty() || dir.back() == '/') return dir + name;
  return dir + "/" + name;
}

std::string image_name(std::int64_t save_idx) {
  char buf[32];
  std::snprintf(buf, sizeof buf, "%04lld.jpg", static_cast<long long>(save_idx));
  return buf;
}

struct ImageJob {
  std::int64_t seq = 0;  // position in save order
  std::string path;
  VideoFrame frame;
  cv::Rect region;     // of the frame, the part written
  cv::Size resize_to;  // empty: written as it is
};

// Encodes images on worker threads while the caller keeps decoding, and writes the
// files in save order: an image's file appears only after every earlier one, so a
// failed write is the last thing that happens to the folder. The queue is bounded so
// that a slow disk does not pile up decoded frames in memory.
class ImageWriterPool {
 public:
  explicit ImageWriterPool(int threads) {
    if (threads <= 0) threads = static_cast<int>(std::max(1u, std::thread::hardware_concurrency()));
    capacity_ = static_cast<size_t>(threads) * 2;
    for (int i = 0; i < threads; ++i) workers_.emplace_back([this] { run(); });
  }
  ImageWriterPool(const ImageWriterPool&) = delete;
  ImageWriterPool& operator=(const ImageWriterPool&) = delete;
  ~ImageWriterPool() { finish(); }

  // Queues one image; false, without queueing, once an image has failed.
  bool submit(ImageJob job) {
    std::unique_lock lock(mutex_);
    space_.wait(lock, [this] { return jobs_.size() < capacity_ || error_; });
    if (error_) return false;
    jobs_.push_back(std::move(job));
    work_.notify_one();
    return true;
  }

  // How many images, from the first, are in their files.
  std::int64_t written() {
    std::lock_guard lock(mutex_);
    return next_;
  }

  // Waits until every queued image is written, or dropped after a failure.
  void finish() {
    {
      std::lock_guard lock(mutex_);
      closing_ = true;
    }
    work_.notify_all();
    for (auto& w : workers_)
      if (w.joinable()) w.join();
    workers_.clear();
  }

  // The failure of the first image that could not be encoded or written, if any.
  std::exception_ptr failure() {
    std::lock_guard lock(mutex_);
    return error_;
  }

 private:
  void run() {
    cv::Mat scratch;  // this thread's converted pixels, reused frame after frame
    for (;;) {
      ImageJob job;
      {
        std::unique_lock lock(mutex_);
        // Images encoded ahead of a slow write wait in memory; only a few at a time.
        work_.wait(lock,
                   [this] { return (!jobs_.empty() && encoded_.size() < capacity_) || closing_; });
        if (jobs_.empty()) return;
        job = std::move(jobs_.front());
        jobs_.pop_front();
        space_.notify_one();
      }
      std::string bytes;
      std::exception_ptr failed;
      try {
        bytes = frame_jpeg(job.frame, job.region, job.resize_to, scratch);
      } catch (...) {
        failed = std::current_exception();
      }
      job.frame = {};  // the decoder's buffer goes back before the wait for the lock
      std::unique_lock lock(mutex_);
      if (failed) {
        fail(job.seq, failed);
        continue;
      }
      encoded_.emplace(job.seq, std::make_pair(std::move(job.path), std::move(bytes)));
      write_in_order(lock);
    }
  }

  // Writes the encoded images that are next in line, one writer at a time.
  void write_in_order(std::unique_lock<std::mutex>& lock) {
    while (!writing_ && next_ < error_seq_) {
      const auto it = encoded_.find(next_);
      if (it == encoded_.end()) return;
      const auto [path, bytes] = std::move(it->second);
      encoded_.erase(it);
      work_.notify_all();
      writing_ = true;
      lock.unlock();
      std::exception_ptr failed;
      try {
        write_image_file(path, bytes);
      } catch (...) {
        failed = std::current_exception();
      }
      lock.lock();
      writing_ = false;
      if (failed) return fail(next_, failed);
      ++next_;
    }
  }

  // Keeps the earliest failure; images queued after it are never written.
  void fail(std::int64_t seq, std::exception_ptr failed) {
    if (seq < error_seq_) {
      error_seq_ = seq;
      error_ = std::move(failed);
    }
    jobs_.clear();
    space_.notify_all();
  }

  std::mutex mutex_;
  std::condition_variable work_, space_;
  std::deque<ImageJob> jobs_;
  std::map<std::int64_t, std::pair<std::string, std::string>> encoded_;  // path, bytes
  std::vector<std::thread> workers_;
  std::exception_ptr error_;
  std::int64_t error_seq_ = std::numeric_limits<std::int64_t>::max();
  std::int64_t next_ = 0;  // the next image to write
  bool writing_ = false;
  size_t capacity_ = 2;
  bool closing_ = false;
};

bool stat_file(const std::string& path, std::uintmax_t& size,
               std::filesystem::file_time_type& modified) {
  std::error_code ec;
  size = std::filesystem::file_size(path, ec);
  if (ec) return false;
  modified = std::filesystem::last_write_time(path, ec);
  return !ec;
}

std::string shape_text(const std::array<int, 3>& s) {
  return "(" + int_text(s[0]) + ", " + int_text(s[1]) + ", " + int_text(s[2]) + ")";
}

}  // namespace

// Where frames come from: FFmpeg's decoder, or OpenCV's reader for a file the decoder
// does not open (OpenCV tries other ways to read a file too).
struct FrameSource {
  std::unique_ptr<FrameDecoder> decoder;
  std::unique_ptr<cv::VideoCapture> capture;

  bool read(VideoFrame& out) {
    if (decoder) {
      out.picture = decoder->read();
      return static_cast<bool>(out.picture);
    }
    return capture->read(out.bgr) && !out.bgr.empty();
  }
  bool skip() { return decoder ? decoder->skip() : capture->grab(); }
  void seek(std::int64_t index) {
    if (decoder)
      decoder->seek(index);
    else
      capture->set(cv::CAP_PROP_POS_FRAMES, static_cast<double>(index));
  }
};

// A reader left open after a segment: the frame it read last and where it stands.
struct KeptVideo {
  std::string path;
  std::uintmax_t size = 0;
  std::filesystem::file_time_type modified;
  FrameSource source;
  double rate = 0, frames = 0;   // the frame rate and count OpenCV's reader states
  std::int64_t last_index = -1;  // frame number of `last`; the next read gives the one after
  VideoFrame last;
};

KeptReader::KeptReader() = default;
KeptReader::~KeptReader() = default;

std::unique_ptr<KeptVideo> KeptReader::take(const std::string& path) {
  std::unique_ptr<KeptVideo> kept;
  {
    std::lock_guard lock(mutex_);
    kept = std::move(video_);
  }
  if (!kept || kept->path != path) return nullptr;
  std::uintmax_t size = 0;
  std::filesystem::file_time_type modified;
  if (!stat_file(path, size, modified) || size != kept->size || modified != kept->modified)
    return nullptr;
  return kept;
}

void KeptReader::keep(std::unique_ptr<KeptVideo> video) {
  std::lock_guard lock(mutex_);
  video_ = std::move(video);
}

void KeptReader::close() {
  std::unique_ptr<KeptVideo> kept;
  std::lock_guard lock(mutex_);
  kept = std::move(video_);
}

SegmentResult crop_video_to_frames(const SegmentRequest& req, const Printer& print) {
  if (req.frame_skip <= 0)
    throw ValueError("frame_skip must be a positive whole number, got " + int_text(req.frame_skip));
  std::error_code ec;
  std::filesystem::create_directories(req.output_dir, ec);
  if (ec) throw IoError("could not create folder " + req.output_dir + ": " + ec.message());

  SegmentResult result;
  std::unique_ptr<KeptVideo> kept = req.kept ? req.kept->take(req.video_path) : nullptr;
  // Stated before opening: a file replaced while its reader is kept then never passes
  // for the one the reader stands in.
  std::uintmax_t file_size = 0;
  std::filesystem::file_time_type file_modified;
  const bool file_known = kept ? (file_size = kept->size, file_modified = kept->modified, true)
                               : req.kept && stat_file(req.video_path, file_size, file_modified);
  FrameSource source;
  double rate = 0, frames = 0;
  if (kept) {
    source = std::move(kept->source);
    rate = kept->rate;
    frames = kept->frames;
  } else {
    // The rate and frame count are OpenCV's reader's, which every caller goes by.
    auto capture = std::make_unique<cv::VideoCapture>(req.video_path);
    if (!capture->isOpened()) {
      print("Error: Could not open video.");
      result.end = SegmentEnd::cannot_open;
      return result;
    }
    rate = capture->get(cv::CAP_PROP_FPS);
    frames = capture->get(cv::CAP_PROP_FRAME_COUNT);
    source.decoder = FrameDecoder::open(req.video_path);
    if (!source.decoder) source.capture = std::move(capture);
  }
  const SegmentFrames range = segment_frames(rate, frames, req.start_min, req.end_min);
  const std::int64_t start_frame = range.start_frame, end_frame = range.end_frame;

  VideoFrame first_frame;
  // Carrying on from the previous segment gives the frames a seek would: the reader
  // stands just past the frame this segment starts on.
  if (kept && kept->last_index == start_frame && !kept->last.empty())
    first_frame = std::move(kept->last);
  else
    source.seek(start_frame);
  kept.reset();
  if (first_frame.empty() && !source.read(first_frame)) {
    print("Error: Could not read the first frame.");
    result.end = SegmentEnd::first_frame_unreadable;
    return result;
  }

  const cv::Size first_size = first_frame.size();
  cv::Rect roi(cv::Point(), first_size);
  if (req.crop) {
    const bool detected = !req.cached_box;
    CropBox box;
    if (req.cached_box) {
      box = *req.cached_box;
    } else {
      const std::optional<CropBox> region = find_orange_region(frame_bgr(first_frame));
      if (!region) {
        print("No orange region detected. Exiting.");
        result.end = SegmentEnd::no_marker;
        return result;
      }
      print("cv2 crop region for Camera " + req.camera_text + ": " + crop_box_text(*region));
      box = crop_box_for_region(*region);
    }
    print("Detected crop region for Camera " + req.camera_text + ": " + crop_box_text(box));
    // Checked before it is remembered: a box that fits no frame of this camera must
    // not stand in for detection on the camera's later segments.
    roi = crop_roi(box, first_size.width, first_size.height);
    if (detected && req.store_box) req.store_box(box);
  }
  first_frame = {};

  ImageWriterPool writers(req.encode_threads);
  // A frame's line is printed once every earlier image is in its file, so the lines
  // stop at the frame whose image could not be written.
  std::deque<std::string> lines;
  std::int64_t printed = 0;
  auto print_written = [&] {
    const std::int64_t upto = writers.written() + 1;
    for (; printed < upto && !lines.empty(); ++printed) {
      print(lines.front());
      lines.pop_front();
    }
  };
  std::int64_t save_idx = 0;
  VideoFrame last_read;
  std::int64_t last_index = -1;
  std::exception_ptr decode_error;
  try {
    for (std::int64_t frame_idx = start_frame; frame_idx < end_frame; ++frame_idx) {
      if (!saves_frame(frame_idx, end_frame, req.frame_skip)) {
        // Decoded to keep the stream going, but never converted nor copied out.
        if (!source.skip()) break;
        continue;
      }
      VideoFrame frame;
      if (!source.read(frame)) break;
      if (frame_idx == end_frame - 1) {
        last_read = frame.share();  // the next segment's first frame
        last_index = end_frame;
      }
      const std::string name = image_name(save_idx);
      lines.push_back("Processing frame " + int_text(frame_idx) + " (saved as " + name + ")");
      print_written();
      cv::Rect region(cv::Point(), frame.size());
      if (req.crop) {
        region &= roi;
        if (region.empty())
          throw ValueError("frame " + int_text(frame_idx) + " is smaller than the crop box");
      }
      cv::Size out_size = region.size();
      cv::Size resize_to;
      if (req.resize_height) out_size = resize_to = size_for_height(out_size, *req.resize_height);
      result.last_shape = std::array<int, 3>{out_size.height, out_size.width, 3};
      if (!writers.submit(
              {save_idx, join_path(req.output_dir, name), std::move(frame), region, resize_to}))
        break;
      ++save_idx;
      result.saved = save_idx;
    }
  } catch (...) {
    decode_error = std::current_exception();
  }
  writers.finish();
  print_written();
  if (const std::exception_ptr failed = writers.failure()) std::rethrow_exception(failed);
  if (decode_error) std::rethrow_exception(decode_error);

  if (req.kept && file_known && last_index >= 0) {
    auto next = std::make_unique<KeptVideo>();
    next->path = req.video_path;
    next->size = file_size;
    next->modified = file_modified;
    next->source = std::move(source);
    next->rate = rate;
    next->frames = frames;
    next->last_index = last_index;
    next->last = std::move(last_read);
    req.kept->keep(std::move(next));
  }

  const std::string& shown = req.reported_dir.empty() ? req.output_dir : req.reported_dir;
  print("Cropped frames from " + req.start_text + " to " + req.end_text + " minutes saved to " +
        shown + ".");
  print(std::string("Dim: ") + (result.last_shape ? shape_text(*result.last_shape) : "None"));
  return result;
}

}  // namespace hm::video
