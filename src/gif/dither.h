// The dithering engines of the reduction pass, templated on the colour lookup so that the lookup's
// fast path is inlined into the pixel loop. Every engine walks the rows in serpentine order: the
// first row from column 0 rightwards, the next from the last column leftwards, and so on; EndRow
// turns round. The error-diffusion engines add to each pixel the error its processed neighbours
// left, clamp the corrected colour to 0..255, look it up and spread the new error (corrected
// colour minus the chosen palette colour) over pixels still to come. All arithmetic is on signed
// 32-bit integers, channel by channel; divisions truncate toward zero.
//
// MapPixel handles one pixel at the current column; MapRow maps the whole remaining row in the
// engine's order with the direction fixed at compile time, which is what the reduction pass uses.
#pragma once
#include <algorithm>
#include <array>
#include <cstddef>
#include <cstdint>
#include <utility>
#include <vector>

#include "gif/lookup.h"

namespace vexo {

// Nearest colour, and the scan position every engine shares.
template <class Lookup>
class TDitherEngine {
 public:
  TDitherEngine(int width, Lookup& lookup) : width_(width), lookup_(lookup) {}

  // The palette index for the pixel at the current column; the column then moves on.
  std::uint8_t MapPixel(int red, int green, int blue) {
    column_ += direction_;
    return lookup_.MatchColour(red, green, blue).index;
  }
  // Maps the pixels (blue, green, red bytes) from the current column to the end of the row in
  // the scan direction, each index stored at its column of indices.
  void MapRow(const std::uint8_t* bgr, std::uint8_t* indices) {
    if (direction_ > 0)
      mapRun<1>(bgr, indices);
    else
      mapRun<-1>(bgr, indices);
  }
  void EndRow() { turn(); }

  int column() const { return column_; }
  int direction() const { return direction_; }

 protected:
  void turn() {
    direction_ = -direction_;
    column_ = direction_ > 0 ? 0 : width_ - 1;
  }

  const int width_;
  Lookup& lookup_;
  int direction_ = 1;
  int column_ = 0;

 private:
  template <int Dir>
  void mapRun(const std::uint8_t* bgr, std::uint8_t* indices) {
    Lookup& lookup = lookup_;
    const int end = Dir > 0 ? width_ : -1;
    for (int x = column_; x != end; x += Dir) {
      const std::uint8_t* p = bgr + 3 * static_cast<std::ptrdiff_t>(x);
      indices[x] = lookup.MatchColour(p[2], p[1], p[0]).index;
    }
    column_ = end;
  }
};

namespace dither_detail {

inline int clampByte(int v) {
  return std::clamp(v, 0, 255);
}

}  // namespace dither_detail

// Floyd–Steinberg with one row of width + 2 cells a channel, never cleared, and three registers a
// channel: the error carried to the next pixel (in sixteenths), the previous pixel's error and
// the sum due to the cell behind. The cell position starts a row at 0 going right and at
// width + 1 going left, and moves one cell a pixel. A pixel's error e, when not 0, completes the
// cell at the position as behind + 3e, sets behind to previous + 5e and previous to e; a zero
// error leaves the cell and both registers unchanged. The carried error is always 7e. A pixel
// thus reads the cell that the previous row completed for the column one step behind it.
template <class Lookup>
class TFloydSteinbergDitherer : public TDitherEngine<Lookup> {
  using Base = TDitherEngine<Lookup>;

 public:
  TFloydSteinbergDitherer(int width, Lookup& lookup)
      : Base(width, lookup), cells_(3 * (static_cast<std::size_t>(width) + 2)) {}

  std::uint8_t MapPixel(int red, int green, int blue) {
    const int input[3] = {red, green, blue};
    std::int32_t* cell = cells_.data() + 3 * static_cast<std::ptrdiff_t>(position_);
    const std::uint8_t index = pixel(input, cell, registers_);
    position_ += this->direction_;
    this->column_ += this->direction_;
    return index;
  }
  void MapRow(const std::uint8_t* bgr, std::uint8_t* indices) {
    if (this->direction_ > 0)
      mapRun<1>(bgr, indices);
    else
      mapRun<-1>(bgr, indices);
  }
  // The cell one past the last pixel receives what is due behind; the registers start afresh.
  void EndRow() {
    std::int32_t* cell = cells_.data() + 3 * static_cast<std::ptrdiff_t>(position_);
    for (int c = 0; c < 3; ++c) cell[c] = registers_.behind[c];
    registers_ = {};
    this->turn();
    position_ = this->direction_ > 0 ? 0 : this->width_ + 1;
  }

 private:
  struct Registers {
    std::array<std::int32_t, 3> carried, previous, behind;
  };

