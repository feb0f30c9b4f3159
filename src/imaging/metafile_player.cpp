// The metafile player: EMF and placeable WMF records drawn onto a white 24-bit bitmap without
// anti-aliasing. Every record is read through a reader limited to its own length, every object
// index is checked against the table, and coordinates are clamped before they reach the pixel
// loops, which only visit pixels inside the bitmap.
#include <algorithm>
#include <array>
#include <cmath>
#include <cstring>
#include <functional>
#include <numbers>
#include <optional>
#include <string>
#include <vector>

#include "core/byte_reader.h"
#include "imaging/metafile.h"

namespace vexo::metafile {
namespace {

using Warn = std::function<void(std::string_view)>;

// ---------------------------------------------------------------------------------------------
// DIB decoding: BITMAPCOREHEADER or BITMAPINFOHEADER and later, 1/4/8/16/24/32 bits, BI_RGB and
// BI_BITFIELDS, to a 24-bit bitmap.

struct Mask {
  std::uint32_t mask = 0;
  int shift = 0, bits = 0;
  explicit Mask(std::uint32_t m = 0) : mask(m) {
    if (!m) return;
    while (!((m >> shift) & 1)) ++shift;
    while (bits < 32 - shift && ((m >> (shift + bits)) & 1)) ++bits;
  }
  std::uint8_t get(std::uint32_t v) const {
    if (!bits) return 0;
    const std::uint32_t x = (v & mask) >> shift;
    if (bits >= 8) return static_cast<std::uint8_t>(x >> (bits - 8));
    const std::uint32_t max = (1u << bits) - 1;
    return static_cast<std::uint8_t>((x * 255 + max / 2) / max);
  }
};

// rows: how many rows the bits hold (fewer than the header's height for set-DIB-bits), or -1.
Bitmap decodeDib(std::span<const std::uint8_t> info, std::span<const std::uint8_t> bits,
                 bool paletteIndices, const DecodeLimits& limits, std::int64_t rows = -1) {
  ByteReader r(info);
  const std::uint32_t headerSize = r.u32le();
  std::int64_t width = 0, height = 0;
  int depth = 0;
  std::uint32_t compression = 0, colorsUsed = 0;
  bool core = false;
  if (headerSize == 12) {
    core = true;
    width = r.u16le();
    height = r.u16le();
    r.u16le();
    depth = r.u16le();
  } else if (headerSize >= 40 && headerSize <= info.size()) {
    width = r.i32le();
    height = r.i32le();
    r.u16le();
    depth = r.u16le();
    compression = r.u32le();
    r.skip(12);
    colorsUsed = r.u32le();
  } else {
    throw MetafileError("metafile: unknown bitmap header");
  }
  const bool topDown = height < 0;
  height = std::abs(height);
  if (width < 1 || height < 1) throw MetafileError("metafile: empty bitmap in a record");
  if (depth != 1 && depth != 4 && depth != 8 && depth != 16 && depth != 24 && depth != 32)
    throw MetafileError("metafile: unsupported bitmap depth");
  std::array<Mask, 3> masks;
  if (compression == 3 && (depth == 16 || depth == 32)) {
    ByteReader m(info);
    m.seek(40);  // after a 40-byte header, or inside a larger one
    for (auto& mask : masks) mask = Mask(m.u32le());
  } else if (compression == 0 && depth == 16) {
    masks = {Mask(0x7C00), Mask(0x03E0), Mask(0x001F)};
  } else if (compression == 0 && depth == 32) {
    masks = {Mask(0xFF0000), Mask(0xFF00), Mask(0xFF)};
  } else if (compression != 0) {
    throw MetafileError("metafile: compressed bitmaps in records are not supported");
  }
  r.seek(std::max<std::size_t>(r.pos(), headerSize));
  if (compression == 3 && headerSize == 40) r.skip(12);

  Palette palette;
  if (depth <= 8) {
    std::uint32_t entries = colorsUsed ? colorsUsed : (1u << depth);
    // Writers that leave the count at 0 sometimes store fewer entries than the depth allows.
    const std::size_t entrySize = paletteIndices ? 2 : core ? 3 : 4;
    entries = std::min<std::uint32_t>(
        {entries, 256, static_cast<std::uint32_t>(r.remaining() / entrySize)});
    for (std::uint32_t i = 0; i < entries; ++i) {
      PaletteEntry e;
      if (paletteIndices) {
        // Indices into a logical palette we do not keep: shown as grey levels.
        const auto grey = static_cast<std::uint8_t>(r.u16le());
        e.red = e.green = e.blue = grey;
      } else {
        e.blue = r.u8();
        e.green = r.u8();
        e.red = r.u8();
        if (!core) r.u8();
      }
      palette.push_back(e);
    }
  }

  const std::int64_t stored = rows >= 0 ? std::min(rows, height) : height;
  if (stored < 1) throw MetafileError("metafile: empty bitmap in a record");
  const std::uint64_t stride = ((static_cast<std::uint64_t>(width) * depth + 31) / 32) * 4;
  checkImageSize(width, stored, 24, limits);
  if (stride * static_cast<std::uint64_t>(stored) > bits.size())
    throw MetafileError("metafile: bitmap bits are truncated");
  Bitmap out(static_cast<int>(width), static_cast<int>(stored), 24, limits);
  for (std::int64_t sy = 0; sy < stored; ++sy) {
    // Stored row sy: from the bottom for bottom-up bitmaps.
    const std::uint8_t* src = bits.data() + sy * stride;
    std::uint8_t* dst = out.row(static_cast<int>(topDown ? sy : stored - 1 - sy));
    for (std::int64_t x = 0; x < width; ++x, dst += 3) {
      std::uint8_t red = 0, green = 0, blue = 0;
      if (depth <= 8) {
        const std::uint64_t bit = static_cast<std::uint64_t>(x) * depth;
        const unsigned index =
            (src[bit / 8] >> (8 - depth - static_cast<int>(bit % 8))) & ((1u << depth) - 1);
        if (index < palette.size()) {
          red = palette[index].red;
          green = palette[index].green;
          blue = palette[index].blue;
        }
      } else if (depth == 24) {
        blue = src[x * 3];
        green = src[x * 3 + 1];
        red = src[x * 3 + 2];
      } else {
        std::uint32_t v = 0;
        if (depth == 16)
          v = src[x * 2] | src[x * 2 + 1] << 8;
        else
          v = std::uint32_t{src[x * 4]} | std::uint32_t{src[x * 4 + 1]} << 8 |
              std::uint32_t{src[x * 4 + 2]} << 16 | std::uint32_t{src[x * 4 + 3]} << 24;
        red = masks[0].get(v);
        green = masks[1].get(v);
        blue = masks[2].get(v);
      }
      dst[0] = blue;
      dst[1] = green;
      dst[2] = red;
    }
  }
  return out;
}

// ---------------------------------------------------------------------------------------------
// The device context and the drawing primitives.

struct Point {
  double x = 0, y = 0;
};

struct Pen {
  std::uint32_t color = 0;
  bool null = false;
  double width = 0;  // logical units; 0 is one pixel
};

struct Brush {
  std::uint32_t color = 0xFFFFFF;
  bool null = false;
};

struct XForm {
  double m11 = 1, m12 = 0, m21 = 0, m22 = 1, dx = 0, dy = 0;
  XForm then(const XForm& b) const {  // this, then b
    return {m11 * b.m11 + m12 * b.m21,      m11 * b.m12 + m12 * b.m22,
            m21 * b.m11 + m22 * b.m21,      m21 * b.m12 + m22 * b.m22,
            dx * b.m11 + dy * b.m21 + b.dx, dx * b.m12 + dy * b.m22 + b.dy};
  }
};

struct DcState {
  int mapMode = 1;
  double winOrgX = 0, winOrgY = 0, winExtX = 1, winExtY = 1;
  double vpOrgX = 0, vpOrgY = 0, vpExtX = 1, vpExtY = 1;
  XForm world;
  Pen pen;
  Brush brush;
  Point current;
  bool winding = false;
};

enum class ObjectKind { None, Pen, Brush, Other };

struct Object {
  ObjectKind kind = ObjectKind::None;
  Pen pen;
  Brush brush;
};

constexpr double kCoordLimit = 1e7;

double clampCoord(double v) {
  if (std::isnan(v)) return 0;
  return std::clamp(v, -kCoordLimit, kCoordLimit);
}

// Thrown when a file asks for more pixel work than any sensible picture needs.
class WorkLimit : public MetafileError {
 public:
  WorkLimit() : MetafileError("metafile: drawing stopped, the records ask for too much work") {}
};

class Canvas {
 public:
  Canvas(Bitmap& target, double devicePixelsPerMmX, double devicePixelsPerMmY)
      : target_(target), pxPerMmX_(devicePixelsPerMmX), pxPerMmY_(devicePixelsPerMmY) {}

