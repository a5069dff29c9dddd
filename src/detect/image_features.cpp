#include "detect/image_features.hpp"

#include <algorithm>
#include <cmath>
#include <cstring>
#include <memory>
#include <mutex>
#include <opencv2/imgproc.hpp>
#include <string>

#if defined(__SSE2__)
#include <xmmintrin.h>
#endif

#include "common/errors.hpp"
#include "common/parallel.hpp"
#include "common/zero_buffer.hpp"

namespace hm::detect {

std::array<std::uint8_t, 256> gamma_table(double inv_gamma) {
  std::array<std::uint8_t, 256> table{};
  for (int i = 0; i < 256; ++i) table[i] = byte_value(std::pow(i / 255.0, inv_gamma) * 255.0);
  return table;
}

namespace {

void require_rgb(const cv::Mat& rgb) {
  if (rgb.type() != CV_8UC3)
    throw ValueError("expected an 8-bit image of height x width x 3 (RGB)");
}

}  // namespace

cv::Mat enhance_dark_text(const cv::Mat& rgb, double inv_gamma) {
  require_rgb(rgb);
  if (rgb.empty()) return cv::Mat(rgb.rows, rgb.cols, CV_8U);
  cv::Mat gray;
  cv::cvtColor(rgb, gray, cv::COLOR_RGB2GRAY);
  const auto table = gamma_table(inv_gamma);
  cv::Mat lut(1, 256, CV_8U, const_cast<std::uint8_t*>(table.data()));
  cv::Mat adjusted;
  cv::LUT(gray, lut, adjusted);
  cv::Mat equalized;
  cv::equalizeHist(adjusted, equalized);
  return equalized;
}

namespace {

// Per output position: first input index and `width` normalised weights (zero
// past the input's edge), so every position runs the same fixed-length loop.
struct Taps {
  std::vector<int> first;
  std::vector<float> weights;  // `width` per output position
  int width = 0;
};

Taps triangle_taps(int in, int out) {
  Taps t;
  const double scale = static_cast<double>(in) / out;
  const double support = std::max(scale, 1.0);
  t.width = static_cast<int>(std::ceil(support)) * 2 + 1;
  t.first.resize(out);
  t.weights.assign(static_cast<size_t>(out) * t.width, 0.0f);
  std::vector<double> w(t.width);
  for (int o = 0; o < out; ++o) {
    const double center = (o + 0.5) * scale;
    const int lo = std::max(static_cast<int>(center - support + 0.5), 0);
    const int hi = std::min(static_cast<int>(center + support + 0.5), in);
    const int n = std::min(std::max(hi - lo, 0), t.width);
    double sum = 0;
    for (int k = 0; k < n; ++k) {
      const double a = std::fabs((lo + k - center + 0.5) / support);
      w[k] = a < 1.0 ? 1.0 - a : 0.0;
      sum += w[k];
    }
    // Taps near the far edge start early enough that all `width` lie inside.
    const int first = std::max(std::min(lo, in - t.width), 0);
    float* dst = &t.weights[static_cast<size_t>(o) * t.width];
    for (int k = 0; k < n; ++k)
      dst[lo - first + k] = static_cast<float>(sum != 0 ? w[k] / sum : w[k]);
    t.first[o] = first;
  }
  return t;
}

// Row o of `out` = sum over k < width of taps.weights[o][k] * row (taps.first[o] + k)
// of `in`, summed in k order. Most of a resize is spent here; a build for wider
// vector units is picked at load time where the processor has them (the sums are
// the same, element by element).
#if defined(__x86_64__) && defined(__GNUC__) && !defined(__clang__)
__attribute__((target_clones("avx2", "default")))
#endif
void weighted_rows(const cv::Mat& in, const Taps& taps, int width, cv::Mat& out) {
  const int n = in.cols;
  for (int o = 0; o < out.rows; ++o) {
    float* acc = out.ptr<float>(o);
    const float* w = &taps.weights[static_cast<size_t>(o) * taps.width];
    const float* row = in.ptr<float>(taps.first[o]);
    for (int c = 0; c < n; ++c) acc[c] = w[0] * row[c];
    for (int k = 1; k < width; ++k) {
      const float wk = w[k];
      row = in.ptr<float>(taps.first[o] + k);
      for (int c = 0; c < n; ++c) acc[c] += wk * row[c];
    }
  }
}

// A rows x cols image of T over `buffer`, which keeps its memory from one image
// to the next: windows differ in size from mask to mask, and an image of its own
// would be allocated, and its pages mapped in, for each.
template <typename T>
cv::Mat image_over(std::vector<T>& buffer, int rows, int cols) {
  buffer.resize(static_cast<std::size_t>(rows) * static_cast<std::size_t>(cols));
  return cv::Mat(rows, cols, cv::DataType<T>::type, buffer.data());
}

// Turns the 4 x 4 block at row r, column k of `in` into row k, column r of `out`.
inline void transpose_block4(const cv::Mat& in, int r, int k, cv::Mat& out) {
#if defined(__SSE2__)
  __m128 x0 = _mm_loadu_ps(in.ptr<float>(r) + k), x1 = _mm_loadu_ps(in.ptr<float>(r + 1) + k);
  __m128 x2 = _mm_loadu_ps(in.ptr<float>(r + 2) + k), x3 = _mm_loadu_ps(in.ptr<float>(r + 3) + k);
  _MM_TRANSPOSE4_PS(x0, x1, x2, x3);
  _mm_storeu_ps(out.ptr<float>(k) + r, x0);
  _mm_storeu_ps(out.ptr<float>(k + 1) + r, x1);
  _mm_storeu_ps(out.ptr<float>(k + 2) + r, x2);
  _mm_storeu_ps(out.ptr<float>(k + 3) + r, x3);
#else
  for (int i = 0; i < 4; ++i)
    for (int j = 0; j < 4; ++j) out.ptr<float>(k + j)[r + i] = in.ptr<float>(r + i)[k + j];
#endif
}

// `out` (in.cols x in.rows) = the transpose of `in`, both single-channel floats.
// The work goes in 16 x 16 tiles of 4 x 4 blocks turned in registers: walking
// whole columns instead would write rows a power of two apart (a 256-wide image),
// which all fall into a few cache sets and evict one another before each line is
// filled.
void transpose_floats(const cv::Mat& in, cv::Mat& out) {
  constexpr int kTile = 16;
  const int rows = in.rows, cols = in.cols;
  const int rows4 = rows / 4 * 4, cols4 = cols / 4 * 4;
  for (int r0 = 0; r0 < rows4; r0 += kTile)
    for (int k0 = 0; k0 < cols4; k0 += kTile)
      for (int r = r0; r < std::min(r0 + kTile, rows4); r += 4)
        for (int k = k0; k < std::min(k0 + kTile, cols4); k += 4) transpose_block4(in, r, k, out);
  // The edges left over: the last rows (all columns) and the last columns.
  for (int r = 0; r < rows; ++r)
    for (int k = r < rows4 ? cols4 : 0; k < cols; ++k) out.ptr<float>(k)[r] = in.ptr<float>(r)[k];
}

// Buffers of one resize, kept by the caller between resizes.
struct ResizeScratch {
  std::vector<float> columns, mid_columns, mid;