  std::uint8_t pixel(const int (&input)[3], std::int32_t* cell, Registers& r) {
    int v[3];
    for (int c = 0; c < 3; ++c)
      v[c] = dither_detail::clampByte(input[c] + (cell[c] + r.carried[c] + 8) / 16);
    const ColorMatch match = this->lookup_.MatchColour(v[0], v[1], v[2]);
    const int chosen[3] = {match.red, match.green, match.blue};
    for (int c = 0; c < 3; ++c) {
      const std::int32_t e = v[c] - chosen[c];
      if (e != 0) {
        cell[c] = r.behind[c] + 3 * e;
        r.behind[c] = r.previous[c] + 5 * e;
        r.previous[c] = e;
      }
      r.carried[c] = 7 * e;
    }
    return match.index;
  }

  // The registers are worked on in a local copy, which the cell stores cannot alias.
  template <int Dir>
  void mapRun(const std::uint8_t* bgr, std::uint8_t* indices) {
    const int end = Dir > 0 ? this->width_ : -1;
    std::int32_t* cell = cells_.data() + 3 * static_cast<std::ptrdiff_t>(position_);
    Registers registers = registers_;
    for (int x = this->column_; x != end; x += Dir, cell += 3 * Dir) {
      const std::uint8_t* p = bgr + 3 * static_cast<std::ptrdiff_t>(x);
      indices[x] = pixel({p[2], p[1], p[0]}, cell, registers);
    }
    registers_ = registers;
    position_ += end - this->column_;  // one cell a pixel
    this->column_ = end;
  }

  std::vector<std::int32_t> cells_;  // red, green, blue per cell
  int position_ = 0;
  Registers registers_{};
};

// One weight of a kernel: row 0 is the current row, offsets count along the scan direction.
struct DitherTap {
  int row, offset, weight;
};

// An engine spreading its error by a fixed kernel over Kernel::kRows rows of error cells a
// channel, each width + 2 × Kernel::kMargin cells with column x at cell x + kMargin. A pixel's
// correction is (cell + divisor div 2) div divisor of its row-0 cell. At the end of a row, row 0
// (margins included) is cleared and becomes the last row while the others move up one.
template <class Lookup, class Kernel>
class TKernelDitherer : public TDitherEngine<Lookup> {
  using Base = TDitherEngine<Lookup>;
  static constexpr int kRows = Kernel::kRows, kMargin = Kernel::kMargin;
  static constexpr int kDivisor = Kernel::kDivisor;
  static constexpr std::size_t kTaps = std::size(Kernel::kTaps);

 public:
  TKernelDitherer(int width, Lookup& lookup)
      : Base(width, lookup),
        cellsPerRow_(static_cast<std::size_t>(width) + 2 * kMargin),
        store_(3 * cellsPerRow_ * kRows) {
    for (int r = 0; r < kRows; ++r) rows_[r] = store_.data() + 3 * cellsPerRow_ * r;
  }

  std::uint8_t MapPixel(int red, int green, int blue) {
    const int input[3] = {red, green, blue};
    const std::ptrdiff_t at = 3 * static_cast<std::ptrdiff_t>(this->column_ + kMargin);
    const std::uint8_t index =
        this->direction_ > 0 ? pixel<1>(input, rows_, at) : pixel<-1>(input, rows_, at);
    this->column_ += this->direction_;
    return index;
  }
  void MapRow(const std::uint8_t* bgr, std::uint8_t* indices) {
    if (this->direction_ > 0)
      mapRun<1>(bgr, indices);
    else
      mapRun<-1>(bgr, indices);
  }
  void EndRow() {
    std::fill_n(rows_[0], 3 * cellsPerRow_, 0);
    std::rotate(rows_.begin(), rows_.begin() + 1, rows_.end());
    this->turn();
  }

 private:
  using Rows = std::array<std::int32_t*, kRows>;

  template <int Dir>
  std::uint8_t pixel(const int (&input)[3], const Rows& rows, std::ptrdiff_t at) {
    int v[3];
    for (int c = 0; c < 3; ++c)
      v[c] = dither_detail::clampByte(input[c] + (rows[0][at + c] + kDivisor / 2) / kDivisor);
    const ColorMatch match = this->lookup_.MatchColour(v[0], v[1], v[2]);
    const std::int32_t e[3] = {v[0] - match.red, v[1] - match.green, v[2] - match.blue};
    spread<Dir>(rows, at, e, std::make_index_sequence<kTaps>());
    return match.index;
  }

  template <int Dir, std::size_t... I>
  static void spread(const Rows& rows, std::ptrdiff_t at, const std::int32_t (&e)[3],
                     std::index_sequence<I...>) {
    (addTap<Dir, Kernel::kTaps[I]>(rows, at, e), ...);
  }