  DcState dc;
  std::vector<DcState> saved;
  // Device (reference) pixels to bitmap pixels.
  double outScaleX = 1, outScaleY = 1, outOffsetX = 0, outOffsetY = 0;

  Point toDevicePage(Point p) const {
    const XForm& w = dc.world;
    const double x = p.x * w.m11 + p.y * w.m21 + w.dx, y = p.x * w.m12 + p.y * w.m22 + w.dy;
    double sx = 1, sy = 1;
    scales(sx, sy);
    return {(x - dc.winOrgX) * sx + dc.vpOrgX, (y - dc.winOrgY) * sy + dc.vpOrgY};
  }
  Point toOut(Point p) const {
    const Point d = toDevicePage(p);
    return {clampCoord(d.x * outScaleX + outOffsetX), clampCoord(d.y * outScaleY + outOffsetY)};
  }
  double penWidth() const {
    double sx = 1, sy = 1;
    scales(sx, sy);
    const double w = dc.pen.width * std::abs(sx * outScaleX);
    return std::isfinite(w) ? std::min(w, kCoordLimit) : 1;
  }

  void save() {
    if (saved.size() < 4096) saved.push_back(dc);
  }
  void restore(std::int64_t n) {
    if (saved.empty()) return;
    std::int64_t index = n < 0 ? static_cast<std::int64_t>(saved.size()) + n : n - 1;
    if (index < 0 || index >= static_cast<std::int64_t>(saved.size())) return;
    dc = saved[static_cast<std::size_t>(index)];
    saved.resize(static_cast<std::size_t>(index));
  }

  // Shapes in logical coordinates.
  void polygon(const std::vector<std::vector<Point>>& polys, bool fill, bool stroke) {
    std::vector<std::vector<Point>> out;
    for (const auto& poly : polys) {
      std::vector<Point> q;
      q.reserve(poly.size());
      for (const Point& p : poly) q.push_back(toOut(p));
      out.push_back(std::move(q));
    }
    polygonOut(out, fill, stroke);
  }
  void polygonOut(const std::vector<std::vector<Point>>& out, bool fill, bool stroke) {
    if (fill && !dc.brush.null) fillPolygons(out, dc.brush.color, dc.winding);
    if (stroke && !dc.pen.null)
      for (const auto& q : out)
        for (std::size_t i = 0; i < q.size(); ++i) line(q[i], q[(i + 1) % q.size()]);
  }
  // Arc (0), chord (1) or pie (2) of the ellipse in the box, counter-clockwise on the picture from
  // the ray through start to the ray through end.
  void arc(Point a, Point b, Point start, Point end, int kind) {
    Point p = toOut(a), q = toOut(b);
    const Point s = toOut(start), e = toOut(end);
    const double cx = (p.x + q.x) / 2, cy = (p.y + q.y) / 2;
    const double rx = std::abs(q.x - p.x) / 2, ry = std::abs(q.y - p.y) / 2;
    if (rx <= 0 || ry <= 0) return;
    const double a0 = std::atan2(-(s.y - cy) / ry, (s.x - cx) / rx);
    double a1 = std::atan2(-(e.y - cy) / ry, (e.x - cx) / rx);
    if (a1 <= a0) a1 += 2 * std::numbers::pi;
    std::vector<Point> pts;
    const int steps = 64;
    for (int i = 0; i <= steps; ++i) {
      const double t = a0 + (a1 - a0) * i / steps;
      pts.push_back({cx + rx * std::cos(t), cy - ry * std::sin(t)});
    }
    if (kind == 0) {
      if (!dc.pen.null)
        for (std::size_t i = 1; i < pts.size(); ++i) line(pts[i - 1], pts[i]);
      return;
    }
    if (kind == 2) pts.push_back({cx, cy});
    polygonOut({pts}, true, true);
  }
  void polyline(const std::vector<Point>& points) {
    if (dc.pen.null) return;
    for (std::size_t i = 1; i < points.size(); ++i) line(toOut(points[i - 1]), toOut(points[i]));
  }
  void lineTo(Point p) {
    if (!dc.pen.null) line(toOut(dc.current), toOut(p));
    dc.current = p;
  }
  void rectangle(Point a, Point b) {
    Point p = toOut(a), q = toOut(b);
    if (p.x > q.x) std::swap(p.x, q.x);
    if (p.y > q.y) std::swap(p.y, q.y);
    if (!dc.brush.null) fillRect(p.x, p.y, q.x, q.y, dc.brush.color);
    if (!dc.pen.null) {
      const double r = q.x - 1, bt = q.y - 1;
      const std::vector<Point> edge = {{p.x, p.y}, {r, p.y}, {r, bt}, {p.x, bt}};
      for (std::size_t i = 0; i < 4; ++i) line(edge[i], edge[(i + 1) % 4], true);
    }
  }
  void ellipse(Point a, Point b) {
    Point p = toOut(a), q = toOut(b);
    if (p.x > q.x) std::swap(p.x, q.x);
    if (p.y > q.y) std::swap(p.y, q.y);
    const double cx = (p.x + q.x) / 2, cy = (p.y + q.y) / 2;
    const double rx = (q.x - p.x) / 2, ry = (q.y - p.y) / 2;
    if (rx <= 0 || ry <= 0) return;
    const double pw = dc.pen.null ? 0 : std::max(1.0, penWidth());
    const auto inside = [&](double x, double y, double ax, double ay) {
      if (ax <= 0 || ay <= 0) return false;
      const double u = (x - cx) / ax, v = (y - cy) / ay;
      return u * u + v * v <= 1;
    };
    const int y0 = std::max(0, static_cast<int>(std::floor(p.y)));
    const int y1 = std::min(target_.height(), static_cast<int>(std::ceil(q.y)));
    const int x0 = std::max(0, static_cast<int>(std::floor(p.x)));
    const int x1 = std::min(target_.width(), static_cast<int>(std::ceil(q.x)));
    if (y1 > y0 && x1 > x0) spend(std::uint64_t(y1 - y0) * std::uint64_t(x1 - x0));
    for (int y = y0; y < y1; ++y)
      for (int x = x0; x < x1; ++x) {
        const double px = x + 0.5, py = y + 0.5;
        if (!inside(px, py, rx, ry)) continue;
        if (pw > 0 && !inside(px, py, rx - pw, ry - pw))
          setPixel(x, y, dc.pen.color);
        else if (!dc.brush.null)
          setPixel(x, y, dc.brush.color);
      }
  }