  std::size_t bytes() const {
    return (columns.capacity() + mid_columns.capacity() + mid.capacity()) * sizeof(float);
  }
};

// Resizes an image of rows x cols floats, given as its columns (`columns`, cols x
// rows), into out_rows x out_cols contiguous floats: a horizontal pass, then a
// vertical one, each in single precision as a 32-bit float image is resampled.
// The horizontal pass runs on the columns, where every output column is a
// weighted sum of whole input columns and vectorises like the vertical pass.
void resize_columns_into(const cv::Mat& columns, float* dst, int out_cols, int out_rows,
                         ResizeScratch& s) {
  const int cols = columns.rows, rows = columns.cols;
  const Taps h = triangle_taps(cols, out_cols);
  const Taps v = triangle_taps(rows, out_rows);
  cv::Mat mid_columns = image_over(s.mid_columns, out_cols, rows);
  weighted_rows(columns, h, std::min(h.width, cols), mid_columns);
  cv::Mat mid = image_over(s.mid, rows, out_cols);
  transpose_floats(mid_columns, mid);
  cv::Mat out(out_rows, out_cols, CV_32F, dst);
  weighted_rows(mid, v, std::min(v.width, rows), out);
}

// Working memory of one feature input, kept between masks and calls so that a
// frame's masks reuse it instead of allocating and faulting it in each time.
struct FeatureScratch {
  std::vector<std::uint8_t> gray;
  ResizeScratch resize;

