#include "annotation/i420_overlay.hpp"

#include <algorithm>
#include <array>
#include <cstring>
#include <limits>
#include <memory>
#include <opencv2/core/mat.hpp>
#include <string>

#include "common/errors.hpp"

namespace hm::annotation {

namespace {

// What covers a pixel, a Code: 0 the picture, k + 1 the k-th mask drawn, the
// largest value a box line or a tab (whose value is kept per pixel). A byte when
// the masks are few, which halves the plane the drawing reads over and over.
template <typename Code>
constexpr Code kOverlay = std::numeric_limits<Code>::max();
constexpr std::size_t kMostMasks = std::numeric_limits<std::uint16_t>::max() - 1;

// The blend of composite_masks for alpha 128 over an opaque pixel, weights
// 16384 and 16256 in 2^7 * 255ths: a colour's value over every value of a plane.
std::array<std::uint8_t, 256> shades(std::uint8_t colour) {
  std::array<std::uint8_t, 256> t{};
  for (std::uint32_t v = 0; v < 256; ++v) {
    const std::uint32_t tmp = colour * 16384u + v * 16256u + (0x80u << 7);
    t[v] = static_cast<std::uint8_t>((((tmp >> 8) + tmp) >> 8) >> 7);
  }
  return t;
}

struct MaskShades {
  std::array<std::uint8_t, 256> y, u, v;
};

template <typename Code>
class Canvas {
 public:
  Canvas(const I420View& frame)
      : frame_(frame),
        codes_(static_cast<std::size_t>(frame.width * frame.height), 0),
        over_(new Yuv[static_cast<std::size_t>(frame.width * frame.height)]) {}

  Code* codes(std::int64_t r) { return codes_.data() + r * frame_.width; }
  // The codes as an image the polygon fill writes into.
  cv::Mat plane() {
    return cv::Mat(static_cast<int>(frame_.height), static_cast<int>(frame_.width),
                   sizeof(Code) == 1 ? CV_8UC1 : CV_16UC1, codes_.data());
  }

  // Pixels [x1, x2] x [y1, y2], clipped to the frame, covered by `value`.
  void rectangle(std::int64_t x1, std::int64_t y1, std::int64_t x2, std::int64_t y2, Yuv value) {
    x1 = std::max<std::int64_t>(x1, 0);
    y1 = std::max<std::int64_t>(y1, 0);
    x2 = std::min(x2, frame_.width - 1);
    y2 = std::min(y2, frame_.height - 1);
    for (std::int64_t r = y1; r <= y2; ++r)
      for (std::int64_t x = x1; x <= x2; ++x) set(r, x, value);
  }

  // The tab with its bottom-left pixel at (x, y), clipped to the frame.
  void tab(const LabelTab& t, std::int64_t x, std::int64_t y) {
    const std::int64_t top = y - t.rows + 1;
    for (std::int64_t r = std::max<std::int64_t>(0, -top); r < t.rows; ++r) {
      if (top + r >= frame_.height) break;
      const std::uint8_t* px = t.rgb + r * t.step;
      for (std::int64_t c = std::max<std::int64_t>(0, -x); c < t.cols && x + c < frame_.width; ++c)
        set(top + r, x + c, yuv_of_rgb(px[3 * c], px[3 * c + 1], px[3 * c + 2]));
    }
  }

  void paint(const std::vector<MaskShades>& masks) const {
    const std::int64_t w = frame_.width, h = frame_.height;
    for (std::int64_t r = 0; r < h; ++r) {
      const Code* code = codes_.data() + r * w;
      std::uint8_t* y = frame_.y() + r * w;
      const Yuv* over = over_.get() + r * w;
      for (std::int64_t x = skip(code, 0, w); x < w; x = skip(code, x, w)) {
        const Code c = code[x];
        std::int64_t end = x + 1;
        while (end < w && code[end] == c) ++end;
        if (c == kOverlay<Code>) {
          for (; x < end; ++x) y[x] = over[x].y;
        } else if (c) {
          const std::array<std::uint8_t, 256>& shade = masks[c - 1].y;
          for (; x < end; ++x) y[x] = shade[y[x]];
        }
        x = end;
      }
    }
    const std::int64_t cw = w / 2;
    for (std::int64_t cr = 0; cr < h / 2; ++cr) {
      const Code* top = codes_.data() + 2 * cr * w;
      const Code* bottom = top + w;
      const Yuv* over = over_.get() + 2 * cr * w;
      std::uint8_t* u = frame_.u() + cr * cw;
      std::uint8_t* v = frame_.v() + cr * cw;
      for (std::int64_t x = 0; x < w; x += 2) {
        x = std::min(skip(top, x, w), skip(bottom, x, w)) & ~std::int64_t{1};
        if (x >= w) break;
        const std::int64_t cx = x / 2;
        unsigned su = 0, sv = 0;
        for (const std::int64_t i : {x, x + 1, x + w, x + w + 1}) {
          const Code c = top[i];
          if (c == kOverlay<Code>) {
            su += over[i].u;
            sv += over[i].v;
          } else if (c) {
            su += masks[c - 1].u[u[cx]];
            sv += masks[c - 1].v[v[cx]];
          } else {
            su += u[cx];
            sv += v[cx];
          }
        }
        u[cx] = static_cast<std::uint8_t>((su + 2) / 4);
        v[cx] = static_cast<std::uint8_t>((sv + 2) / 4);
      }
    }
  }