  // A bitmap stretched into the logical rectangle (x, y, w, h), with a ternary raster operation.
  // source may be null for pattern-only operations; (sx, sy, sw, sh) is in its top-down pixels.
  void blit(double x, double y, double w, double h, const Bitmap* source, double sx, double sy,
            double sw, double sh, std::uint32_t rop) {
    Point p = toOut({x, y}), q = toOut({x + w, y + h});
    bool mirrorX = false, mirrorY = false;
    if (p.x > q.x) std::swap(p.x, q.x), mirrorX = true;
    if (p.y > q.y) std::swap(p.y, q.y), mirrorY = true;
    if (sw < 0) sx += sw, sw = -sw, mirrorX = !mirrorX;
    if (sh < 0) sy += sh, sh = -sh, mirrorY = !mirrorY;
    const long X0 = std::lround(p.x), X1 = std::lround(q.x);
    const long Y0 = std::lround(p.y), Y1 = std::lround(q.y);
    if (X1 <= X0 || Y1 <= Y0) return;
    const auto rop3 = static_cast<std::uint8_t>(rop >> 16);
    const std::uint32_t pattern = dc.brush.null ? 0xFFFFFF : dc.brush.color;
    const std::array<std::uint8_t, 3> pat = {static_cast<std::uint8_t>(pattern >> 16),
                                             static_cast<std::uint8_t>(pattern >> 8),
                                             static_cast<std::uint8_t>(pattern)};
    const long ya = std::max<long>(Y0, 0), yb = std::min<long>(Y1, target_.height());
    const long xa = std::max<long>(X0, 0), xb = std::min<long>(X1, target_.width());
    if (yb > ya && xb > xa) spend(std::uint64_t(yb - ya) * std::uint64_t(xb - xa));
    for (long oy = ya; oy < yb; ++oy) {
      const std::uint8_t* srow = nullptr;
      if (source) {
        double v = (static_cast<double>(oy - Y0) + 0.5) * sh / static_cast<double>(Y1 - Y0);
        if (mirrorY) v = sh - v;
        const long sr = static_cast<long>(std::floor(sy + v));
        if (sr < 0 || sr >= source->height()) continue;
        srow = source->row(static_cast<int>(sr));
      }
      std::uint8_t* drow = target_.row(static_cast<int>(oy));
      for (long ox = xa; ox < xb; ++ox) {
        std::array<std::uint8_t, 3> s = {0, 0, 0};
        if (srow) {
          double u = (static_cast<double>(ox - X0) + 0.5) * sw / static_cast<double>(X1 - X0);
          if (mirrorX) u = sw - u;
          const long sc = static_cast<long>(std::floor(sx + u));
          if (sc < 0 || sc >= source->width()) continue;
          s = {srow[sc * 3], srow[sc * 3 + 1], srow[sc * 3 + 2]};
        }
        std::uint8_t* d = drow + ox * 3;
        for (int c = 0; c < 3; ++c) d[c] = ternary(rop3, pat[c], s[c], d[c]);
      }
    }
  }

  Bitmap& target() { return target_; }
  void scales(double& sx, double& sy) const {
    switch (dc.mapMode) {
      case 2:  // 0.1 mm
        sx = pxPerMmX_ / 10, sy = -pxPerMmY_ / 10;
        break;
      case 3:  // 0.01 mm
        sx = pxPerMmX_ / 100, sy = -pxPerMmY_ / 100;
        break;
      case 4:  // 0.01 inch
        sx = pxPerMmX_ * 0.254, sy = -pxPerMmY_ * 0.254;
        break;
      case 5:  // 0.001 inch
        sx = pxPerMmX_ * 0.0254, sy = -pxPerMmY_ * 0.0254;
        break;
      case 6:  // twips
        sx = pxPerMmX_ * 25.4 / 1440, sy = -pxPerMmY_ * 25.4 / 1440;
        break;
      case 7:
      case 8: {
        sx = dc.winExtX != 0 ? dc.vpExtX / dc.winExtX : 1;
        sy = dc.winExtY != 0 ? dc.vpExtY / dc.winExtY : 1;
        if (dc.mapMode == 7) {
          const double m = std::min(std::abs(sx), std::abs(sy));
          sx = std::copysign(m, sx), sy = std::copysign(m, sy);
        }
        break;
      }
      default:
        sx = 1, sy = 1;
    }
  }

 private:
  static std::uint8_t ternary(std::uint8_t rop3, std::uint8_t p, std::uint8_t s, std::uint8_t d) {
    if (rop3 == 0xCC) return s;
    std::uint8_t r = 0;
    for (int i = 0; i < 8; ++i)
      if ((rop3 >> i) & 1) {
        const std::uint8_t pp = (i & 4) ? p : static_cast<std::uint8_t>(~p);
        const std::uint8_t ss = (i & 2) ? s : static_cast<std::uint8_t>(~s);
        const std::uint8_t dd = (i & 1) ? d : static_cast<std::uint8_t>(~d);
        r = static_cast<std::uint8_t>(r | (pp & ss & dd));
      }
    return r;
  }

  void setPixel(long x, long y, std::uint32_t color) {
    if (x < 0 || y < 0 || x >= target_.width() || y >= target_.height()) return;
    std::uint8_t* d = target_.row(static_cast<int>(y)) + x * 3;
    d[0] = static_cast<std::uint8_t>(color >> 16);
    d[1] = static_cast<std::uint8_t>(color >> 8);
    d[2] = static_cast<std::uint8_t>(color);
  }

  // Pixels whose centres lie in [x0, x1) × [y0, y1).
  void fillRect(double x0, double y0, double x1, double y1, std::uint32_t color) {
    const long xa = std::max<long>(0, std::lround(x0)),
               xb = std::min<long>(target_.width(), std::lround(x1));
    const long ya = std::max<long>(0, std::lround(y0)),
               yb = std::min<long>(target_.height(), std::lround(y1));
    if (yb > ya && xb > xa) spend(std::uint64_t(yb - ya) * std::uint64_t(xb - xa));
    for (long y = ya; y < yb; ++y)
      for (long x = xa; x < xb; ++x) setPixel(x, y, color);
  }

  void fillPolygons(const std::vector<std::vector<Point>>& polys, std::uint32_t color,
                    bool winding) {
    double top = kCoordLimit, bottom = -kCoordLimit;
    for (const auto& q : polys)
      for (const Point& p : q) top = std::min(top, p.y), bottom = std::max(bottom, p.y);
    const long ya = std::max<long>(0, static_cast<long>(std::floor(top)));
    const long yb = std::min<long>(target_.height(), static_cast<long>(std::ceil(bottom)) + 1);
    std::uint64_t edges = 0;
    for (const auto& q : polys) edges += q.size();
    if (yb > ya) spend(std::uint64_t(yb - ya) * (edges + std::uint64_t(target_.width())));
    std::vector<std::pair<double, int>> crossings;
    for (long y = ya; y < yb; ++y) {
      const double cy = static_cast<double>(y) + 0.5;
      crossings.clear();
      for (const auto& q : polys)
        for (std::size_t i = 0; i < q.size(); ++i) {
          const Point& a = q[i];
          const Point& b = q[(i + 1) % q.size()];
          if ((a.y <= cy) == (b.y <= cy)) continue;
          const double x = a.x + (cy - a.y) * (b.x - a.x) / (b.y - a.y);
          crossings.emplace_back(x, b.y > a.y ? 1 : -1);
        }
      std::sort(crossings.begin(), crossings.end());
      int count = 0;
      for (std::size_t i = 0; i + 1 < crossings.size(); ++i) {
        count += winding ? crossings[i].second : 1;
        const bool in = winding ? count != 0 : (count & 1) != 0;
        if (!in) continue;
        const long xa = std::max<long>(0, std::lround(crossings[i].first));
        const long xb = std::min<long>(target_.width(), std::lround(crossings[i + 1].first));
        for (long x = xa; x < xb; ++x) setPixel(x, y, color);
      }
    }
  }

