#include "annotation/composite.hpp"

#include <algorithm>
#include <cstring>
#include <functional>
#include <string>
#include <system_error>
#include <thread>

#include "common/errors.hpp"

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

// Index of the first non-zero byte of p[x..n), or n. Skips zero runs eight bytes at a time.
inline std::int64_t next_set(const std::uint8_t* p, std::int64_t x, std::int64_t n) {
  while (x + 8 <= n) {
    std::uint64_t word;
    std::memcpy(&word, p + x, 8);
    if (word) break;
    x += 8;
  }
  while (x < n && !p[x]) ++x;
  return x;
}

struct Job {
  const std::uint8_t* src;
  int channels;
  std::uint8_t* out;
  std::int64_t width;
  const std::vector<MaskView>* masks;
  const std::vector<Rgb>* colours;
};

// Rows [r0, r1): the source row first, then each mask in order painted from the
// source pixels, so a later mask simply overwrites what an earlier one painted.
void paint_rows(const Job& job, std::int64_t r0, std::int64_t r1) {
  static const std::array<Blend, 256> table = blend_table();
  const std::int64_t w = job.width;
  const int ch = job.channels;
  for (std::int64_t r = r0; r < r1; ++r) {
    const std::uint8_t* src = job.src + r * w * ch;
    std::uint8_t* out = job.out + r * w * 4;
    if (ch == 4) {
      std::memcpy(out, src, static_cast<size_t>(4 * w));
    } else {
      for (std::int64_t x = 0; x < w; ++x) {
        out[4 * x] = src[3 * x];
        out[4 * x + 1] = src[3 * x + 1];
        out[4 * x + 2] = src[3 * x + 2];
        out[4 * x + 3] = 255;
      }
    }
    for (size_t k = 0; k < job.masks->size(); ++k) {
      const MaskView& m = (*job.masks)[k];
      if (r >= m.rows) continue;
      const std::int64_t cols = std::min(m.cols, w);
      const std::uint8_t* set = m.row(r);
      const Rgb& c = (*job.colours)[k];
      for (std::int64_t x = next_set(set, 0, cols); x < cols; x = next_set(set, x + 1, cols)) {
        const std::uint8_t* s = src + ch * x;
        const Blend& b = table[ch == 4 ? s[3] : 255];
        std::uint8_t* o = out + 4 * x;
        o[0] = mix(c[0], s[0], b);
        o[1] = mix(c[1], s[1], b);
        o[2] = mix(c[2], s[2], b);
        o[3] = b.alpha;
      }
    }
  }
}

}  // namespace

void composite_masks(const std::uint8_t* src, int channels, std::uint8_t* out, std::int64_t height,
                     std::int64_t width, const std::vector<MaskView>& masks,
                     const std::vector<Rgb>& colours) {
  if (masks.size() != colours.size())
    throw ValueError("one colour per mask is required: " + std::to_string(masks.size()) +
                     " masks, " + std::to_string(colours.size()) + " colours");
  if (channels != 3 && channels != 4)
    throw ValueError("the image must have 3 or 4 channels, got " + std::to_string(channels));
  if (height <= 0 || width <= 0) return;
  const Job job{src, channels, out, width, &masks, &colours};
  // Two bands of rows on two threads for frame-sized images; rows are independent.
  if (height * width < (1 << 18)) {
    paint_rows(job, 0, height);
    return;
  }
  const std::int64_t mid = height / 2;
  std::thread other;
  try {
    other = std::thread(paint_rows, std::cref(job), mid, height);
  } catch (const std::system_error&) {
    paint_rows(job, 0, height);  // no thread to be had: one band
    return;
  }
  paint_rows(job, 0, mid);
  other.join();
}

}  // namespace hm::annotation