  template <int Dir, DitherTap T>
  static void addTap(const Rows& rows, std::ptrdiff_t at, const std::int32_t (&e)[3]) {
    std::int32_t* cell = rows[T.row] + at + 3 * Dir * T.offset;
    for (int c = 0; c < 3; ++c) cell[c] += T.weight * e[c];
  }

  template <int Dir>
  void mapRun(const std::uint8_t* bgr, std::uint8_t* indices) {
    const Rows rows = rows_;
    const int end = Dir > 0 ? this->width_ : -1;
    for (int x = this->column_; x != end; x += Dir) {
      const std::uint8_t* p = bgr + 3 * static_cast<std::ptrdiff_t>(x);
      indices[x] =
          pixel<Dir>({p[2], p[1], p[0]}, rows, 3 * static_cast<std::ptrdiff_t>(x + kMargin));
    }
    this->column_ = end;
  }

  std::size_t cellsPerRow_;
  std::vector<std::int32_t> store_;  // kRows rows of red, green, blue cells
  Rows rows_{};
};

namespace dither_kernels {

struct Stucki {
  static constexpr int kDivisor = 42, kRows = 3, kMargin = 2;
  static constexpr DitherTap kTaps[] = {{0, 1, 8},  {0, 2, 4}, {1, -2, 2}, {1, -1, 4},
                                        {1, 0, 8},  {1, 1, 4}, {1, 2, 2},  {2, -2, 1},
                                        {2, -1, 2}, {2, 0, 4}, {2, 1, 2},  {2, 2, 1}};
};

struct Sierra {
  static constexpr int kDivisor = 32, kRows = 3, kMargin = 2;
  static constexpr DitherTap kTaps[] = {{0, 1, 5}, {0, 2, 3}, {1, -2, 2}, {1, -1, 4}, {1, 0, 5},
                                        {1, 1, 4}, {1, 2, 2}, {2, -1, 2}, {2, 0, 3},  {2, 1, 2}};
};

struct JaJuNi {
  static constexpr int kDivisor = 48, kRows = 3, kMargin = 2;
  static constexpr DitherTap kTaps[] = {{0, 1, 7},  {0, 2, 5}, {1, -2, 3}, {1, -1, 5},
                                        {1, 0, 7},  {1, 1, 5}, {1, 2, 3},  {2, -2, 1},
                                        {2, -1, 3}, {2, 0, 5}, {2, 1, 3},  {2, 2, 1}};
};

struct SteveArche {
  static constexpr int kDivisor = 200, kRows = 4, kMargin = 3;
  static constexpr DitherTap kTaps[] = {{0, 2, 32}, {1, -3, 12}, {1, -1, 26}, {1, 1, 30},
                                        {1, 3, 16}, {2, -2, 12}, {2, 0, 26},  {2, 2, 12},
                                        {3, -3, 5}, {3, -1, 12}, {3, 1, 12},  {3, 3, 5}};
};

struct Burkes {
  static constexpr int kDivisor = 32, kRows = 2, kMargin = 2;
  static constexpr DitherTap kTaps[] = {{0, 1, 8}, {0, 2, 4}, {1, -2, 2}, {1, -1, 4},
                                        {1, 0, 8}, {1, 1, 4}, {1, 2, 2}};
};

}  // namespace dither_kernels

// The three engines with a 5 × 3 kernel over three error rows.
template <class Lookup, class Kernel>
using T5by3Ditherer = TKernelDitherer<Lookup, Kernel>;

template <class Lookup>
class TStuckiDitherer : public T5by3Ditherer<Lookup, dither_kernels::Stucki> {
  using Base = T5by3Ditherer<Lookup, dither_kernels::Stucki>;

 public:
  using Base::Base;
};

template <class Lookup>
class TSierraDitherer : public T5by3Ditherer<Lookup, dither_kernels::Sierra> {
  using Base = T5by3Ditherer<Lookup, dither_kernels::Sierra>;

 public:
  using Base::Base;
};

template <class Lookup>
class TJaJuNiDitherer : public T5by3Ditherer<Lookup, dither_kernels::JaJuNi> {
  using Base = T5by3Ditherer<Lookup, dither_kernels::JaJuNi>;

 public:
  using Base::Base;
};

// Stevenson–Arce: four error rows, the current row's weight two pixels ahead.
template <class Lookup>
class TSteveArcheDitherer : public TKernelDitherer<Lookup, dither_kernels::SteveArche> {
  using Base = TKernelDitherer<Lookup, dither_kernels::SteveArche>;

 public:
  using Base::Base;
};

template <class Lookup>
class TBurkesDitherer : public TKernelDitherer<Lookup, dither_kernels::Burkes> {
  using Base = TKernelDitherer<Lookup, dither_kernels::Burkes>;

 public:
  using Base::Base;
};

}  // namespace vexo