  // A line between bitmap-space points; the last pixel is left out unless inclusive.
  void line(Point a, Point b, bool inclusive = false) {
    const double w = penWidth();
    if (w > 1.5) {
      const double dx = b.x - a.x, dy = b.y - a.y, len = std::hypot(dx, dy);
      if (len <= 0)
        return fillRect(a.x - w / 2, a.y - w / 2, a.x + w / 2, a.y + w / 2, dc.pen.color);
      const double nx = -dy / len * w / 2, ny = dx / len * w / 2;
      fillPolygons({{{a.x + nx, a.y + ny},
                     {b.x + nx, b.y + ny},
                     {b.x - nx, b.y - ny},
                     {a.x - nx, a.y - ny}}},
                   dc.pen.color, true);
      return;
    }
    // Clip to the bitmap (with a margin) before stepping.
    double x0 = a.x, y0 = a.y, x1 = b.x, y1 = b.y;
    double t0 = 0, t1 = 1;
    const double ddx = x1 - x0, ddy = y1 - y0;
    const double lo[2] = {-2, -2}, hi[2] = {target_.width() + 2.0, target_.height() + 2.0};
    const double pos[2] = {x0, y0}, del[2] = {ddx, ddy};
    for (int k = 0; k < 2; ++k) {
      if (del[k] == 0) {
        if (pos[k] < lo[k] || pos[k] > hi[k]) return;
        continue;
      }
      double ta = (lo[k] - pos[k]) / del[k], tb = (hi[k] - pos[k]) / del[k];
      if (ta > tb) std::swap(ta, tb);
      t0 = std::max(t0, ta), t1 = std::min(t1, tb);
      if (t0 > t1) return;
    }
    const bool clippedEnd = t1 < 1;
    x1 = x0 + ddx * t1, y1 = y0 + ddy * t1;
    x0 = x0 + ddx * t0, y0 = y0 + ddy * t0;
    long px = std::lround(std::floor(x0)), py = std::lround(std::floor(y0));
    const long qx = std::lround(std::floor(x1)), qy = std::lround(std::floor(y1));
    const long sx = qx > px ? 1 : -1, sy = qy > py ? 1 : -1;
    const long dx = std::abs(qx - px), dy = -std::abs(qy - py);
    long err = dx + dy;
    spend(static_cast<std::uint64_t>(std::max(dx, -dy)) + 1);
    while (true) {
      const bool last = px == qx && py == qy;
      if (!last || inclusive || clippedEnd) setPixel(px, py, dc.pen.color);
      if (last) break;
      const long e2 = 2 * err;
      if (e2 >= dy) err += dy, px += sx;
      if (e2 <= dx) err += dx, py += sy;
    }
  }

  // Pixel work allowed for the whole file: 256 times the picture plus a fixed allowance.
  void spend(std::uint64_t n) {
    if (n > budget_) throw WorkLimit();
    budget_ -= n;
  }

  Bitmap& target_;
  std::uint64_t budget_ = std::uint64_t(target_.width()) * std::uint64_t(target_.height()) * 256 +
                          (std::uint64_t{1} << 24);
  double pxPerMmX_, pxPerMmY_;
};

// A start point and groups of three (control, control, end) as a polyline of 16 steps a curve.
std::vector<Point> flattenBeziers(const std::vector<Point>& pts) {
  if (pts.empty()) return pts;
  std::vector<Point> out = {pts[0]};
  for (std::size_t i = 1; i + 2 < pts.size(); i += 3) {
    const Point p0 = out.back(), p1 = pts[i], p2 = pts[i + 1], p3 = pts[i + 2];
    for (int k = 1; k <= 16; ++k) {
      const double t = k / 16.0, u = 1 - t;
      const double a = u * u * u, b = 3 * u * u * t, c = 3 * u * t * t, d = t * t * t;
      out.push_back(
          {a * p0.x + b * p1.x + c * p2.x + d * p3.x, a * p0.y + b * p1.y + c * p2.y + d * p3.y});
    }
  }
  return out;
}

// Stock objects by number (pens and brushes; the rest select nothing we draw with).
std::optional<Object> stockObject(std::uint32_t n) {
  Object o;
  const std::array<std::uint32_t, 5> brushes = {0xFFFFFF, 0xC0C0C0, 0x808080, 0x404040, 0};
  if (n < 5) {
    o.kind = ObjectKind::Brush;
    o.brush.color = brushes[n];
  } else if (n == 5) {
    o.kind = ObjectKind::Brush;
    o.brush.null = true;
  } else if (n == 6 || n == 7) {
    o.kind = ObjectKind::Pen;
    o.pen.color = n == 6 ? 0xFFFFFF : 0;
  } else if (n == 8) {
    o.kind = ObjectKind::Pen;
    o.pen.null = true;
  } else if (n == 18) {
    o.kind = ObjectKind::Brush;
  } else if (n == 19) {
    o.kind = ObjectKind::Pen;
  } else {
    return std::nullopt;
  }
  return o;
}

void selectObject(Canvas& canvas, const Object& o) {
  if (o.kind == ObjectKind::Pen) canvas.dc.pen = o.pen;
  if (o.kind == ObjectKind::Brush) canvas.dc.brush = o.brush;
}

Pen makePen(std::uint32_t style, double width, std::uint32_t color) {
  Pen p;
  p.null = (style & 0xF) == 5;
  p.width = std::abs(width);
  p.color = color & 0xFFFFFF;
  return p;
}

Brush makeBrush(std::uint32_t style, std::uint32_t color) {
  Brush b;
  b.null = style == 1;
  b.color = style == 0 || style == 2 ? color & 0xFFFFFF : 0x808080;
  return b;
}

// ---------------------------------------------------------------------------------------------
// EMF.

constexpr std::uint32_t kEmfSignature = 0x464D4520;

bool isEmf(std::span<const std::uint8_t> data) {
  if (data.size() < 88) return false;
  ByteReader r(data);
  if (r.u32le() != 1) return false;
  r.seek(40);
  return r.u32le() == kEmfSignature;
}

struct EmfRect {
  std::int64_t left = 0, top = 0, right = 0, bottom = 0;
};

EmfRect readRect(ByteReader& r) {
  EmfRect e;
  e.left = r.i32le();
  e.top = r.i32le();
  e.right = r.i32le();
  e.bottom = r.i32le();
  return e;
}

// An EMF's picture in pixels: its frame (0.01 mm) at 96 dpi, else its bounds.
std::pair<std::int64_t, std::int64_t> emfPictureSize(const EmfRect& bounds, const EmfRect& frame) {
  const std::int64_t fw = frame.right - frame.left, fh = frame.bottom - frame.top;
  if (fw > 0 && fh > 0) {
    const std::int64_t w = (fw * 96 + 1270) / 2540, h = (fh * 96 + 1270) / 2540;
    if (w > 0 && h > 0) return {w, h};
  }
  return {bounds.right - bounds.left + 1, bounds.bottom - bounds.top + 1};
}

Point readPointL(ByteReader& r) {
  const double x = r.i32le();
  return {x, static_cast<double>(r.i32le())};
}

Point readPointS(ByteReader& r) {
  const double x = static_cast<std::int16_t>(r.u16le());
  return {x, static_cast<double>(static_cast<std::int16_t>(r.u16le()))};
}

float readFloat(ByteReader& r) {
  const std::uint32_t v = r.u32le();
  float f = 0;
  std::memcpy(&f, &v, sizeof f);
  return std::isfinite(f) ? std::clamp(f, -1e6f, 1e6f) : 0.0f;
}

XForm readXForm(ByteReader& r) {
  XForm x;
  x.m11 = readFloat(r);
  x.m12 = readFloat(r);
  x.m21 = readFloat(r);
  x.m22 = readFloat(r);
  x.dx = readFloat(r);
  x.dy = readFloat(r);
  return x;
}

// A DIB at offsets from the record start, checked against the record.
std::optional<Bitmap> recordDib(std::span<const std::uint8_t> record, std::uint32_t offBmi,
                                std::uint32_t cbBmi, std::uint32_t offBits, std::uint32_t cbBits,
                                std::uint32_t usage, const DecodeLimits& limits,
                                std::int64_t rows = -1) {
  if (cbBmi == 0) return std::nullopt;
  if (offBmi > record.size() || cbBmi > record.size() - offBmi || offBits > record.size() ||
      cbBits > record.size() - offBits)
    throw MetafileError("metafile: bitmap outside its record");
  return decodeDib(record.subspan(offBmi, cbBmi), record.subspan(offBits, cbBits), usage == 1,
                   limits, rows);
}

class EmfPlayer {
 public:
  EmfPlayer(Canvas& canvas, const DecodeLimits& limits) : canvas_(canvas), limits_(limits) {}

