#include "annotation/composite.hpp"

#include <algorithm>
#include <bit>
#include <cstring>
#include <functional>
#include <string>
#include <system_error>
#include <thread>

#include "common/errors.hpp"
#include "common/real_bits.hpp"
#include "common/zero_buffer.hpp"

namespace hm::annotation {

namespace {

constexpr std::uint32_t kPrecisionBits = 7;
constexpr std::uint32_t kOverlayAlpha = 128;

constexpr std::uint32_t shift_div255(std::uint32_t a) { return ((a >> 8) + a) >> 8; }

// Per destination alpha: the weights of source and destination and the result's alpha.
struct Blend {
  std::uint32_t coef1 = 0, coef2 = 0;
  std::uint8_t alpha = 0;
};

std::array<Blend, 256> blend_table() {
  std::array<Blend, 256> t{};
  for (std::uint32_t a = 0; a < 256; ++a) {
    const std::uint32_t blend = a * (255 - kOverlayAlpha);
    const std::uint32_t outa255 = kOverlayAlpha * 255 + blend;
    t[a].coef1 = kOverlayAlpha * 255 * 255 * (1u << kPrecisionBits) / outa255;
    t[a].coef2 = 255 * (1u << kPrecisionBits) - t[a].coef1;
    t[a].alpha = static_cast<std::uint8_t>(shift_div255(outa255 + 0x80));
  }
  return t;
}

inline std::uint8_t mix(std::uint32_t src, std::uint32_t dst, const Blend& b) {
  const std::uint32_t tmp = src * b.coef1 + dst * b.coef2;
  return static_cast<std::uint8_t>(shift_div255(tmp + (0x80u << kPrecisionBits)) >> kPrecisionBits);
}

// A colour's blend over every value of an opaque source's channel: painting an
// opaque pixel is then three look-ups.
struct OpaqueShades {
  std::array<std::array<std::uint8_t, 256>, 3> channel;
  std::uint8_t alpha = 0;
};

OpaqueShades opaque_shades(const Rgb& colour) {
  static const std::array<Blend, 256> table = blend_table();
  const Blend& b = table[255];
  OpaqueShades s;
  for (int ch = 0; ch < 3; ++ch)
    for (std::uint32_t v = 0; v < 256; ++v) s.channel[ch][v] = mix(colour[ch], v, b);
  s.alpha = b.alpha;
  return s;
}

// Paints one pixel of a mask's colour over the source pixel.
struct Painter {
  const std::uint8_t* src;     // the row's source pixels
  std::size_t src_step;        // bytes per source pixel
  const OpaqueShades* shades;  // for an opaque source; else its fourth byte is its alpha
  std::uint8_t* out;           // the row's RGBA output
  const Rgb* colour;