  std::size_t bytes() const { return gray.capacity() + resize.bytes(); }
};

// Scratches lent to whichever thread prepares a mask: the worker threads of a
// batch are new each time, and memory of their own would be faulted in anew.
class ScratchPool {
 public:
  std::unique_ptr<FeatureScratch> take() {
    {
      std::lock_guard<std::mutex> lock(mutex_);
      if (!idle_.empty()) {
        auto scratch = std::move(idle_.back());
        idle_.pop_back();
        return scratch;
      }
    }
    return std::make_unique<FeatureScratch>();
  }

  // Keeps a few scratches of animal-sized windows; a frame-sized one is let go.
  void give(std::unique_ptr<FeatureScratch> scratch) {
    constexpr std::size_t kKeep = 4;
    constexpr std::size_t kKeepBytes = std::size_t{16} << 20;
    if (scratch->bytes() > kKeepBytes) return;
    std::lock_guard<std::mutex> lock(mutex_);
    if (idle_.size() < kKeep) idle_.push_back(std::move(scratch));
  }

 private:
  std::mutex mutex_;
  std::vector<std::unique_ptr<FeatureScratch>> idle_;
};

ScratchPool& scratch_pool() {
  static ScratchPool pool;
  return pool;
}

// A scratch for the lifetime of one feature input.
class ScratchLease {
 public:
  ScratchLease() : scratch_(scratch_pool().take()) {}
  ~ScratchLease() { scratch_pool().give(std::move(scratch_)); }
  ScratchLease(const ScratchLease&) = delete;
  ScratchLease& operator=(const ScratchLease&) = delete;
  FeatureScratch& operator*() { return *scratch_; }

