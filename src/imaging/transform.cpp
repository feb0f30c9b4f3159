// TransformBitmap and the mirror, flip and quarter turns built on it: exact pixel copies driven
// by an inverse mapping, in every storage width.
#include "imaging/edits.h"

#include <algorithm>
#include <array>
#include <cstddef>
#include <cstring>
#include <vector>

#include "imaging/edits_internal.h"

namespace vexo {

namespace {

using Wide = __int128;  // mapping arithmetic before it is known to land inside the source

Wide floorDiv(Wide a, Wide b) {
  Wide q = a / b;
  if (a % b != 0 && ((a < 0) != (b < 0))) --q;
  return q;
}
Wide ceilDiv(Wide a, Wide b) {
  return -floorDiv(-a, b);
}

// Narrows [lo, hi) to the t for which 0 <= f0 + step·t <= top.
void clipRange(Wide f0, Wide step, Wide top, Wide& lo, Wide& hi) {
  if (step == 0) {
    if (f0 < 0 || f0 > top) hi = lo;
    return;
  }
  if (step > 0) {
    lo = std::max(lo, ceilDiv(-f0, step));
    hi = std::min(hi, floorDiv(top - f0, step) + 1);
  } else {
    lo = std::max(lo, ceilDiv(top - f0, step));
    hi = std::min(hi, floorDiv(-f0, step) + 1);
  }
}

struct CopyJob {
  const std::uint8_t* source;  // data(): bottom row first
  std::ptrdiff_t stride;
  int width, height, bits;
  int bytes;            // storage bytes per pixel, 0 for 1 and 4 bits
  std::ptrdiff_t step;  // source byte offset from one destination pixel to the next
  PixelMapping map;
  std::uint8_t fill[4];
  unsigned fillIndex;

