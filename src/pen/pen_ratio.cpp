#include "pen/pen_ratio.hpp"

#include <geos_c.h>

#include <algorithm>
#include <cmath>
#include <cstdarg>
#include <cstdio>
#include <memory>
#include <string>

#include "common/errors.hpp"
#include "common/number_text.hpp"

namespace hm::pen {

namespace {

// One reentrant GEOS context per call: no state is shared between threads, and
// the engine's last error message is kept for the exception we raise.
class Geos {
 public:
  Geos() : ctx_(GEOS_init_r()) {
    if (!ctx_) throw std::bad_alloc();
    GEOSContext_setErrorMessageHandler_r(ctx_, &Geos::on_error, this);
  }
  ~Geos() { GEOS_finish_r(ctx_); }
  Geos(const Geos&) = delete;
  Geos& operator=(const Geos&) = delete;

  GEOSContextHandle_t get() const { return ctx_; }
  [[noreturn]] void fail(const std::string& what) const {
    throw ValueError(what + (message_.empty() ? "" : ": " + message_));
  }

 private:
  static void on_error(const char* fmt, void* self) {
    static_cast<Geos*>(self)->message_ = fmt ? fmt : "";
  }
  GEOSContextHandle_t ctx_;
  std::string message_;
};

struct GeomDeleter {
  GEOSContextHandle_t ctx;
  void operator()(GEOSGeometry* g) const {
    if (g) GEOSGeom_destroy_r(ctx, g);
  }
};
using Geom = std::unique_ptr<GEOSGeometry, GeomDeleter>;

struct PreparedDeleter {
  GEOSContextHandle_t ctx;
  void operator()(const GEOSPreparedGeometry* g) const {
    if (g) GEOSPreparedGeom_destroy_r(ctx, g);
  }
};
using Prepared = std::unique_ptr<const GEOSPreparedGeometry, PreparedDeleter>;

Geom make_polygon(const Geos& geos, const std::vector<Point2>& polygon) {
  GEOSContextHandle_t ctx = geos.get();
  const auto n = static_cast<unsigned>(polygon.size());
  GEOSCoordSequence* seq = GEOSCoordSeq_create_r(ctx, n + 1, 2);
  if (!seq) geos.fail("pen polygon");
  for (unsigned i = 0; i <= n; ++i) {
    const Point2& p = polygon[i % n];  // the ring closes on the first point
    GEOSCoordSeq_setXY_r(ctx, seq, i, p.x, p.y);
  }
  GEOSGeometry* ring = GEOSGeom_createLinearRing_r(ctx, seq);  // takes the sequence
  if (!ring) geos.fail("pen polygon");
  GEOSGeometry* poly = GEOSGeom_createPolygon_r(ctx, ring, nullptr, 0);  // takes the ring
  if (!poly) geos.fail("pen polygon");
  return Geom(poly, GeomDeleter{ctx});
}

double area_of(const Geos& geos, const GEOSGeometry* g, const char* what) {
  double a = 0;
  if (!GEOSArea_r(geos.get(), g, &a)) geos.fail(what);
  return a;
}

std::string box_text(size_t index, const Box4& b) {
  return "box " + std::to_string(index) + " (" + real_text(b[0]) + ", " + real_text(b[1]) + ", " +
         real_text(b[2]) + ", " + real_text(b[3]) + ")";
}

}  // namespace

std::vector<double> pen_intersection_percentages(const std::vector<Point2>& polygon,
                                                 const std::vector<Box4>& boxes) {
  if (polygon.size() < 3)
    throw ValueError("pen polygon needs at least three points, got " +
                     std::to_string(polygon.size()));
  for (const auto& p : polygon)
    if (!std::isfinite(p.x) || !std::isfinite(p.y))
      throw ValueError("pen polygon: coordinate is not finite (" + real_text(p.x) + ", " +
                       real_text(p.y) + ")");
  for (size_t i = 0; i < boxes.size(); ++i)
    for (double v : boxes[i])
      if (!std::isfinite(v)) throw ValueError(box_text(i, boxes[i]) + ": coordinate is not finite");

  std::vector<double> out;
  out.reserve(boxes.size());
  if (boxes.empty()) return out;

  Geos geos;
  GEOSContextHandle_t ctx = geos.get();
  const Geom poly = make_polygon(geos, polygon);
  const Prepared prepared(GEOSPrepare_r(ctx, poly.get()), PreparedDeleter{ctx});
  if (!prepared) geos.fail("pen polygon");

  for (size_t i = 0; i < boxes.size(); ++i) {
    const Box4& b = boxes[i];
    const Geom rect(GEOSGeom_createRectangle_r(ctx, std::min(b[0], b[2]), std::min(b[1], b[3]),
                                               std::max(b[0], b[2]), std::max(b[1], b[3])),
                    GeomDeleter{ctx});
    if (!rect) geos.fail(box_text(i, b));
    const double box_area = area_of(geos, rect.get(), "box area");
    if (box_area == 0) throw ZeroDivision(box_text(i, b) + " has zero area");
    // Boxes wholly inside or wholly outside the pen need no overlay.
    const char covers = GEOSPreparedCovers_r(ctx, prepared.get(), rect.get());
    if (covers == 2) geos.fail("pen polygon");
    if (covers == 1) {
      out.push_back(100.0);
      continue;
    }
    const char meets = GEOSPreparedIntersects_r(ctx, prepared.get(), rect.get());
    if (meets == 2) geos.fail("pen polygon");
    if (meets == 0) {
      out.push_back(0.0);
      continue;
    }
    const Geom inter(GEOSIntersection_r(ctx, poly.get(), rect.get()), GeomDeleter{ctx});
    if (!inter) geos.fail("intersection of the pen polygon with " + box_text(i, b));
    out.push_back(area_of(geos, inter.get(), "intersection area") / box_area * 100.0);
  }
  return out;
}

}  // namespace hm::pen
