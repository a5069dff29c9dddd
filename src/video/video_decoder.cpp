#include "video/video_decoder.hpp"

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavformat/avformat.h>
#include <libavutil/frame.h>
}

#include <algorithm>
#include <cmath>
#include <utility>

namespace hm::video {

namespace {

// Steps forward up to this many frames decode the frames between rather than seek.
constexpr std::int64_t kDecodeAhead = 100;
// A time-stamp seek aims this many frames early, so that the frames shown before a
// key frame but decoded after it (and the frames they refer to) come out whole.
constexpr std::int64_t kSeekMargin = 16;

}  // namespace

void PictureDeleter::operator()(AVFrame* frame) const { av_frame_free(&frame); }

std::unique_ptr<FrameDecoder> FrameDecoder::open(const std::string& path) {
  std::unique_ptr<FrameDecoder> d(new FrameDecoder);
  d->path_ = path;
  if (!d->start()) return nullptr;
  return d;
}

bool FrameDecoder::start() {
  close();
  if (avformat_open_input(&format_, path_.c_str(), nullptr, nullptr) < 0) {
    format_ = nullptr;
    return false;
  }
  if (avformat_find_stream_info(format_, nullptr) < 0) return false;
  // The first video stream, as OpenCV's reader takes it.
  for (unsigned i = 0; i < format_->nb_streams && stream_ < 0; ++i)
    if (format_->streams[i]->codecpar->codec_type == AVMEDIA_TYPE_VIDEO)
      stream_ = static_cast<int>(i);
  if (stream_ < 0) return false;
  const AVStream* stream = format_->streams[stream_];
  const AVCodec* codec = avcodec_find_decoder(stream->codecpar->codec_id);
  if (!codec) return false;
  codec_ = avcodec_alloc_context3(codec);
  if (!codec_ || avcodec_parameters_to_context(codec_, stream->codecpar) < 0) return false;
  codec_->thread_count = 0;  // the decoder's own choice: one thread per core and one more
  codec_->thread_type = FF_THREAD_FRAME | FF_THREAD_SLICE;
  if (avcodec_open2(codec_, codec, nullptr) < 0) return false;
  packet_ = av_packet_alloc();
  if (!packet_) return false;

  // Frame 0 is decoded now: its time stamp is where frame times count from.
  pending_ = decode();
  AVRational rate = stream->avg_frame_rate;
  if (rate.num <= 0 || rate.den <= 0) rate = stream->r_frame_rate;
  timed_ = pending_ && pending_->best_effort_timestamp != AV_NOPTS_VALUE && rate.num > 0 &&
           rate.den > 0 && stream->time_base.num > 0 && stream->time_base.den > 0;
  if (timed_) {
    origin_ = pending_->best_effort_timestamp;
    frames_per_tick_ = av_q2d(rate) * av_q2d(stream->time_base);
  }
  next_ = 0;
  return true;
}

void FrameDecoder::close() {
  pending_.reset();
  if (codec_) avcodec_free_context(&codec_);
  if (format_) avformat_close_input(&format_);
  if (packet_) av_packet_free(&packet_);
  stream_ = -1;
  flushing_ = ended_ = timed_ = false;
  next_ = 0;
}

FrameDecoder::~FrameDecoder() { close(); }

Picture FrameDecoder::decode() {
  if (ended_) return nullptr;
  Picture frame(av_frame_alloc());
  if (!frame) {
    ended_ = true;
    return nullptr;
  }
  for (;;) {
    const int got = avcodec_receive_frame(codec_, frame.get());
    if (got == 0) {
      if (frame->width > 0 && frame->height > 0 && frame->data[0]) return frame;
      av_frame_unref(frame.get());  // nothing to show: passed over
      continue;
    }
    if (got != AVERROR(EAGAIN) || flushing_) {
      ended_ = true;  // drained, or the decoder gave up
      return nullptr;
    }
    if (av_read_frame(format_, packet_) < 0) {
      // The end of the file (or of what can be read of it): drain the frames held back.
      flushing_ = true;
      avcodec_send_packet(codec_, nullptr);
      continue;
    }
    // A packet that does not decode is passed over, as the next ones may.
    if (packet_->stream_index == stream_) avcodec_send_packet(codec_, packet_);
    av_packet_unref(packet_);
  }
}

Picture FrameDecoder::read() {
  Picture frame = pending_ ? std::move(pending_) : decode();
  if (frame) ++next_;
  return frame;
}

bool FrameDecoder::skip() { return static_cast<bool>(read()); }

std::int64_t FrameDecoder::index_of(std::int64_t timestamp) const {
  const double index = std::nearbyint(static_cast<double>(timestamp - origin_) * frames_per_tick_);
  return static_cast<std::int64_t>(std::clamp(index, -1e15, 1e15));
}

bool FrameDecoder::seek_by_time(std::int64_t index) {
  const double ticks =
      static_cast<double>(std::max<std::int64_t>(index - kSeekMargin, 0)) / frames_per_tick_;
  if (!std::isfinite(ticks) || ticks > 1e15) return false;
  const std::int64_t target = origin_ + static_cast<std::int64_t>(ticks);
  if (av_seek_frame(format_, stream_, target, AVSEEK_FLAG_BACKWARD) < 0) return false;
  avcodec_flush_buffers(codec_);
  pending_.reset();
  flushing_ = ended_ = false;
  Picture first = decode();
  if (!first || first->best_effort_timestamp == AV_NOPTS_VALUE) return false;
  const std::int64_t at = index_of(first->best_effort_timestamp);
  if (at > index) return false;  // landed past it: the time stamps cannot be trusted
  next_ = at;
  pending_ = std::move(first);
  while (next_ < index && skip()) {
  }
  return true;
}

void FrameDecoder::seek(std::int64_t index) {
  index = std::max<std::int64_t>(index, 0);
  if (index == next_) return;
  if (index > next_ && (index - next_ <= kDecodeAhead || ended_)) {
    while (next_ < index && skip()) {
    }
    return;
  }
  if (timed_ && seek_by_time(index)) return;
  // From the start, counting every frame: slow, but where the time stamps fail, exact.
  if (!start()) {
    ended_ = true;
    return;
  }
  while (next_ < index && skip()) {
  }
}

}  // namespace hm::video
