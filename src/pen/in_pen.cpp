#include "pen/in_pen.hpp"

#include <cstring>
#include <map>
#include <mutex>

#include "common/errors.hpp"
#include "pen/pen_polygon.hpp"

#if defined(__x86_64__) || defined(__i386__)
#include <immintrin.h>
#define HM_X86 1
#endif

namespace hm::pen {

namespace {

struct RunsEntry {
  std::weak_ptr<const Mask> mask;
  std::shared_ptr<const Runs> runs;
};

std::mutex runs_mutex;
std::map<const Mask*, RunsEntry> runs_cache;

}  // namespace

std::shared_ptr<const Runs> cached_pen_runs(const std::string& json_path, std::int64_t h,
                                            std::int64_t w) {
  // Keyed by the cached mask itself: a refreshed pen is a new mask, and an
  // address reused after the old one died no longer matches its weak pointer.
  const std::shared_ptr<const Mask> mask = cached_pen_mask(json_path, h, w);
  {
    std::lock_guard<std::mutex> lock(runs_mutex);
    const auto it = runs_cache.find(mask.get());
    if (it != runs_cache.end() && it->second.mask.lock() == mask) return it->second.runs;
  }
  auto runs = std::make_shared<const Runs>(runs_of(mask->view()));
  std::lock_guard<std::mutex> lock(runs_mutex);
  // Runs live no longer than their pen: those of pens the mask cache let go leave here.
  std::erase_if(runs_cache, [](const auto& entry) { return entry.second.mask.expired(); });
  runs_cache[mask.get()] = RunsEntry{mask, runs};
  return runs;
}

namespace {

// Stretches of bytes that hold a set byte, as [begin, end) offsets; a stretch
// adjoining the last one extends it.
using Spans = std::vector<std::pair<size_t, size_t>>;

void add_span(Spans& spans, size_t begin, size_t end) {
  if (!spans.empty() && spans.back().second == begin) {
    spans.back().second = end;
  } else {
    spans.emplace_back(begin, end);
  }
}

void find_set_words(const std::uint8_t* data, size_t begin, size_t end, Spans& spans) {
  size_t i = begin;
  for (; i + 8 <= end; i += 8) {
    std::uint64_t word;
    std::memcpy(&word, data + i, 8);
    if (word) add_span(spans, i, i + 8);
  }
  for (; i < end; ++i)
    if (data[i]) add_span(spans, i, i + 1);
}

#if HM_X86
// Masks are mostly empty, so the input is tested 128 bytes at a time.
__attribute__((target("avx2"))) void find_set_avx2(const std::uint8_t* data, size_t begin,
                                                   size_t end, Spans& spans) {
  size_t i = begin;
  for (; i + 128 <= end; i += 128) {
    const auto* s = reinterpret_cast<const __m256i*>(data + i);
    const __m256i any =
        _mm256_or_si256(_mm256_or_si256(_mm256_loadu_si256(s), _mm256_loadu_si256(s + 1)),
                        _mm256_or_si256(_mm256_loadu_si256(s + 2), _mm256_loadu_si256(s + 3)));
    if (!_mm256_testz_si256(any, any)) add_span(spans, i, i + 128);
  }
  find_set_words(data, i, end, spans);
}
#endif

using FindSet = void (*)(const std::uint8_t*, size_t, size_t, Spans&);

FindSet pick_find_set() {
#if HM_X86
  if (__builtin_cpu_supports("avx2")) return find_set_avx2;
#endif
  return find_set_words;
}

}  // namespace

void restrict_to_pen(const std::uint8_t* in, ZeroBuffer& out, std::int64_t planes, size_t item_size,
                     const Runs& pen) {
  static const FindSet find_set = pick_find_set();
  const size_t row_bytes = checked_bytes({pen.cols}, item_size, "in-pen mask");
  const size_t plane_bytes = checked_bytes({pen.rows, pen.cols}, item_size, "in-pen mask");
  if (planes < 0 || out.size() < checked_bytes({planes}, plane_bytes, "in-pen mask"))
    throw ValueError("in-pen mask: the output is smaller than the input");
  // A pen without pixels has no runs, and nothing of the masks lies inside it.
  if (pen.empty()) return;
  Spans spans;
  for (std::int64_t p = 0; p < planes; ++p) {
    for (std::int64_t y = 0; y < pen.rows; ++y) {
      const size_t offset =
          static_cast<size_t>(p) * plane_bytes + static_cast<size_t>(y) * row_bytes;
      for (size_t k = pen.row_start[y]; k < pen.row_start[y + 1]; ++k)
        find_set(in, offset + static_cast<size_t>(pen.runs[k].x1) * item_size,
                 offset + (static_cast<size_t>(pen.runs[k].x2) + 1) * item_size, spans);
    }
  }
  // Zero bytes need no writing, so the output's pages away from the spans stay
  // untouched; the pages under them are mapped in a few calls, not one fault each.
  constexpr size_t kJoinGap = 16384;
  size_t i = 0;
  while (i < spans.size()) {
    size_t j = i + 1;
    while (j < spans.size() && spans[j].first - spans[j - 1].second <= kJoinGap) ++j;
    out.prepare_write(spans[i].first, spans[j - 1].second);
    for (; i < j; ++i)
      std::memcpy(out.data() + spans[i].first, in + spans[i].first,
                  spans[i].second - spans[i].first);
  }
}

}  // namespace hm::pen