 private:
  std::unique_ptr<FeatureScratch> scratch_;
};

// A byte's share of 255, as a 32-bit float division gives it.
const std::array<float, 256>& unit_values() {
  static const std::array<float, 256> values = [] {
    std::array<float, 256> v{};
    for (int i = 0; i < 256; ++i) v[i] = static_cast<float>(i) / 255.0f;
    return v;
  }();
  return values;
}

}  // namespace

cv::Mat resize_bilinear(const cv::Mat& src, int out_cols, int out_rows) {
  if (src.type() != CV_32F) throw ValueError("resize: expected a single-channel float image");
  if (out_cols <= 0 || out_rows <= 0) throw ValueError("resize: output size must be positive");
  if (src.empty()) throw ValueError("resize: the image is empty");
  cv::Mat out(out_rows, out_cols, CV_32F);
  ResizeScratch scratch;
  cv::Mat columns = image_over(scratch.columns, src.cols, src.rows);
  transpose_floats(src, columns);
  resize_columns_into(columns, out.ptr<float>(0), out_cols, out_rows, scratch);
  return out;
}

namespace {

// The histogram equalisation's mapping for an image with histogram `hist`:
// equalizeHist's own rule (the first used level goes to 0, each later level to
// its cumulative count scaled to 255 and rounded to nearest even), so that the
// crop's gray levels can be mapped in the same pass that applies the mask.
std::array<std::uint8_t, 256> equalising_table(const std::array<std::int64_t, 256>& hist,
                                               std::int64_t total) {
  std::array<std::uint8_t, 256> lut{};
  int i = 0;
  while (i < 256 && hist[i] == 0) ++i;
  if (i == 256) return lut;
  if (hist[i] == total) {  // a single level stays as it is
    lut[i] = static_cast<std::uint8_t>(i);
    return lut;
  }
  const float scale = 255.0f / static_cast<float>(total - hist[i]);
  std::int64_t sum = 0;
  for (lut[i++] = 0; i < 256; ++i) {
    sum += hist[i];
    const long v = std::lrint(static_cast<float>(sum) * scale);
    lut[i] = static_cast<std::uint8_t>(std::clamp<long>(v, 0, 255));
  }
  return lut;
}

void require_inputs(const cv::Mat& rgb, const MaskView& mask, int side) {
  require_rgb(rgb);
  if (mask.rows != rgb.rows || mask.cols != rgb.cols)
    throw ValueError("mask of " + std::to_string(mask.rows) + " x " + std::to_string(mask.cols) +
                     " pixels does not match the image of " + std::to_string(rgb.rows) + " x " +
                     std::to_string(rgb.cols) + " pixels");
  if (side <= 0) throw ValueError("encoder input side must be positive");
}

// The gray crop where the mask is greater than 0, black elsewhere, as reals in
// 0..1, written as its columns (window.width x window.height), the layout the
// resize starts from. Rows go in blocks, so that each column's part is written
// as one short contiguous run.
template <int Rows, typename T>
void cut_out_rows(const PlaneView<T>& mask, const cv::Rect& window, const cv::Mat& gray,
                  const std::array<float, 256>& shown_value, int r0, cv::Mat& columns) {
  const std::uint8_t* g[Rows];
  const T* m[Rows];
  for (int k = 0; k < Rows; ++k) {
    g[k] = gray.ptr<std::uint8_t>(r0 + k);
    m[k] = mask.row(window.y + r0 + k) + window.x;
  }
  for (int c = 0; c < window.width; ++c) {
    float* dst = columns.ptr<float>(c) + r0;
    for (int k = 0; k < Rows; ++k) dst[k] = positive(m[k][c]) ? shown_value[g[k][c]] : 0.0f;
  }
}

template <typename T>
void cut_out_columns(const PlaneView<T>& mask, const cv::Rect& window, const cv::Mat& gray,
                     const std::array<float, 256>& shown_value, cv::Mat& columns) {
  constexpr int kBlock = 8;
  int r0 = 0;
  for (; r0 + kBlock <= window.height; r0 += kBlock)
    cut_out_rows<kBlock>(mask, window, gray, shown_value, r0, columns);
  for (; r0 < window.height; ++r0) cut_out_rows<1>(mask, window, gray, shown_value, r0, columns);
}

// feature_input_into on inputs already checked.
bool make_feature_input(const cv::Mat& rgb, const PreparedMask& mask, int side,
                        std::int64_t min_pixels, float* out) {
  // The size test counts the non-zero pixels; the window and the cut-out take
  // those greater than 0. A mask with none of those has no window.
  if (mask.area < std::max<std::int64_t>(min_pixels, 1) || mask.positive.empty) return false;
  const TightBox& box = mask.positive;
  // The window stops short of the last set row and column.
  const cv::Rect window(static_cast<int>(box.x1), static_cast<int>(box.y1),
                        static_cast<int>(box.x2 - box.x1), static_cast<int>(box.y2 - box.y1));
  if (window.width <= 0 || window.height <= 0) return false;

  ScratchLease lease;
  FeatureScratch& s = *lease;
  cv::Mat gray = image_over(s.gray, window.height, window.width);
  cv::cvtColor(rgb(window), gray, cv::COLOR_RGB2GRAY);
  // Gamma, equalisation and the share of 255 all map one gray level to one
  // value, so they fold into one table, applied together with the mask: one pass
  // over the crop instead of a pass and an image per step.
  static const auto crop_gamma = gamma_table(1.0 / kCropGamma);
  // Four tallies taken in turns: a crop of few gray levels would otherwise keep
  // adding to the same count, each addition waiting for the one before.
  std::array<std::array<std::int64_t, 256>, 4> gray_counts{};
  for (int r = 0; r < gray.rows; ++r) {
    const std::uint8_t* g = gray.ptr<std::uint8_t>(r);
    int c = 0;
    for (; c + 4 <= gray.cols; c += 4) {
      ++gray_counts[0][g[c]];
      ++gray_counts[1][g[c + 1]];
      ++gray_counts[2][g[c + 2]];
      ++gray_counts[3][g[c + 3]];
    }
    for (; c < gray.cols; ++c) ++gray_counts[0][g[c]];
  }
  std::array<std::int64_t, 256> adjusted_counts{};
  for (int v = 0; v < 256; ++v)
    adjusted_counts[crop_gamma[v]] +=
        gray_counts[0][v] + gray_counts[1][v] + gray_counts[2][v] + gray_counts[3][v];
  const auto equalise = equalising_table(adjusted_counts, static_cast<std::int64_t>(window.area()));
  const auto& unit = unit_values();
  std::array<float, 256> shown_value{};
  for (int v = 0; v < 256; ++v) shown_value[v] = unit[equalise[crop_gamma[v]]];

  cv::Mat columns = image_over(s.resize.columns, window.width, window.height);
  visit(mask.view, [&](auto plane) { cut_out_columns(plane, window, gray, shown_value, columns); });
  const size_t plane = static_cast<size_t>(side) * side;
  // A new output: what of it is not in memory yet is mapped in by this thread in one go.
  populate_for_write(reinterpret_cast<std::uint8_t*>(out),
                     reinterpret_cast<std::uint8_t*>(out + 3 * plane));
  resize_columns_into(columns, out, side, side, s.resize);
  std::memcpy(out + plane, out, plane * sizeof(float));
  std::memcpy(out + 2 * plane, out, plane * sizeof(float));
  return true;
}

void require_outputs(std::size_t masks, std::size_t outputs) {
  if (outputs != masks) throw ValueError("one output per mask is needed");
}

}  // namespace

bool feature_input_into(const cv::Mat& rgb, const MaskView& mask, int side, std::int64_t min_pixels,
                        float* out) {
  require_inputs(rgb, mask, side);
  return make_feature_input(rgb, prepare(mask), side, min_pixels, out);
}

std::vector<std::uint8_t> feature_inputs_into(const cv::Mat& rgb,
                                              const std::vector<MaskView>& masks, int side,
                                              const std::vector<float*>& out,
                                              std::int64_t min_pixels) {
  require_outputs(masks.size(), out.size());
  for (const MaskView& mask : masks) require_inputs(rgb, mask, side);
  std::vector<std::uint8_t> made(masks.size(), 0);
  // Each mask is read (prepared) on the thread that makes its input.
  parallel_for(masks.size(), threads_for_bytes(bytes_of(masks)), [&](std::size_t k) {
    made[k] = make_feature_input(rgb, prepare(masks[k]), side, min_pixels, out[k]);
  });
  return made;
}

std::vector<std::uint8_t> feature_inputs_into(const cv::Mat& rgb,
                                              const std::vector<PreparedMask>& masks, int side,
                                              const std::vector<float*>& out,
                                              std::int64_t min_pixels) {
  require_outputs(masks.size(), out.size());
  for (const PreparedMask& mask : masks) require_inputs(rgb, mask.view, side);
  std::vector<std::uint8_t> made(masks.size(), 0);
  parallel_for(masks.size(), masks.size() > 1 ? 2 : 1, [&](std::size_t k) {
    made[k] = make_feature_input(rgb, masks[k], side, min_pixels, out[k]);
  });
  return made;
}

std::optional<std::vector<float>> feature_input(const cv::Mat& rgb, const MaskView& mask, int side,
                                                std::int64_t min_pixels) {
  std::vector<float> out(3 * static_cast<size_t>(std::max(side, 0)) * std::max(side, 0));
  if (!feature_input_into(rgb, mask, side, min_pixels, out.data())) return std::nullopt;
  return out;
}

}  // namespace hm::detect
