// The RLE encoder. After a clear a decoder gives the first free codes, in order, to the runs of
// one colour P of lengths 2, 3, 4, … when it reads P and then each of those codes in turn, so a
// run is written as pieces of lengths 1, 2, 3, … and later runs of P reuse the codes it gained.
#include <algorithm>

#include "gif/encoder.h"

namespace vexo::gif {

namespace {

// The integer square root of r > 0 by Newton steps from a power of two above it; remainders
// below 2^32, the usual case, take the cheaper 32-bit divisions.
template <typename T>
T SquareRoot(T r) {
  T guess = 1;
  for (T v = r; v > 0; v >>= 2) guess <<= 1;
  for (;;) {
    const T next = (r / guess + guess) / 2;
    if (next == guess || next == guess + 1) return guess;
    guess = next;
  }
}

}  // namespace

// Pieces of lengths 1..k fill a table of k codes with k(k + 1)/2 pixels; a rest of r pixels
// needs the fewest j pieces with j(j + 1)/2 >= r.
std::int64_t RleRunCost(std::int64_t n, std::int64_t k) {
  if (n <= 0) return 0;
  k = std::max<std::int64_t>(k, 1);
  const std::int64_t per = k * (k + 1) / 2;
  std::int64_t cost = 0;
  std::int64_t r = n;
  if (r >= per) {
    cost = n / per * k;
    r = n % per;
  }
  if (r > 0) {
    std::int64_t j = r <= 0xFFFFFFFF ? SquareRoot(static_cast<std::uint32_t>(r)) : SquareRoot(r);
    while (j * (j + 1) >= 2 * r) --j;
    while (j * (j + 1) < 2 * r) ++j;
    cost += j;
  }
  return cost;
}

int RleCost(int n, int k) {
  return static_cast<int>(RleRunCost(n, k));
}

TRLEEncoder::TRLEEncoder(int minCodeSize, TGIFWriter& writer, std::vector<GifCode>* trace)
    : TGIFEncoder(minCodeSize, writer, trace),
      baseCode_(clearCode_ + 2),
      bumpStart_(clearCode_ - 1),
      clearLimitStart_(minCodeSize > 3 ? clearCode_ - 2 : 9),
      maxCodes_(4095 - baseCode_) {}

void TRLEEncoder::Clear() {
  bumpPoint_ = bumpStart_;
  clearLimit_ = clearLimitStart_;
  count_ = 0;
  tableLength_ = 0;
  Output(clearCode_);
  justCleared_ = true;
  width_ = minCodeSize_ + 1;
}

// Every code but a clear makes the decoder assign one: the width follows its table, and a
// clear follows once the table holds the clear limit's codes.
inline void TRLEEncoder::Emit(int code) {
  justCleared_ = false;
  Output(code);
  ++count_;
  if (count_ >= bumpPoint_) bumpPoint_ += 1 << width_++;
  if (count_ >= clearLimit_) Clear();
}

void TRLEEncoder::Encode(std::span<const std::uint8_t> pixels) {
  Clear();
  for (std::size_t i = 0; i < pixels.size();) {
    std::size_t end = i + 1;
    while (end < pixels.size() && pixels[end] == pixels[i]) ++end;
    pixel_ = pixels[i];
    Flush(static_cast<std::int64_t>(end - i));
    i = end;
  }
  Finish();
}

void TRLEEncoder::Flush(std::int64_t n) {
  if (n == 1)
    Emit(pixel_);
  else if (justCleared_)
    FlushFromClear(n);
  else if (tableLength_ > 1 && tablePixel_ == pixel_)
    FlushWithTable(n);
  else
    FlushClearOrRepeat(n);
}

// Pieces of growing length, each the code the decoder assigns as it reads it; a clear in
// between starts the pieces over.
void TRLEEncoder::FlushFromClear(std::int64_t n) {
  clearLimit_ = maxCodes_;
  tablePixel_ = pixel_;
  int i = 1;
  while (n > 0) {
    if (i == 1) {
      tableLength_ = 1;
      Emit(pixel_);
      n -= 1;
    } else if (n >= i) {
      tableLength_ = i;
      Emit(baseCode_ + i - 2);
      n -= i;
    } else {
      ++tableLength_;
      Emit(n == 1 ? pixel_ : baseCode_ + static_cast<int>(n) - 2);
      n = 0;
    }
    i = count_ == 0 ? 1 : i + 1;
  }
  clearLimit_ = clearLimitStart_;
  if (count_ >= clearLimit_) Clear();
}

// Without usable codes: repeat the pixel, unless a clear and fresh pieces take fewer codes.
void TRLEEncoder::FlushClearOrRepeat(std::int64_t n) {
  if (1 + RleRunCost(n, maxCodes_) < n) {
    Clear();
    FlushFromClear(n);
    return;
  }
  for (; n > 0; --n) Emit(pixel_);
}

// The table holds runs of this pixel up to tableLength_: repeat the longest, as far as the table
// has room before it must be cleared, and write the rest with one code; or clear when fresh
// pieces take fewer codes.
void TRLEEncoder::FlushWithTable(std::int64_t n) {
  const int length = tableLength_;
  std::int64_t reps = n / length;
  std::int64_t left = n % length;
  std::int64_t extra = left > 0 ? 1 : 0;
  if (count_ + reps + extra > maxCodes_) {
    reps = maxCodes_ - count_;
    left = n - reps * length;
    extra = 1 + RleRunCost(left, maxCodes_);
  }
  if (1 + RleRunCost(n, maxCodes_) < reps + extra) {
    Clear();
    FlushFromClear(n);
    return;
  }
  clearLimit_ = maxCodes_;
  for (; reps > 0; --reps) Emit(baseCode_ + length - 2);
  if (left > 0) {
    if (justCleared_)
      FlushFromClear(left);
    else
      Emit(left == 1 ? pixel_ : baseCode_ + static_cast<int>(left) - 2);
  }
  clearLimit_ = clearLimitStart_;
  if (count_ >= clearLimit_) Clear();
}

}  // namespace vexo::gif