  void record(std::uint32_t type, std::span<const std::uint8_t> rec) {
    ByteReader r(rec);
    r.skip(8);
    switch (type) {
      case 2:   // POLYBEZIER
      case 3:   // POLYGON
      case 4:   // POLYLINE
      case 5:   // POLYBEZIERTO
      case 6:   // POLYLINETO
      case 85:  // 16-bit forms
      case 86:
      case 87:
      case 88:
      case 89: {
        const bool small = type >= 85;
        const std::uint32_t base = small ? type - 83 : type;
        r.skip(16);
        const std::uint32_t count = r.u32le();
        if (count > r.remaining() / (small ? 4 : 8)) throw ByteReader::Overrun();
        std::vector<Point> pts;
        pts.reserve(count + 1);
        const bool to = base == 5 || base == 6;
        if (to) pts.push_back(canvas_.dc.current);
        for (std::uint32_t i = 0; i < count; ++i)
          pts.push_back(small ? readPointS(r) : readPointL(r));
        if (base == 2 || base == 5) pts = flattenBeziers(pts);
        if (to && !pts.empty()) canvas_.dc.current = pts.back();
        if (path_) {
          addToPath(pts, to, base == 3);
        } else if (base == 3) {
          canvas_.polygon({pts}, true, true);
        } else {
          canvas_.polyline(pts);
        }
        break;
      }
      case 59:  // BEGINPATH
        path_.emplace();
        break;
      case 60:  // ENDPATH: the path stays for the fill or stroke records
        if (path_) donePath_ = std::move(path_), path_.reset();
        break;
      case 68:  // ABORTPATH
        path_.reset(), donePath_.reset();
        break;
      case 61:  // CLOSEFIGURE
        if (path_ && !path_->empty()) path_->back().closed = true;
        break;
      case 62:  // FILLPATH
      case 63:  // STROKEANDFILLPATH
      case 64:  // STROKEPATH
        if (donePath_) {
          std::vector<std::vector<Point>> closed;
          for (const auto& f : *donePath_) closed.push_back(f.points);
          if (type != 64) canvas_.polygon(closed, true, false);
          if (type != 62)
            for (const auto& f : *donePath_) {
              auto pts = f.points;
              if (f.closed && !pts.empty()) pts.push_back(pts.front());
              canvas_.polyline(pts);
            }
          donePath_.reset();
        }
        break;
      case 7:  // POLYPOLYLINE
      case 8:  // POLYPOLYGON
      case 90:
      case 91: {
        const bool small = type >= 90;
        r.skip(16);
        const std::uint32_t polys = r.u32le(), total = r.u32le();
        if (polys > r.remaining() / 4) throw ByteReader::Overrun();
        std::vector<std::uint32_t> counts(polys);
        std::uint64_t sum = 0;
        for (auto& c : counts) sum += (c = r.u32le());
        if (sum != total || total > r.remaining() / (small ? 4 : 8)) throw ByteReader::Overrun();
        std::vector<std::vector<Point>> all;
        for (std::uint32_t c : counts) {
          std::vector<Point> pts;
          for (std::uint32_t i = 0; i < c; ++i)
            pts.push_back(small ? readPointS(r) : readPointL(r));
          all.push_back(std::move(pts));
        }
        if (type == 8 || type == 91)
          canvas_.polygon(all, true, true);
        else
          for (const auto& pts : all) canvas_.polyline(pts);
        break;
      }
      case 9:
        canvas_.dc.winExtX = r.i32le(), canvas_.dc.winExtY = r.i32le();
        break;
      case 10:
        canvas_.dc.winOrgX = r.i32le(), canvas_.dc.winOrgY = r.i32le();
        break;
      case 11:
        canvas_.dc.vpExtX = r.i32le(), canvas_.dc.vpExtY = r.i32le();
        break;
      case 12:
        canvas_.dc.vpOrgX = r.i32le(), canvas_.dc.vpOrgY = r.i32le();
        break;
      case 17: {
        const std::uint32_t mode = r.u32le();
        if (mode >= 1 && mode <= 8) canvas_.dc.mapMode = static_cast<int>(mode);
        break;
      }
      case 19:
        canvas_.dc.winding = r.u32le() == 2;
        break;
      case 27:
        canvas_.dc.current = readPointL(r);
        if (path_) path_->push_back({{canvas_.dc.current}, false});
        break;
      case 31:  // SCALEVIEWPORTEXTEX
      case 32: {
        const double xn = r.i32le(), xd = r.i32le(), yn = r.i32le(), yd = r.i32le();
        if (xd == 0 || yd == 0) break;
        double& ex = type == 31 ? canvas_.dc.vpExtX : canvas_.dc.winExtX;
        double& ey = type == 31 ? canvas_.dc.vpExtY : canvas_.dc.winExtY;
        ex = clampCoord(ex * xn / xd), ey = clampCoord(ey * yn / yd);
        break;
      }
      case 33:
        canvas_.save();
        break;
      case 34:
        canvas_.restore(r.i32le());
        break;
      case 35:
        canvas_.dc.world = readXForm(r);
        break;
      case 36: {
        const XForm x = readXForm(r);
        const std::uint32_t mode = r.u32le();
        if (mode == 1) canvas_.dc.world = XForm();
        if (mode == 2) canvas_.dc.world = x.then(canvas_.dc.world);
        if (mode == 3) canvas_.dc.world = canvas_.dc.world.then(x);
        if (mode == 4) canvas_.dc.world = x;
        break;
      }
      case 37: {  // SELECTOBJECT
        const std::uint32_t index = r.u32le();
        if (index & 0x80000000u) {
          if (auto o = stockObject(index & 0x7FFFFFFFu)) selectObject(canvas_, *o);
        } else if (index < objects_.size()) {
          selectObject(canvas_, objects_[index]);
        }
        break;
      }
      case 38: {  // CREATEPEN
        Object& o = slot(r.u32le());
        const std::uint32_t style = r.u32le();
        const double width = r.i32le();
        r.i32le();
        o.kind = ObjectKind::Pen;
        o.pen = makePen(style, width, r.u32le());
        break;
      }
      case 95: {  // EXTCREATEPEN
        Object& o = slot(r.u32le());
        r.skip(16);
        const std::uint32_t style = r.u32le();
        const double width = r.u32le();
        const std::uint32_t brushStyle = r.u32le();
        o.kind = ObjectKind::Pen;
        o.pen = makePen(brushStyle == 1 ? 5 : style, (style & 0x10000) ? width : 0, r.u32le());
        break;
      }
      case 39: {  // CREATEBRUSHINDIRECT
        Object& o = slot(r.u32le());
        const std::uint32_t style = r.u32le();
        o.kind = ObjectKind::Brush;
        o.brush = makeBrush(style, r.u32le());
        break;
      }
      case 93:  // CREATEMONOBRUSH, CREATEDIBPATTERNBRUSHPT: a grey brush
      case 94: {
        Object& o = slot(r.u32le());
        o.kind = ObjectKind::Brush;
        o.brush = makeBrush(3, 0);
        break;
      }
      case 82:  // EXTCREATEFONTINDIRECTW, CREATEPALETTE: occupy their slots
      case 49:
        slot(r.u32le()) = Object{ObjectKind::Other, {}, {}};
        break;
      case 40: {  // DELETEOBJECT
        const std::uint32_t index = r.u32le();
        if (index < objects_.size() && index > 0) objects_[index] = Object();
        break;
      }
      case 42:
      case 43: {
        const Point a = readPointL(r), b = readPointL(r);
        if (path_) {
          std::vector<Point> f;
          if (type == 43) {
            f = {a, {b.x, a.y}, b, {a.x, b.y}};
          } else {
            const double cx = (a.x + b.x) / 2, cy = (a.y + b.y) / 2;
            for (int i = 0; i < 64; ++i)
              f.push_back({cx + (b.x - a.x) / 2 * std::cos(i * std::numbers::pi / 32),
                           cy + (b.y - a.y) / 2 * std::sin(i * std::numbers::pi / 32)});
          }
          path_->push_back({std::move(f), true});
        } else if (type == 42)
          canvas_.ellipse(a, b);
        else
          canvas_.rectangle(a, b);
        break;
      }
      case 45:    // ARC
      case 46:    // CHORD
      case 47:    // PIE
      case 55: {  // ARCTO, drawn as an arc
        const Point a = readPointL(r), b = readPointL(r), s = readPointL(r), e = readPointL(r);
        canvas_.arc(a, b, s, e, type == 46 ? 1 : type == 47 ? 2 : 0);
        break;
      }
      case 44: {  // ROUNDRECT, drawn square-cornered
        const Point a = readPointL(r), b = readPointL(r);
        canvas_.rectangle(a, b);
        break;
      }
      case 54: {
        const Point p = readPointL(r);
        if (path_) {
          addToPath({canvas_.dc.current, p}, true, false);
          canvas_.dc.current = p;
        } else {
          canvas_.lineTo(p);
        }
        break;
      }
      case 76:    // BITBLT
      case 77: {  // STRETCHBLT
        r.skip(16);
        const double x = r.i32le(), y = r.i32le(), cx = r.i32le(), cy = r.i32le();
        const std::uint32_t rop = r.u32le();
        const double sx = r.i32le(), sy = r.i32le();
        r.skip(24 + 4);
        const std::uint32_t usage = r.u32le(), offBmi = r.u32le(), cbBmi = r.u32le(),
                            offBits = r.u32le(), cbBits = r.u32le();
        double scx = cx, scy = cy;
        if (type == 77) scx = r.i32le(), scy = r.i32le();
        const auto dib = recordDib(rec, offBmi, cbBmi, offBits, cbBits, usage, limits_);
        canvas_.blit(x, y, cx, cy, dib ? &*dib : nullptr, sx, sy, scx, scy, rop);
        break;
      }
      case 80: {  // SETDIBITSTODEVICE
        r.skip(16);
        const double x = r.i32le(), y = r.i32le(), sx = r.i32le(), sy = r.i32le();
        const double cx = r.i32le(), cy = r.i32le();
        const std::uint32_t offBmi = r.u32le(), cbBmi = r.u32le(), offBits = r.u32le(),
                            cbBits = r.u32le(), usage = r.u32le();
        const std::uint32_t startScan = r.u32le(), scans = r.u32le();
        const auto dib = recordDib(rec, offBmi, cbBmi, offBits, cbBits, usage, limits_, scans);
        if (!dib) break;
        // The scans start at startScan counted from the bottom of the source.
        const double top = static_cast<double>(dib->height()) + startScan - (sy + cy);
        canvas_.blit(x, y, cx, cy, &*dib, sx, top, cx, cy, 0x00CC0020);
        break;
      }
      case 81: {  // STRETCHDIBITS
        r.skip(16);
        const double x = r.i32le(), y = r.i32le(), sx = r.i32le(), sy = r.i32le();
        const double scx = r.i32le(), scy = r.i32le();
        const std::uint32_t offBmi = r.u32le(), cbBmi = r.u32le(), offBits = r.u32le(),
                            cbBits = r.u32le(), usage = r.u32le(), rop = r.u32le();
        const double cx = r.i32le(), cy = r.i32le();
        const auto dib = recordDib(rec, offBmi, cbBmi, offBits, cbBits, usage, limits_);
        // The source origin is the bottom-left corner of the bitmap.
        const double top = dib ? dib->height() - sy - scy : 0;
        canvas_.blit(x, y, cx, cy, dib ? &*dib : nullptr, sx, top, scx, scy, rop);
        break;
      }
      default:
        break;  // passed over
    }
  }

