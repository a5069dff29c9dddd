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
#include <opencv2/imgproc.hpp>
#include <opencv2/videoio.hpp>
#include <thread>
#include <utility>
#include <vector>

#include "common/errors.hpp"
#include "common/number_text.hpp"
#include "video/jpeg_writer.hpp"

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
  cv::Mat image;
  cv::Size resize_to;  // empty: written as it is
  cv::Mat frame;       // the decoded frame `image` is cut from, reused once encoded
};

std::string encode_image(const ImageJob& job) {
  if (job.resize_to.empty()) return encode_jpeg(job.image);
  cv::Mat resized;
  cv::resize(job.image, resized, job.resize_to, 0, 0, cv::INTER_AREA);
  return encode_jpeg(resized);
}

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

  // A frame buffer the decoder can fill: one whose image has been encoded, so that
  // full-size frames are not mapped and zeroed afresh by the kernel for every read.
  cv::Mat take_buffer() {
    std::lock_guard lock(mutex_);
    if (spare_.empty()) return {};
    cv::Mat buffer = std::move(spare_.back());
    spare_.pop_back();
    return buffer;
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
        bytes = encode_image(job);
      } catch (...) {
        failed = std::current_exception();
      }
      job.image.release();
      std::unique_lock lock(mutex_);
      // Only a buffer nobody else still reads may be written over by the decoder.
      if (!job.frame.empty() && job.frame.u && job.frame.u->refcount == 1)
        spare_.push_back(std::move(job.frame));
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
  std::vector<cv::Mat> spare_;
  std::vector<std::thread> workers_;
  std::exception_ptr error_;
  std::int64_t error_seq_ = std::numeric_limits<std::int64_t>::max();
  std::int64_t next_ = 0;  // the next image to write
  bool writing_ = false;
  size_t capacity_ = 2;
  bool closing_ = false;
};

// Keeps the aspect ratio: the width follows from the target height, rounded up.
cv::Size size_for_height(const cv::Size& image, std::int64_t target_height) {
  if (target_height <= 0 || target_height > std::numeric_limits<int>::max())
    throw ValueError(
        "resize_dim: the target height (its second element) must be a positive "
        "number of pixels, got " +
        int_text(target_height));
  const double width = std::ceil(static_cast<double>(target_height) *
                                 (static_cast<double>(image.width) / image.height));
  if (!(width >= 1 && width <= std::numeric_limits<int>::max()))
    throw ValueError("resize_dim: a target height of " + int_text(target_height) +
                     " gives an image too wide to make");
  return {static_cast<int>(width), static_cast<int>(target_height)};
}

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

// A reader left open after a segment: the frame it read last and where it stands.
struct KeptVideo {
  std::string path;
  std::uintmax_t size = 0;
  std::filesystem::file_time_type modified;
  std::unique_ptr<cv::VideoCapture> cap;
  std::int64_t last_index = -1;  // frame number of `last`; the next read gives the one after
  cv::Mat last;
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
  std::unique_ptr<cv::VideoCapture> capture =
      kept ? std::move(kept->cap) : std::make_unique<cv::VideoCapture>(req.video_path);
  cv::VideoCapture& cap = *capture;
  if (!cap.isOpened()) {
    print("Error: Could not open video.");
    result.end = SegmentEnd::cannot_open;
    return result;
  }
  const SegmentFrames range = segment_frames(
      cap.get(cv::CAP_PROP_FPS), cap.get(cv::CAP_PROP_FRAME_COUNT), req.start_min, req.end_min);
  const std::int64_t start_frame = range.start_frame, end_frame = range.end_frame;

  cv::Mat first_frame;
  // Carrying on from the previous segment gives the frames a seek would: the reader
  // stands just past the frame this segment starts on.
  if (kept && kept->last_index == start_frame && !kept->last.empty())
    first_frame = std::move(kept->last);
  else
    cap.set(cv::CAP_PROP_POS_FRAMES, static_cast<double>(start_frame));
  kept.reset();
  if (first_frame.empty() && !cap.read(first_frame)) {
    print("Error: Could not read the first frame.");
    cap.release();
    result.end = SegmentEnd::first_frame_unreadable;
    return result;
  }

  cv::Rect roi(0, 0, first_frame.cols, first_frame.rows);
  if (req.crop) {
    const bool detected = !req.cached_box;
    CropBox box;
    if (req.cached_box) {
      box = *req.cached_box;
    } else {
      const std::optional<CropBox> region = find_orange_region(first_frame);
      if (!region) {
        print("No orange region detected. Exiting.");
        cap.release();
        result.end = SegmentEnd::no_marker;
        return result;
      }
      print("cv2 crop region for Camera " + req.camera_text + ": " + crop_box_text(*region));
      box = crop_box_for_region(*region);
    }
    print("Detected crop region for Camera " + req.camera_text + ": " + crop_box_text(box));
    // Checked before it is remembered: a box that fits no frame of this camera must
    // not stand in for detection on the camera's later segments.
    roi = crop_roi(box, first_frame.cols, first_frame.rows);
    if (detected && req.store_box) req.store_box(box);
  }
  first_frame.release();

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
  cv::Mat last_read;
  std::int64_t last_index = -1;
  std::exception_ptr decode_error;
  try {
    for (std::int64_t frame_idx = start_frame; frame_idx < end_frame; ++frame_idx) {
      if (!saves_frame(frame_idx, end_frame, req.frame_skip)) {
        // Decoded to keep the stream going, but never converted to BGR nor copied out.
        if (!cap.grab()) break;
        continue;
      }
      // Never the image of a frame still queued: the writers hold those.
      cv::Mat frame = writers.take_buffer();
      if (!cap.read(frame)) break;
      if (frame_idx == end_frame - 1) {
        last_read = frame;  // shared, so the writers leave its buffer alone
        last_index = end_frame;
      }
      const std::string name = image_name(save_idx);
      lines.push_back("Processing frame " + int_text(frame_idx) + " (saved as " + name + ")");
      print_written();
      cv::Mat image = frame;
      if (req.crop) {
        const cv::Rect here = roi & cv::Rect(0, 0, frame.cols, frame.rows);
        if (here.empty())
          throw ValueError("frame " + int_text(frame_idx) + " is smaller than the crop box");
        image = frame(here);
      }
      cv::Size out_size = image.size();
      cv::Size resize_to;
      if (req.resize_height) out_size = resize_to = size_for_height(out_size, *req.resize_height);
      result.last_shape = std::array<int, 3>{out_size.height, out_size.width, image.channels()};
      if (!writers.submit({save_idx, join_path(req.output_dir, name), std::move(image), resize_to,
                           std::move(frame)}))
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
    next->cap = std::move(capture);
    next->last_index = last_index;
    next->last = std::move(last_read);
    req.kept->keep(std::move(next));
  } else {
    cap.release();
  }

  const std::string& shown = req.reported_dir.empty() ? req.output_dir : req.reported_dir;
  print("Cropped frames from " + req.start_text + " to " + req.end_text + " minutes saved to " +
        shown + ".");
  print(std::string("Dim: ") + (result.last_shape ? shape_text(*result.last_shape) : "None"));
  return result;
}

}  // namespace hm::video
