#include "refine/held_runs.hpp"

#include <algorithm>
#include <cstring>
#include <limits>
#include <string>

#include "common/errors.hpp"

namespace hm::refine {

namespace {

// Large enough to be mapped rather than taken from the heap, and to hold a few hundred
// typical frames.
constexpr std::size_t kBlockBytes = std::size_t{1} << 20;

// Shapes come from arrays; anything longer is not one.
constexpr std::uint64_t kMaxDims = 32;

// Layout of one mask: ndim, its sides, rows, cols, the byte length of its runs and
// those bytes. The runs: first row, number of rows up to the last with runs, then each
// row as its number of runs and, when the row above has as many, each run's ends as
// their change from the run above (signed); otherwise each run as its distance from
// the end of the run before it and its length.

void put(std::vector<std::uint8_t>& out, std::uint64_t v) {
  for (; v >= 0x80; v >>= 7) out.push_back(static_cast<std::uint8_t>(v | 0x80));
  out.push_back(static_cast<std::uint8_t>(v));
}

void put_signed(std::vector<std::uint8_t>& out, std::int64_t v) {
  put(out, (static_cast<std::uint64_t>(v) << 1) ^ static_cast<std::uint64_t>(v >> 63));
}

[[noreturn]] void bad_runs(const std::string& what) { throw ValueError("held mask: " + what); }

// The checks both sides make: a run inside the mask, after the one before it in raster
// order (`before` null for the first).
void check_run(const Run& run, const Run* before, std::int64_t rows, std::int64_t cols) {
  if (run.row < 0 || run.row >= rows || run.x1 < 0 || run.x1 > run.x2 || run.x2 >= cols)
    bad_runs("a run lies outside the mask");
  if (before && (run.row < before->row || (run.row == before->row && run.x1 <= before->x2)))
    bad_runs("runs are not in raster order");
}

void pack_runs(const Runs& mask, std::vector<std::uint8_t>& out) {
  const std::vector<Run>& runs = mask.runs;
  for (std::size_t i = 0; i < runs.size(); ++i)
    check_run(runs[i], i ? &runs[i - 1] : nullptr, mask.rows, mask.cols);
  if (runs.empty()) return;
  const std::int64_t first = runs.front().row, last = runs.back().row;
  put(out, static_cast<std::uint64_t>(first));
  put(out, static_cast<std::uint64_t>(last - first + 1));
  std::size_t at = 0, above = 0, above_count = 0;
  for (std::int64_t r = first; r <= last; ++r) {
    std::size_t end = at;
    while (end < runs.size() && runs[end].row == r) ++end;
    const std::size_t count = end - at;
    put(out, count);
    std::int64_t cursor = 0;
    for (std::size_t k = 0; k < count; ++k) {
      const Run& run = runs[at + k];
      if (count == above_count) {
        put_signed(out, std::int64_t{run.x1} - runs[above + k].x1);
        put_signed(out, std::int64_t{run.x2} - runs[above + k].x2);
      } else {
        put(out, static_cast<std::uint64_t>(run.x1 - cursor));
        put(out, static_cast<std::uint64_t>(run.x2 - run.x1));
        cursor = std::int64_t{run.x2} + 1;
      }
    }
    above = at;
    above_count = count;
    at = end;
  }
}

class Reader {
 public:
  explicit Reader(std::span<const std::uint8_t> bytes) : bytes_(bytes) {}

  std::uint64_t next() {
    std::uint64_t v = 0;
    for (int shift = 0; shift < 64; shift += 7) {
      if (at_ >= bytes_.size()) bad_runs("the packed frame ends early");
      const std::uint8_t b = bytes_[at_++];
      v |= std::uint64_t{b & 0x7fu} << shift;
      if (!(b & 0x80)) return v;
    }
    bad_runs("a number runs past 64 bits");
  }
  // A number no greater than `limit`.
  std::int64_t next(std::int64_t limit) {
    const std::uint64_t v = next();
    if (v > static_cast<std::uint64_t>(limit)) bad_runs("a number is out of range");
    return static_cast<std::int64_t>(v);
  }
  // A signed number no further than `limit` from zero.
  std::int64_t next_signed(std::int64_t limit) {
    const std::uint64_t v = next();
    if ((v >> 1) > static_cast<std::uint64_t>(limit)) bad_runs("a number is out of range");
    const auto half = static_cast<std::int64_t>(v >> 1);
    return (v & 1) ? -half - 1 : half;
  }
  std::span<const std::uint8_t> take(std::uint64_t n) {
    if (n > bytes_.size() - at_) bad_runs("the packed frame ends early");
    at_ += n;
    return bytes_.subspan(at_ - n, n);
  }
  bool done() const { return at_ == bytes_.size(); }