 private:
  struct Figure {
    std::vector<Point> points;
    bool closed = false;
  };

  // Points continuing the current figure (continue: they start at the current position) or a
  // figure of their own.
  void addToPath(const std::vector<Point>& pts, bool continueFigure, bool closed) {
    if (pts.empty()) return;
    if (path_->size() > 100000) throw MetafileError("metafile: too many figures in a path");
    if (continueFigure && !path_->empty() && !path_->back().closed) {
      auto& f = path_->back().points;
      f.insert(f.end(), pts.begin() + 1, pts.end());
    } else {
      path_->push_back({pts, closed});
    }
  }

  Object& slot(std::uint32_t index) {
    if (index == 0 || index > 65535) throw MetafileError("metafile: object index out of range");
    if (index >= objects_.size()) objects_.resize(index + 1);
    return objects_[index];
  }

  Canvas& canvas_;
  const DecodeLimits& limits_;
  std::vector<Object> objects_;
  std::optional<std::vector<Figure>> path_, donePath_;
};

// Plays one record; damage inside it is warned of and passed over. False when the work limit
// ends the picture.
template <class Player>
bool playGuarded(Player& player, unsigned type, std::span<const std::uint8_t> record,
                 const char* kind, const Warn& warn) {
  try {
    player.record(type, record);
  } catch (const WorkLimit& e) {
    if (warn) warn(e.what());
    return false;
  } catch (const ByteReader::Overrun&) {
    if (warn)
      warn(std::string("metafile: a damaged ") + kind + " " + std::to_string(type) +
           " was passed over");
  } catch (const MetafileError& e) {
    if (warn) warn(e.what());
  } catch (const ImageSizeError& e) {
    if (warn) warn(e.what());
  }
  return true;
}

Bitmap playEmf(std::span<const std::uint8_t> data, const DecodeLimits& limits, const Warn& warn) {
  ByteReader h(data);
  h.skip(4);
  const std::uint32_t headerSize = h.u32le();
  if (headerSize < 88 || headerSize > data.size() || headerSize % 4)
    throw MetafileError("metafile: damaged EMF header");
  const EmfRect bounds = readRect(h), frame = readRect(h);
  h.seek(72);
  std::int64_t devX = h.i32le(), devY = h.i32le(), mmX = h.i32le(), mmY = h.i32le();
  if (devX <= 0 || devY <= 0 || mmX <= 0 || mmY <= 0)
    devX = 1920, devY = 1440, mmX = 508, mmY = 381;
  const double kx = static_cast<double>(devX) / (mmX * 100.0),
               ky = static_cast<double>(devY) / (mmY * 100.0);

  const std::int64_t fw = frame.right - frame.left, fh = frame.bottom - frame.top;
  const auto [w, hgt] = emfPictureSize(bounds, frame);
  if (w <= 0 || hgt <= 0) throw MetafileError("metafile: the EMF has no picture size");
  checkImageSize(w, hgt, 24, limits);
  Bitmap target(static_cast<int>(w), static_cast<int>(hgt), 24, limits);

  Canvas canvas(target, devX / static_cast<double>(mmX), devY / static_cast<double>(mmY));
  if (fw > 0 && fh > 0) {
    canvas.outScaleX = static_cast<double>(w) / (static_cast<double>(fw) * kx);
    canvas.outScaleY = static_cast<double>(hgt) / (static_cast<double>(fh) * ky);
    canvas.outOffsetX = -static_cast<double>(frame.left) * kx * canvas.outScaleX;
    canvas.outOffsetY = -static_cast<double>(frame.top) * ky * canvas.outScaleY;
  } else {
    canvas.outOffsetX = -static_cast<double>(bounds.left);
    canvas.outOffsetY = -static_cast<double>(bounds.top);
  }

  EmfPlayer player(canvas, limits);
  std::size_t pos = headerSize;
  while (pos + 8 <= data.size()) {
    ByteReader r(data.subspan(pos));
    const std::uint32_t type = r.u32le(), size = r.u32le();
    if (size < 8 || size > data.size() - pos) {
      if (warn) warn("metafile: an EMF record runs past the end of the file");
      break;
    }
    if (type == 14) break;
    if (!playGuarded(player, type, data.subspan(pos, size), "EMF record of type", warn)) break;
    pos += size;
  }
  return target;
}

// ---------------------------------------------------------------------------------------------
// WMF.

constexpr std::uint32_t kPlaceableKey = 0x9AC6CDD7;

// A placeable WMF's picture in pixels: its bounding box at 96 dpi (an inch of 0 counts as 96).
std::pair<std::int64_t, std::int64_t> wmfPictureSize(std::int16_t left, std::int16_t top,
                                                     std::int16_t right, std::int16_t bottom,
                                                     std::int64_t inch) {
  if (inch == 0) inch = 96;
  const std::int64_t bw = std::abs(std::int64_t{right} - left),
                     bh = std::abs(std::int64_t{bottom} - top);
  return {(bw * 96 + inch / 2) / inch, (bh * 96 + inch / 2) / inch};
}

class WmfPlayer {
 public:
  WmfPlayer(Canvas& canvas, const DecodeLimits& limits, std::size_t objectCount)
      : canvas_(canvas), limits_(limits), objects_(objectCount) {}