  void operator()(std::int64_t x) const {
    const std::uint8_t* s = src + src_step * static_cast<std::size_t>(x);
    std::uint8_t* o = out + 4 * x;
    if (shades) {
      o[0] = shades->channel[0][s[0]];
      o[1] = shades->channel[1][s[1]];
      o[2] = shades->channel[2][s[2]];
      o[3] = shades->alpha;
      return;
    }
    static const std::array<Blend, 256> table = blend_table();
    const Blend& b = table[s[3]];
    o[0] = mix((*colour)[0], s[0], b);
    o[1] = mix((*colour)[1], s[1], b);
    o[2] = mix((*colour)[2], s[2], b);
    o[3] = b.alpha;
  }
};

// Paints the set pixels of one row of a byte mask (non-zero, which is greater
// than 0 for bytes) and returns the first and last of them, or -1, -1.
std::pair<std::int64_t, std::int64_t> paint_row(const std::uint8_t* set, std::int64_t cols,
                                                const Painter& paint) {
  if (or_of_words(set, static_cast<std::size_t>(cols)) == 0) return {-1, -1};
  std::int64_t first = -1, last = -1;
  for (std::int64_t x = next_set(set, 0, cols); x < cols; x = next_set(set, x, cols)) {
    const std::int64_t end = next_clear(set, x, cols);
    if (first < 0) first = x;
    last = end - 1;
    for (; x < end; ++x) paint(x);
  }
  return {first, last};
}

// The same for a row of reals: the elements greater than 0 are painted, the
// first and last non-zero ones returned.
template <typename T>
std::pair<std::int64_t, std::int64_t> paint_row(const T* p, std::int64_t cols,
                                                const Painter& paint) {
  using R = RealBits<T>;
  std::int64_t first = -1, last = -1;
  if (or_of_words(p, static_cast<std::size_t>(cols) * sizeof(T)) == 0) return {first, last};
  for (std::int64_t c = 0; c < cols;) {
    if (c + R::kPerBlock <= cols && R::zero_block(p + c)) {
      c += R::kPerBlock;
      continue;
    }
    for (const std::int64_t stop = std::min(cols, c + R::kPerBlock); c < stop; ++c) {
      const T v = p[c];
      if (!non_zero(v)) continue;
      if (first < 0) first = c;
      last = c;
      if (positive(v)) paint(c);
    }
  }
  return {first, last};
}

void merge(TightBox& into, const TightBox& more) {
  if (more.empty) return;
  extend(into, more.y1, more.x1, more.x2);
  extend(into, more.y2, more.x1, more.x2);
}

struct Job {
  const std::uint8_t* src;
  PixelLayout layout;
  std::uint8_t* out;
  std::int64_t width;
  const std::vector<MaskView>* masks;
  const std::vector<Rgb>* colours;
  const std::vector<OpaqueShades>* shades;  // one per mask, for an opaque source
};

// The fourth byte of a pixel read as a 32-bit word, all ones.
constexpr std::uint32_t kOpaque = std::endian::native == std::endian::little ? 0xff000000u : 0xffu;

// The source row as RGBA, opaque where the source has no alpha.
void copy_row(const std::uint8_t* src, PixelLayout layout, std::int64_t w, std::uint8_t* out) {
  switch (layout) {
    case PixelLayout::rgba:
      std::memcpy(out, src, static_cast<size_t>(4 * w));
      return;
    case PixelLayout::rgbx:
      // One pass, a pixel a 32-bit word: the fourth byte (alpha) set to 255.
      for (std::int64_t x = 0; x < w; ++x) {
        std::uint32_t px;
        std::memcpy(&px, src + 4 * x, 4);
        px |= kOpaque;
        std::memcpy(out + 4 * x, &px, 4);
      }
      return;
    case PixelLayout::rgb:
      for (std::int64_t x = 0; x < w; ++x) {
        out[4 * x] = src[3 * x];
        out[4 * x + 1] = src[3 * x + 1];
        out[4 * x + 2] = src[3 * x + 2];
        out[4 * x + 3] = 255;
      }
      return;
  }
}

// Rows [r0, r1): the source row first, then each mask in order painted from the
// source pixels, so a later mask simply overwrites what an earlier one painted.
// Each mask's set pixels in these rows widen boxes[k]. The rows go in bands, each
// mask read down a whole band before the next: long runs of one mask's memory
// are what the processor fetches ahead best, and the band's output stays in cache.
void paint_rows(const Job& job, std::int64_t r0, std::int64_t r1, std::vector<TightBox>& boxes) {
  const std::int64_t w = job.width;
  const std::size_t step = job.layout == PixelLayout::rgb ? 3 : 4;
  // The output is new memory: its pages are mapped in by this band's thread in one go.
  populate_for_write(job.out + r0 * w * 4, job.out + r1 * w * 4);
  const std::int64_t band = std::max<std::int64_t>(1, (std::int64_t{1} << 19) / (4 * w));
  for (std::int64_t b0 = r0; b0 < r1; b0 += band) {
    const std::int64_t b1 = std::min(r1, b0 + band);
    for (std::int64_t r = b0; r < b1; ++r)
      copy_row(job.src + static_cast<std::size_t>(r * w) * step, job.layout, w,
               job.out + r * w * 4);
    for (size_t k = 0; k < job.masks->size(); ++k) {
      const MaskView& m = (*job.masks)[k];
      const std::int64_t cols = std::min(m.cols, w);
      for (std::int64_t r = b0; r < std::min(b1, m.rows); ++r) {
        const Painter paint{job.src + static_cast<std::size_t>(r * w) * step, step,
                            job.shades->empty() ? nullptr : &(*job.shades)[k], job.out + r * w * 4,
                            &(*job.colours)[k]};
        const auto [first, last] =
            visit(m, [&](auto plane) { return paint_row(plane.row(r), cols, paint); });
        if (first >= 0) extend(boxes[k], r, first, last);
      }
    }
  }
}

}  // namespace

void composite_masks(const std::uint8_t* src, PixelLayout layout, std::uint8_t* out,
                     std::int64_t height, std::int64_t width, const std::vector<MaskView>& masks,
                     const std::vector<Rgb>& colours, std::vector<TightBox>* boxes) {
  if (masks.size() != colours.size())
    throw ValueError("one colour per mask is required: " + std::to_string(masks.size()) +
                     " masks, " + std::to_string(colours.size()) + " colours");
  std::vector<TightBox> top(masks.size()), bottom(masks.size());
  if (height > 0 && width > 0) {
    std::vector<OpaqueShades> shades;
    if (layout != PixelLayout::rgba)
      for (const Rgb& c : colours) shades.push_back(opaque_shades(c));
    const Job job{src, layout, out, width, &masks, &colours, &shades};
    // Two bands of rows on two threads for frame-sized images; rows are independent.
    const std::int64_t mid = height * width < (1 << 18) ? height : height / 2;
    std::thread other;
    if (mid < height) {
      try {
        other = std::thread(paint_rows, std::cref(job), mid, height, std::ref(bottom));
      } catch (const std::system_error&) {
        paint_rows(job, mid, height, bottom);  // no thread to be had: one band after the other
      }
    }
    paint_rows(job, 0, mid, top);
    if (other.joinable()) other.join();
  }
  if (!boxes) return;
  boxes->assign(masks.size(), TightBox{});
  for (size_t k = 0; k < masks.size(); ++k) {
    const MaskView& m = masks[k];
    if (m.rows > std::max<std::int64_t>(height, 0) || m.cols > std::max<std::int64_t>(width, 0)) {
      (*boxes)[k] = tight_box(m);  // the painting did not read all of it
      continue;
    }
    (*boxes)[k] = top[k];
    merge((*boxes)[k], bottom[k]);
  }
}

}  // namespace hm::annotation