 private:
  std::span<const std::uint8_t> bytes_;
  std::size_t at_ = 0;
};

void unpack_runs(std::span<const std::uint8_t> bytes, Runs& mask) {
  if (bytes.empty()) return;
  if (mask.rows <= 0 || mask.cols <= 0) bad_runs("runs in a mask without pixels");
  Reader in(bytes);
  std::vector<Run>& runs = mask.runs;
  const std::int64_t first = in.next(mask.rows - 1);
  const std::int64_t spanned = in.next(mask.rows - first);
  std::size_t above = 0, above_count = 0;
  for (std::int64_t r = first; r < first + spanned; ++r) {
    const auto count = static_cast<std::size_t>(in.next(mask.cols));
    const std::size_t at = runs.size();
    std::int64_t cursor = 0;
    for (std::size_t k = 0; k < count; ++k) {
      std::int64_t x1, x2;
      if (count == above_count) {
        x1 = runs[above + k].x1 + in.next_signed(mask.cols);
        x2 = runs[above + k].x2 + in.next_signed(mask.cols);
      } else {
        x1 = cursor + in.next(mask.cols);
        x2 = x1 + in.next(mask.cols);
        cursor = x2 + 1;
      }
      if (x1 < 0 || x2 >= mask.cols) bad_runs("a run lies outside the mask");
      const Run run{static_cast<std::int32_t>(r), static_cast<std::int32_t>(x1),
                    static_cast<std::int32_t>(x2)};
      check_run(run, runs.empty() ? nullptr : &runs.back(), mask.rows, mask.cols);
      runs.push_back(run);
    }
    above = at;
    above_count = count;
  }
  if (!in.done()) bad_runs("bytes are left over");
}

// As runs_of gives them: none for a mask without pixels.
void fill_row_starts(Runs& mask) {
  if (mask.rows <= 0 || mask.cols <= 0) return;
  mask.row_start.assign(static_cast<std::size_t>(mask.rows) + 1, mask.runs.size());
  std::size_t i = 0;
  for (std::int64_t r = 0; r < mask.rows; ++r) {
    mask.row_start[static_cast<std::size_t>(r)] = i;
    while (i < mask.runs.size() && mask.runs[i].row == r) ++i;
  }
}

}  // namespace

HeldMask HeldFrame::mask(std::size_t index) const {
  if (index >= count)
    throw IndexError("held frame: mask " + std::to_string(index) + " of " + std::to_string(count));
  Reader in(bytes);
  constexpr auto kSide = std::int64_t{std::numeric_limits<std::int32_t>::max()};
  for (std::size_t i = 0;; ++i) {
    HeldMask held;
    const auto dims = static_cast<std::size_t>(in.next(kMaxDims));
    for (std::size_t d = 0; d < dims; ++d)
      held.shape.push_back(in.next(std::numeric_limits<std::int64_t>::max()));
    held.runs.rows = in.next(kSide);
    held.runs.cols = in.next(kSide);
    const auto body = in.take(in.next());
    if (i < index) continue;
    unpack_runs(body, held.runs);
    fill_row_starts(held.runs);
    return held;
  }
}

void FramePacker::add(const std::vector<std::int64_t>& shape, const Runs& runs) {
  const std::size_t start = bytes_.size();
  try {
    put(bytes_, shape.size());
    for (const std::int64_t d : shape) {
      if (d < 0) throw ValueError("held mask: a side of the shape is negative");
      put(bytes_, static_cast<std::uint64_t>(d));
    }
    put(bytes_, static_cast<std::uint64_t>(runs.rows));
    put(bytes_, static_cast<std::uint64_t>(runs.cols));
    body_.clear();
    pack_runs(runs, body_);
  } catch (...) {
    bytes_.resize(start);
    throw;
  }
  put(bytes_, body_.size());
  bytes_.insert(bytes_.end(), body_.begin(), body_.end());
  ++count_;
}

HeldFrame RunStore::hold(const FramePacker& frame) {
  const std::vector<std::uint8_t>& packed = frame.bytes_;
  HeldFrame held;
  held.count = frame.count_;
  if (packed.empty()) return held;
  if (!block_ || block_->size() - used_ < packed.size()) {
    block_ = std::make_shared<ZeroBuffer>(std::max(kBlockBytes, packed.size()));
    used_ = 0;
  }
  std::uint8_t* at = block_->data() + used_;
  std::memcpy(at, packed.data(), packed.size());
  used_ += packed.size();
  held.block = block_;
  held.bytes = std::span<const std::uint8_t>(at, packed.size());
  return held;
}

}  // namespace hm::refine