  void record(std::uint16_t function, std::span<const std::uint8_t> rec) {
    ByteReader r(rec);
    r.skip(6);
    const auto s16 = [&r] { return static_cast<double>(static_cast<std::int16_t>(r.u16le())); };
    DcState& dc = canvas_.dc;
    switch (function) {
      case 0x0103: {
        const std::uint16_t mode = r.u16le();
        if (mode >= 1 && mode <= 8) dc.mapMode = mode;
        break;
      }
      case 0x0106:
        dc.winding = r.u16le() == 2;
        break;
      case 0x020B:
        dc.winOrgY = s16(), dc.winOrgX = s16();
        break;
      case 0x020C:
        dc.winExtY = s16(), dc.winExtX = s16();
        break;
      case 0x020D:
        dc.vpOrgY = s16(), dc.vpOrgX = s16();
        break;
      case 0x020E:
        dc.vpExtY = s16(), dc.vpExtX = s16();
        break;
      case 0x020F: {
        const double y = s16();
        dc.winOrgX += s16(), dc.winOrgY += y;
        break;
      }
      case 0x0211: {
        const double y = s16();
        dc.vpOrgX += s16(), dc.vpOrgY += y;
        break;
      }
      case 0x0410:
      case 0x0412: {
        const double yd = s16(), yn = s16(), xd = s16(), xn = s16();
        if (xd == 0 || yd == 0) break;
        double& ex = function == 0x0412 ? dc.vpExtX : dc.winExtX;
        double& ey = function == 0x0412 ? dc.vpExtY : dc.winExtY;
        ex = clampCoord(ex * xn / xd), ey = clampCoord(ey * yn / yd);
        break;
      }
      case 0x0214: {
        const double y = s16();
        dc.current = {s16(), y};
        break;
      }
      case 0x0213: {
        const double y = s16();
        canvas_.lineTo({s16(), y});
        break;
      }
      case 0x0324:
      case 0x0325: {
        const std::uint16_t count = r.u16le();
        if (count > r.remaining() / 4) throw ByteReader::Overrun();
        std::vector<Point> pts;
        for (std::uint16_t i = 0; i < count; ++i) {
          const double x = s16();
          pts.push_back({x, s16()});
        }
        if (function == 0x0324)
          canvas_.polygon({pts}, true, true);
        else
          canvas_.polyline(pts);
        break;
      }
      case 0x0538: {
        const std::uint16_t polys = r.u16le();
        if (polys > r.remaining() / 2) throw ByteReader::Overrun();
        std::vector<std::uint16_t> counts(polys);
        std::uint64_t total = 0;
        for (auto& c : counts) total += (c = r.u16le());
        if (total > r.remaining() / 4) throw ByteReader::Overrun();
        std::vector<std::vector<Point>> all;
        for (std::uint16_t c : counts) {
          std::vector<Point> pts;
          for (std::uint16_t i = 0; i < c; ++i) {
            const double x = s16();
            pts.push_back({x, s16()});
          }
          all.push_back(std::move(pts));
        }
        canvas_.polygon(all, true, true);
        break;
      }
      case 0x041B:
      case 0x0418:
      case 0x061C: {
        if (function == 0x061C) r.skip(4);
        const double bottom = s16(), right = s16(), top = s16(), left = s16();
        if (function == 0x0418)
          canvas_.ellipse({left, top}, {right, bottom});
        else
          canvas_.rectangle({left, top}, {right, bottom});
        break;
      }
      case 0x0817:    // ARC
      case 0x081A:    // PIE
      case 0x0830: {  // CHORD
        const double ye = s16(), xe = s16(), ys = s16(), xs = s16();
        const double bottom = s16(), right = s16(), top = s16(), left = s16();
        canvas_.arc({left, top}, {right, bottom}, {xs, ys}, {xe, ye},
                    function == 0x0830   ? 1
                    : function == 0x081A ? 2
                                         : 0);
        break;
      }
      case 0x061D: {  // PATBLT
        const std::uint32_t rop = r.u32le();
        const double h = s16(), w = s16(), y = s16(), x = s16();
        canvas_.blit(x, y, w, h, nullptr, 0, 0, 0, 0, rop);
        break;
      }
      case 0x001E:
        canvas_.save();
        break;
      case 0x0127:
        canvas_.restore(static_cast<std::int16_t>(r.u16le()));
        break;
      case 0x02FA: {
        const std::uint16_t style = r.u16le();
        const double width = s16();
        s16();
        Object o{ObjectKind::Pen, makePen(style, width, r.u32le()), {}};
        add(o);
        break;
      }
      case 0x02FC: {
        const std::uint16_t style = r.u16le();
        Object o{ObjectKind::Brush, {}, makeBrush(style, r.u32le())};
        add(o);
        break;
      }
      case 0x0142:
      case 0x01F9:
        add(Object{ObjectKind::Brush, {}, makeBrush(3, 0)});
        break;
      case 0x02FB:
      case 0x00F7:
      case 0x06FF:
        add(Object{ObjectKind::Other, {}, {}});
        break;
      case 0x012D: {
        const std::uint16_t index = r.u16le();
        if (index < objects_.size()) selectObject(canvas_, objects_[index]);
        break;
      }
      case 0x01F0: {
        const std::uint16_t index = r.u16le();
        if (index < objects_.size()) objects_[index] = Object();
        break;
      }
      case 0x0940:    // DIBBITBLT
      case 0x0B41: {  // DIBSTRETCHBLT
        const bool stretch = function == 0x0B41;
        const std::size_t withoutBitmap = stretch ? 14 * 2 : 12 * 2;
        const bool hasBitmap = rec.size() > withoutBitmap;
        const std::uint32_t rop = r.u32le();
        double sh = 0, sw = 0;
        if (stretch) sh = s16(), sw = s16();
        const double sy = s16(), sx = s16();
        if (!hasBitmap) r.skip(2);
        const double h = s16(), w = s16(), y = s16(), x = s16();
        if (!stretch) sh = h, sw = w;
        if (!hasBitmap) {
          canvas_.blit(x, y, w, h, nullptr, 0, 0, 0, 0, rop);
          break;
        }
        const auto dib = dibAt(rec, r.pos(), 0);
        canvas_.blit(x, y, w, h, &dib, sx, sy, sw, sh, rop);
        break;
      }
      case 0x0F43: {  // STRETCHDIB
        const std::uint32_t rop = r.u32le();
        const std::uint16_t usage = r.u16le();
        const double sh = s16(), sw = s16(), sy = s16(), sx = s16();
        const double h = s16(), w = s16(), y = s16(), x = s16();
        const auto dib = dibAt(rec, r.pos(), usage);
        canvas_.blit(x, y, w, h, &dib, sx, dib.height() - sy - sh, sw, sh, rop);
        break;
      }
      case 0x0D33: {  // SETDIBTODEV
        const std::uint16_t usage = r.u16le();
        const double scans = r.u16le(), startScan = r.u16le();
        const double sy = s16(), sx = s16(), h = s16(), w = s16(), y = s16(), x = s16();
        const auto dib = dibAt(rec, r.pos(), usage, static_cast<std::int64_t>(scans));
        const double top = dib.height() + startScan - (sy + h);
        canvas_.blit(x, y, w, h, &dib, sx, top, w, h, 0x00CC0020);
        break;
      }
      default:
        break;  // passed over
    }
  }

