// The median-cut palette builder and the nearest-entry finder behind every reduction to 8 bits
// or fewer (bitmap, PNG and icon output).
#pragma once
#include <array>
#include <cstdint>
#include <vector>

#include "core/bitmap.h"

namespace vexo {

// Counts of one channel's values.
class TPalHistgram {
 public:
  void Add(int value) { ++counter_[value]; }
  // Sum of the counters lo..hi; 0 when hi < lo.
  std::uint64_t Sum(int lo, int hi) const;
  // The weighted mean of lo..hi: (sum of (i - 128) × counter[i]) / Sum + 128, the division
  // rounding towards zero, clamped to 0..255; 0 when Sum is 0.
  int Mean(int lo, int hi) const;

 private:
  std::array<std::uint32_t, 256> counter_{};
};

// Splits the colour cube into boxes, BitCount times splitting every box present at the start of
// the pass along its longest range at the channel's weighted mean, and gives each box the means
// of the image's channel histograms over its ranges.
class TMedianColor {
 public:
  struct Box {
    int redMin = 0, redMax = 255, greenMin = 0, greenMax = 255, blueMin = 0, blueMax = 255;
  };

  // 0 stores 1, above 8 stores 8.
  void SetBitCount(int bits);
  int BitCount() const { return bitCount_; }
  // colour = red × 65536 + green × 256 + blue.
  void AddColor(std::uint32_t colour) {
    red_.Add(static_cast<int>(colour >> 16 & 0xFF));
    green_.Add(static_cast<int>(colour >> 8 & 0xFF));
    blue_.Add(static_cast<int>(colour & 0xFF));
  }
  void AddPixel(std::uint8_t red, std::uint8_t green, std::uint8_t blue) {
    red_.Add(red);
    green_.Add(green);
    blue_.Add(blue);
  }
  void Build();
  // 2 entries for BitCount 1, 16 for 2 to 4, 256 for 5 to 8; entries past Count() are black.
  const Palette& palette() const { return palette_; }
  // The number of boxes: how many palette entries are in use.
  int Count() const { return static_cast<int>(boxes_.size()); }
  const std::vector<Box>& boxes() const { return boxes_; }

 private:
  int bitCount_ = 1;
  TPalHistgram red_, green_, blue_;
  std::vector<Box> boxes_;
  Palette palette_;
};

// Nearest palette entry by squared RGB distance, lowest index on ties: exactly the answer of a
// linear search over the active entries, found through a lazily built per-region candidate
// list instead of a scan of the whole palette.
class TPaletteFinder {
 public:
  TPaletteFinder();
  ~TPaletteFinder();
  TPaletteFinder(const TPaletteFinder&) = delete;
  TPaletteFinder& operator=(const TPaletteFinder&) = delete;

  // Copies up to 256 entries; active = the limit when it is above 0 and below the count.
  void Load(const Palette& palette);
  // 0 lifts the limit.
  void SetLimit(int limit);
  int count() const { return count_; }
  int active() const { return active_; }

  // 0 when no entry is active.
  int NearestIndex(int red, int green, int blue);
  PaletteEntry NearestColour(int red, int green, int blue) {
    return entries_[static_cast<std::size_t>(NearestIndex(red, green, blue))];
  }

 private:
  void reset();
  int searchCell(int cell, int red, int green, int blue);

  std::array<PaletteEntry, 256> entries_{};
  int count_ = 0, limit_ = 0, active_ = 0;
  // Per cell of the colour cube (8 × 8 × 8 values each): the offset of its candidate list in
  // candidates_, or -1 while not built.
  std::vector<std::int32_t> cellStart_;
  std::vector<std::uint8_t> candidates_;
};

}  // namespace vexo
