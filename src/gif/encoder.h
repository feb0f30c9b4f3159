// The image-data encoders: TGIFWriter cuts bytes into data sub-blocks, TGIFEncoder packs codes
// into bytes, and TLZWEncoder and TRLEEncoder turn a frame's pixels into codes.
#pragma once
#include <array>
#include <cstdint>
#include <span>
#include <vector>

#include "gif/gif_internal.h"

namespace vexo::gif {

// Collects encoded bytes and appends them to the output as sub-blocks: a length byte 255 and 255
// bytes for every full block, the rest as a last, shorter block on Finish (or when destroyed
// without it, so a failed frame still leaves its pending bytes).
class TGIFWriter {
 public:
  explicit TGIFWriter(std::vector<std::uint8_t>& out) : out_(out) {}
  ~TGIFWriter();
  TGIFWriter(const TGIFWriter&) = delete;
  TGIFWriter& operator=(const TGIFWriter&) = delete;

  void Put(std::uint8_t byte) {
    block_[size_++] = byte;
    if (size_ == kBlockSize) WriteBlock();
  }
  // Writes the pending bytes as the last block.
  void Finish() {
    if (size_ > 0) WriteBlock();
  }

 private:
  static constexpr int kBlockSize = 255;
  void WriteBlock();

  std::vector<std::uint8_t>& out_;
  std::array<std::uint8_t, kBlockSize> block_;
  int size_ = 0;
};

// Code output shared by both encoders: codes enter a 64-bit bit bucket least significant bit
// first at the current width, and whole bytes leave it one at a time for the writer.
class TGIFEncoder {
 public:
  static constexpr int kMaxWidth = 12;

  TGIFEncoder(int minCodeSize, TGIFWriter& writer, std::vector<GifCode>* trace)
      : minCodeSize_(minCodeSize),
        clearCode_(1 << minCodeSize),
        endCode_(clearCode_ + 1),
        width_(minCodeSize + 1),
        writer_(writer),
        trace_(trace) {}

 protected:
  void Output(int code) {
    if (trace_)
      trace_->push_back({static_cast<std::uint16_t>(code), static_cast<std::uint8_t>(width_)});
    // Locals, so that the byte stores cannot alias the bucket.
    std::uint64_t bucket = bucket_ | static_cast<std::uint64_t>(code) << bits_;
    int bits = bits_ + width_;
    for (; bits >= 8; bits -= 8, bucket >>= 8) writer_.Put(static_cast<std::uint8_t>(bucket));
    bucket_ = bucket;
    bits_ = bits;
  }
  // The end code, then the remaining bits as a final byte and the last block.
  void Finish() {
    Output(endCode_);
    if (bits_ > 0) writer_.Put(static_cast<std::uint8_t>(bucket_));
    bucket_ = 0;
    bits_ = 0;
    writer_.Finish();
  }

  const int minCodeSize_;
  const int clearCode_;
  const int endCode_;
  int width_;

 private:
  TGIFWriter& writer_;
  std::vector<GifCode>* trace_;
  std::uint64_t bucket_ = 0;
  int bits_ = 0;
};

// The LZW string table: 8009 slots of 32 bits, a string (prefix code, pixel) keyed as
// k = prefix × 256 + pixel and stored as k << 12 | code; all bits set marks an empty slot.
// Probing uses double hashing: a prime size and a step fixed by the first slot visit every slot.
class THashTable {
 public:
  static constexpr std::uint32_t kSize = 8009;
  static constexpr std::uint32_t kEmpty = 0xFFFFFFFFu;

  THashTable() { Clear(); }
  void Clear() { slots_.fill(kEmpty); }

  // The code of key, or -1 with *slot left at the empty slot where key belongs.
  int Find(std::uint32_t key, std::uint32_t* slot) const {
    std::uint32_t s = (key ^ (key >> 4)) % kSize;
    const std::uint32_t step = s == 0 ? 1 : kSize - s;
    for (;;) {
      const std::uint32_t entry = slots_[s];
      if (entry == kEmpty) break;
      if ((entry >> 12) == key) return static_cast<int>(entry & 0xFFF);
      s = s >= step ? s - step : s + kSize - step;
    }
    *slot = s;
    return -1;
  }
  void Insert(std::uint32_t slot, std::uint32_t key, int code) {
    slots_[slot] = key << 12 | static_cast<std::uint32_t>(code);
  }

 private:
  std::array<std::uint32_t, kSize> slots_;
};

// LZW: a clear code first, then the codes of the longest known strings, adding one string per
// code until the table holds code 4094, when a clear code starts it afresh.
class TLZWEncoder : public TGIFEncoder {
 public:
  using TGIFEncoder::TGIFEncoder;
  void Encode(std::span<const std::uint8_t> pixels);

 private:
  THashTable table_;
};

// Run-length coding that any LZW decoder reads: single pixel codes, and for runs of one colour
// the codes a decoder's table gains while it reads that run, so it never needs a string table.
class TRLEEncoder : public TGIFEncoder {
 public:
  TRLEEncoder(int minCodeSize, TGIFWriter& writer, std::vector<GifCode>* trace);
  void Encode(std::span<const std::uint8_t> pixels);

 private:
  void Clear();
  void Emit(int code);
  void Flush(std::int64_t n);
  void FlushFromClear(std::int64_t n);
  void FlushClearOrRepeat(std::int64_t n);
  void FlushWithTable(std::int64_t n);

  const int baseCode_;         // the first code a decoder assigns after a clear
  const int bumpStart_;        // codes after a clear until the width first grows
  const int clearLimitStart_;  // codes after a clear until the next clear, between long runs
  const int maxCodes_;         // codes after a clear the table holds room for
  int count_ = 0;              // codes emitted since the last clear
  int bumpPoint_ = 0;
  int clearLimit_ = 0;
  bool justCleared_ = false;
  int pixel_ = 0;        // the run being flushed
  int tableLength_ = 0;  // the longest run of tablePixel_ the decoder has a code for
  int tablePixel_ = -1;
};

// The RLE cost with 64-bit run lengths: the codes a run of n pixels takes after a clear.
std::int64_t RleRunCost(std::int64_t n, std::int64_t k);

}  // namespace vexo::gif