 private:
  void add(const Object& o) {
    for (auto& slot : objects_)
      if (slot.kind == ObjectKind::None) {
        slot = o;
        return;
      }
    throw MetafileError("metafile: the WMF object table is full");
  }

  // A packed DIB from offset at to the end of the record.
  Bitmap dibAt(std::span<const std::uint8_t> rec, std::size_t at, std::uint16_t usage,
               std::int64_t rows = -1) {
    const auto dib = rec.subspan(at);
    ByteReader h(dib);
    const std::uint32_t headerSize = h.u32le();
    std::uint64_t infoSize = headerSize;
    if (headerSize >= 40) {
      const std::int64_t width = h.i32le(), height = h.i32le();
      h.u16le();
      const std::uint16_t depth = h.u16le();
      const std::uint32_t compression = h.u32le();
      h.seek(32);
      std::uint64_t colors = h.u32le();
      const std::uint64_t entrySize = usage == 1 ? 2 : 4;
      if (depth <= 8)
        colors = colors ? std::min<std::uint64_t>(colors, 0x10000) : (1u << depth);
      else
        colors = 0;
      if (compression == 3 && headerSize == 40) infoSize += 12;
      // A table shorter than the depth allows when the count is 0: the bits end the record.
      const std::int64_t stored = rows >= 0 ? std::min(rows, std::abs(height)) : std::abs(height);
      const std::uint64_t bitsSize =
          ((static_cast<std::uint64_t>(std::clamp<std::int64_t>(width, 0, 1 << 30)) * depth + 31) /
           32) *
          4 * static_cast<std::uint64_t>(std::clamp<std::int64_t>(stored, 0, 1 << 30));
      if (depth <= 8 && compression == 0 && infoSize + colors * entrySize + bitsSize > dib.size() &&
          infoSize + bitsSize <= dib.size())
        colors = std::min(colors, (dib.size() - infoSize - bitsSize) / entrySize);
      infoSize += colors * entrySize;
    } else if (headerSize == 12) {
      h.seek(10);
      const std::uint16_t depth = h.u16le();
      if (depth <= 8) infoSize += 3u << depth;
    }
    if (infoSize > dib.size()) throw MetafileError("metafile: bitmap outside its record");
    return decodeDib(dib.first(infoSize), dib.subspan(infoSize), usage == 1, limits_, rows);
  }

  Canvas& canvas_;
  const DecodeLimits& limits_;
  std::vector<Object> objects_;
};

Bitmap playWmf(std::span<const std::uint8_t> data, const DecodeLimits& limits, const Warn& warn) {
  ByteReader h(data);
  if (data.size() < 22 + 18 || h.u32le() != kPlaceableKey)
    throw MetafileError("metafile: not an enhanced or placeable Windows metafile");
  h.seek(0);
  std::uint16_t checksum = 0;
  for (int i = 0; i < 10; ++i) checksum ^= h.u16le();
  if (h.u16le() != checksum)
    throw MetafileError("metafile: the placeable header's checksum does not match");
  h.seek(6);
  const auto left = static_cast<std::int16_t>(h.u16le()),
             top = static_cast<std::int16_t>(h.u16le());
  const auto right = static_cast<std::int16_t>(h.u16le()),
             bottom = static_cast<std::int16_t>(h.u16le());
  const auto [w, hgt] = wmfPictureSize(left, top, right, bottom, h.u16le());
  if (w <= 0 || hgt <= 0) throw MetafileError("metafile: the WMF has no picture size");

  h.seek(22);
  const std::uint16_t type = h.u16le(), headerWords = h.u16le();
  if ((type != 1 && type != 2) || headerWords != 9)
    throw MetafileError("metafile: damaged WMF header");
  h.seek(22 + 10);
  const std::uint16_t objectCount = h.u16le();

  checkImageSize(w, hgt, 24, limits);
  Bitmap target(static_cast<int>(w), static_cast<int>(hgt), 24, limits);
  Canvas canvas(target, 96 / 25.4, 96 / 25.4);
  canvas.dc.mapMode = 8;
  canvas.dc.winOrgX = left, canvas.dc.winOrgY = top;
  canvas.dc.winExtX = std::int64_t{right} - left, canvas.dc.winExtY = std::int64_t{bottom} - top;
  canvas.dc.vpExtX = static_cast<double>(w), canvas.dc.vpExtY = static_cast<double>(hgt);

  WmfPlayer player(canvas, limits, objectCount);
  std::size_t pos = 22 + 18;
  while (pos + 6 <= data.size()) {
    ByteReader r(data.subspan(pos));
    const std::uint64_t size = std::uint64_t{r.u32le()} * 2;
    const std::uint16_t function = r.u16le();
    if (size < 6 || size > data.size() - pos) {
      if (warn) warn("metafile: a WMF record runs past the end of the file");
      break;
    }
    if (function == 0) break;
    if (!playGuarded(player, function, data.subspan(pos, size), "WMF record of function", warn))
      break;
    pos += size;
  }
  return target;
}

}  // namespace

std::optional<std::pair<std::int64_t, std::int64_t>> pictureSize(
    std::span<const std::uint8_t> head) {
  try {
    ByteReader h(head);
    if (isEmf(head)) {
      h.seek(8);
      const EmfRect bounds = readRect(h), frame = readRect(h);
      return emfPictureSize(bounds, frame);
    }
    if (h.u32le() != kPlaceableKey) return std::nullopt;
    h.seek(6);
    const auto left = static_cast<std::int16_t>(h.u16le()),
               top = static_cast<std::int16_t>(h.u16le());
    const auto right = static_cast<std::int16_t>(h.u16le()),
               bottom = static_cast<std::int16_t>(h.u16le());
    return wmfPictureSize(left, top, right, bottom, h.u16le());
  } catch (const ByteReader::Overrun&) {
    return std::nullopt;
  }
}

Bitmap play(std::span<const std::uint8_t> data, const DecodeLimits& limits, const Warn& warn,
            bool& enhanced) {
  try {
    enhanced = isEmf(data);
    return enhanced ? playEmf(data, limits, warn) : playWmf(data, limits, warn);
  } catch (const ByteReader::Overrun&) {
    throw MetafileError("metafile: the file is truncated");
  }
}

}  // namespace vexo::metafile