  std::ptrdiff_t offsetOf(std::int64_t x, std::int64_t y) const {
    return static_cast<std::ptrdiff_t>(height - 1 - y) * stride +
           static_cast<std::ptrdiff_t>(x) * bytes;
  }
};

// The destination columns [inA, inB) of a row whose source points lie inside the source, and
// the source point of column inA.
struct RowSpan {
  int inA = 0, inB = 0;
  std::int64_t sx = 0, sy = 0;
};

RowSpan insideSpan(const CopyJob& job, int y, int width) {
  const PixelMapping& m = job.map;
  const Wide fx = Wide{m.xy} * y + m.x0;
  const Wide fy = Wide{m.yy} * y + m.y0;
  Wide lo = 0, hi = width;
  clipRange(fx, m.xx, job.width - 1, lo, hi);
  clipRange(fy, m.yx, job.height - 1, lo, hi);
  RowSpan span;
  if (lo >= hi) return span;
  span.inA = static_cast<int>(lo);
  span.inB = static_cast<int>(hi);
  span.sx = static_cast<std::int64_t>(fx + Wide{m.xx} * lo);
  span.sy = static_cast<std::int64_t>(fy + Wide{m.yx} * lo);
  return span;
}

template <int Bytes>
void fillRun(std::uint8_t* row, const std::uint8_t* fill, int xa, int xb) {
  std::uint8_t* out = row + static_cast<std::size_t>(xa) * Bytes;
  for (int x = xa; x < xb; ++x, out += Bytes) std::memcpy(out, fill, Bytes);
}

// Columns [xa, xb) of a row from the source point (sx, sy) on, stepping by the mapping.
template <int Bytes>
void copyRun(const CopyJob& job, std::uint8_t* __restrict row, int xa, int xb, std::int64_t sx,
             std::int64_t sy) {
  std::uint8_t* __restrict out = row + static_cast<std::size_t>(xa) * Bytes;
  const std::uint8_t* __restrict in = job.source;
  std::ptrdiff_t offset = job.offsetOf(sx, sy);
  const int n = xb - xa;
  if (job.step == Bytes) {
    std::memcpy(out, in + offset, static_cast<std::size_t>(n) * Bytes);
    return;
  }
  const std::ptrdiff_t step = job.step;
  for (int i = 0; i < n; ++i, out += Bytes, offset += step) std::memcpy(out, in + offset, Bytes);
}

// 1 and 4 bits, most significant first; the target row starts zeroed, so pixels are ORed in.
inline void putIndex(std::uint8_t* row, int bits, int x, unsigned v) {
  const int perByte = 8 / bits;
  row[x / perByte] |= static_cast<std::uint8_t>(v << (8 - bits * (x % perByte + 1)));
}

void fillRunBits(const CopyJob& job, std::uint8_t* row, int xa, int xb) {
  const unsigned fill = job.fillIndex & ((1u << job.bits) - 1);
  if (fill == 0) return;
  for (int x = xa; x < xb; ++x) putIndex(row, job.bits, x, fill);
}

void copyRunBits(const CopyJob& job, std::uint8_t* row, int xa, int xb, std::int64_t sx,
                 std::int64_t sy) {
  const int bits = job.bits;
  const int perByte = 8 / bits;
  const unsigned mask = (1u << bits) - 1;
  for (int x = xa; x < xb; ++x, sx += job.map.xx, sy += job.map.yx) {
    const std::uint8_t* in =
        job.source + static_cast<std::ptrdiff_t>(job.height - 1 - sy) * job.stride;
    const auto s = static_cast<int>(sx);
    putIndex(row, bits, x,
             static_cast<unsigned>(in[s / perByte] >> (8 - bits * (s % perByte + 1))) & mask);
  }
}

void fillOutside(const CopyJob& job, std::uint8_t* row, const RowSpan& span, int width) {
  const int inA = span.inA < span.inB ? span.inA : width;
  const int inB = span.inA < span.inB ? span.inB : width;
  auto run = [&](auto fill) {
    fill(0, inA);
    fill(inB, width);
  };
  switch (job.bytes) {
    case 1:
      run([&](int a, int b) { fillRun<1>(row, job.fill, a, b); });
      break;
    case 2:
      run([&](int a, int b) { fillRun<2>(row, job.fill, a, b); });
      break;
    case 3:
      run([&](int a, int b) { fillRun<3>(row, job.fill, a, b); });
      break;
    case 4:
      run([&](int a, int b) { fillRun<4>(row, job.fill, a, b); });
      break;
    default:
      run([&](int a, int b) { fillRunBits(job, row, a, b); });
      break;
  }
}

void copyInside(const CopyJob& job, std::uint8_t* row, int xa, int xb, std::int64_t sx,
                std::int64_t sy) {
  switch (job.bytes) {
    case 1:
      return copyRun<1>(job, row, xa, xb, sx, sy);
    case 2:
      return copyRun<2>(job, row, xa, xb, sx, sy);
    case 3:
      return copyRun<3>(job, row, xa, xb, sx, sy);
    case 4:
      return copyRun<4>(job, row, xa, xb, sx, sy);
    default:
      return copyRunBits(job, row, xa, xb, sx, sy);
  }
}

int storageBits(int bits) {
  switch (bits) {
    case 1:
    case 4:
    case 8:
    case 16:
    case 24:
    case 32:
      return bits;
    case 15:
      return 16;
    default:
      throw EditError("unsupported pixel depth");
  }
}

Bitmap blankLike(const Bitmap& source, int width, int height) {
  if (source.empty()) throw EditError("the bitmap has no pixels");
  storageBits(source.bits());  // throws for a depth it does not know
  if (width < 1 || height < 1) throw EditError("the target size has no pixels");
  Bitmap target(width, height, source.bits());
  target.palette() = source.palette();
  target.transparent = source.transparent;
  target.transparentColor = source.transparentColor;
  return target;
}

// Blocks a quarter turn is copied in: a block's destination columns are source rows, and the
// source lines one destination row touches (one per column) stay cached for the next rows,
// which read the neighbouring bytes of the same lines.
constexpr int kBlockRows = 64;
constexpr int kBlockColumns = 1024;

}  // namespace

Bitmap TransformBitmap(const Bitmap& source, int width, int height, const PixelMapping& mapping,
                       std::uint32_t fill) {
  Bitmap target = blankLike(source, width, height);
  const int bits = storageBits(source.bits());
  CopyJob job{};
  job.source = source.data();
  job.stride = static_cast<std::ptrdiff_t>(source.stride());
  job.width = source.width();
  job.height = source.height();
  job.bits = bits;
  job.bytes = bits / 8;
  job.step = static_cast<std::ptrdiff_t>(mapping.xx) * job.bytes -
             static_cast<std::ptrdiff_t>(mapping.yx) * job.stride;
  job.map = mapping;
  for (int i = 0; i < 4; ++i) job.fill[i] = static_cast<std::uint8_t>(fill >> (8 * i));
  job.fillIndex = fill;

  std::vector<RowSpan> spans(static_cast<std::size_t>(height));
  for (int y = 0; y < height; ++y) {
    spans[static_cast<std::size_t>(y)] = insideSpan(job, y, width);
    fillOutside(job, target.row(y), spans[static_cast<std::size_t>(y)], width);
  }
  // A destination row walking a source column (quarter turns) is copied in blocks.
  const bool columnWalk = mapping.xx == 0 && mapping.yx != 0;
  const int blockRows = columnWalk ? kBlockRows : height;
  const int blockColumns = columnWalk ? kBlockColumns : width;
  for (int ty = 0; ty < height; ty += blockRows) {
    const int yEnd = std::min(height, ty + blockRows);
    for (int tx = 0; tx < width; tx += blockColumns) {
      const int xEnd = std::min(width, tx + blockColumns);
      for (int y = ty; y < yEnd; ++y) {
        const RowSpan& span = spans[static_cast<std::size_t>(y)];
        const int xa = std::max(tx, span.inA), xb = std::min(xEnd, span.inB);
        if (xa >= xb) continue;
        const std::int64_t skip = xa - span.inA;
        copyInside(job, target.row(y), xa, xb, span.sx + skip * mapping.xx,
                   span.sy + skip * mapping.yx);
      }
    }
  }
  clearPadding(target, (static_cast<std::size_t>(width) * static_cast<std::size_t>(bits) + 7) / 8);
  return target;
}

Bitmap MirrorBitmap(const Bitmap& source) {
  PixelMapping m;
  m.xx = -1;
  m.x0 = source.width() - 1;
  return TransformBitmap(source, source.width(), source.height(), m, 0);
}

Bitmap FlipBitmap(const Bitmap& source) {
  PixelMapping m;
  m.yy = -1;
  m.y0 = source.height() - 1;
  return TransformBitmap(source, source.width(), source.height(), m, 0);
}

Bitmap RotateBitmap(const Bitmap& source, int mode) {
  const int W = source.width(), H = source.height();
  PixelMapping m;
  switch (mode) {
    case 0:  // (x, y) takes (y, H - 1 - x)
      m = {0, 1, 0, -1, 0, H - 1};
      return TransformBitmap(source, H, W, m, 0);
    case 1:  // (x, y) takes (W - 1 - x, H - 1 - y)
      m = {-1, 0, W - 1, 0, -1, H - 1};
      return TransformBitmap(source, W, H, m, 0);
    case 2:  // (x, y) takes (W - 1 - y, x)
      m = {0, -1, W - 1, 1, 0, 0};
      return TransformBitmap(source, H, W, m, 0);
    default:
      return source;
  }
}

}  // namespace vexo