 private:
  void set(std::int64_t r, std::int64_t x, Yuv value) {
    const std::size_t i = static_cast<std::size_t>(r * frame_.width + x);
    codes_[i] = kOverlay<Code>;
    over_[i] = value;
  }
  // The first covered pixel of codes[x..n), or n: uncovered stretches go by 32
  // bytes, then by 8.
  static std::int64_t skip(const Code* codes, std::int64_t x, std::int64_t n) {
    constexpr std::int64_t word = 8 / sizeof(Code);
    for (; x + 4 * word <= n; x += 4 * word) {
      std::uint64_t a, b, c, d;  // four loads: an array would go through the stack
      std::memcpy(&a, codes + x, 8);
      std::memcpy(&b, codes + x + word, 8);
      std::memcpy(&c, codes + x + 2 * word, 8);
      std::memcpy(&d, codes + x + 3 * word, 8);
      if (a | b | c | d) break;
    }
    for (; x + word <= n; x += word) {
      std::uint64_t a;
      std::memcpy(&a, codes + x, 8);
      if (a) break;
    }
    while (x < n && !codes[x]) ++x;
    return x;
  }

  I420View frame_;
  std::vector<Code> codes_;
  std::unique_ptr<Yuv[]> over_;  // written only where codes_ says kOverlay
};

template <typename Code>
void draw(const I420View& frame, const std::vector<std::vector<std::string>>& polygons,
          const std::vector<Rgb>& colours, const std::vector<LabelTab>& tabs, std::int64_t line) {
  const std::size_t n = polygons.size();
  Canvas<Code> canvas(frame);
  std::vector<TightBox> boxes(n);
  std::vector<MaskShades> shaded;
  // Each mask is filled straight into the canvas with its code, over the masks
  // before it: its pixels are then exactly those holding its code, whose box is
  // its tight box.
  cv::Mat codes = canvas.plane();
  for (std::size_t j = 0; j < n; ++j) {
    const Yuv c = yuv_of_rgb(colours[j][0], colours[j][1], colours[j][2]);
    shaded.push_back({shades(c.y), shades(c.u), shades(c.v)});
    TightBox bounds;
    const Code code = static_cast<Code>(j + 1);
    for (const std::string& text : polygons[j]) fill_polygon_text(codes, text, code, bounds);
    if (bounds.empty) continue;
    for (std::int64_t r = bounds.y1; r <= bounds.y2; ++r) {
      const Code* row = canvas.codes(r);
      std::int64_t first = bounds.x1, last = bounds.x2;
      while (first <= last && row[first] != code) ++first;
      while (last > first && row[last] != code) --last;
      if (first <= last) extend(boxes[j], r, first, last);
    }
  }
  for (std::size_t j = 0; j < n; ++j) {
    const TightBox& b = boxes[j];
    if (b.empty) continue;
    const Yuv c = yuv_of_rgb(colours[j][0], colours[j][1], colours[j][2]);
    // The imaging library's outline, line after line: its sides go from y1 + line
    // towards y2 - line + 1, that row left out, so on a box narrower than two lines
    // they run outwards, and so they do here.
    const std::int64_t from = b.y1 + line, to = b.y2 - line + 1;
    const std::int64_t side_top = from <= to ? from : to + 1,
                       side_bottom = from <= to ? to - 1 : from;
    for (std::int64_t i = 0; i < line; ++i) {
      canvas.rectangle(b.x1, b.y1 + i, b.x2, b.y1 + i, c);
      canvas.rectangle(b.x1, b.y2 - i, b.x2, b.y2 - i, c);
      canvas.rectangle(b.x2 - i, side_top, b.x2 - i, side_bottom, c);
      canvas.rectangle(b.x1 + i, side_top, b.x1 + i, side_bottom, c);
    }
    if (tabs[j].rows > 0 && tabs[j].cols > 0) canvas.tab(tabs[j], b.x1, b.y1);
  }
  canvas.paint(shaded);
}

}  // namespace

void draw_masks_i420(const I420View& frame, const std::vector<std::vector<std::string>>& polygons,
                     const std::vector<Rgb>& colours, const std::vector<LabelTab>& tabs,
                     std::int64_t line) {
  check_i420_size(frame.width, frame.height);
  const std::size_t n = polygons.size();
  if (colours.size() != n || tabs.size() != n)
    throw ValueError("one colour and one tab per mask drawn are required: " + std::to_string(n) +
                     " masks, " + std::to_string(colours.size()) + " colours, " +
                     std::to_string(tabs.size()) + " tabs");
  if (n > kMostMasks)
    throw ValueError("at most " + std::to_string(kMostMasks) + " masks can be drawn at once");
  if (line < 0 || line > frame.width + frame.height)
    throw ValueError("a box line of " + std::to_string(line) + " pixels cannot be drawn");
  for (const LabelTab& t : tabs)
    if (t.rows < 0 || t.cols < 0 || (t.rows > 0 && t.cols > 0 && (!t.rgb || t.step < 3 * t.cols)))
      throw ValueError("a label tab is not a picture of RGB rows");

  if (n < kOverlay<std::uint8_t>)
    draw<std::uint8_t>(frame, polygons, colours, tabs, line);
  else
    draw<std::uint16_t>(frame, polygons, colours, tabs, line);
}

}  // namespace hm::annotation
