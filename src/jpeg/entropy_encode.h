// Entropy coding of the encoder: each block transformed (dct.h), quantised (quantize*.h) and
// Huffman coded, MCU by MCU, with restart markers; the codes of one MCU are gathered in 32-bit
// words and handed to the bit writer after it. codeMcuRow is instantiated once per
// instruction-set level (entropy_encode.cpp, entropy_encode_avx2.cpp, entropy_encode_avx512.cpp)
// so that each level's quantisation is inlined into its loop.
#pragma once
#include <array>
#include <bit>
#include <cstdint>
#include <cstring>
#include <functional>
#include <vector>

#include "core/bitmap.h"
#include "jpeg/color_convert.h"
#include "jpeg/dct.h"
#include "jpeg/huffman.h"
#include "jpeg/quantize.h"
#include "jpeg/quantize_avx2.h"
#include "jpeg/quantize_avx512.h"
#include "jpeg/simd.h"

namespace vexo::jpeg {

// Raised when the image's Huffman tables have no code for a symbol the data need; the encoder
// then starts again with the standard tables.
struct MissingCode {};

// Codes of one Huffman table by symbol (DC: size category; AC: run × 16 + size, 0x00 end of
// block, 0xF0 sixteen zeros): the right-aligned code shifted left by 8 plus its length; 0 when
// the table has no code for the symbol.
struct CodeTable {
  std::array<std::uint32_t, 256> entry{};
};

CodeTable makeCodeTable(const jpeg::THuffmanTable& table, bool ac);

// Codes collected without branches: every complete 32-bit word goes into a word list, whose
// bytes are appended to the output after each MCU. Kept in a local variable of the coding loop
// so the accumulator stays in registers. The bit writer only sees the last partial word at a
// restart point and at the end, where it pads the bits and writes the marker.
constexpr std::size_t kWordCapacity = 512;  // an MCU of six blocks needs at most 380 words

struct BitState {
  std::uint64_t acc = 0;
  int count = 0;      // valid low bits of acc, below 32 between calls
  std::size_t n = 0;  // complete words in the list
};

// Appends bits (below 2^length, length 1..32). When 32 or more bits are pending, the top 32 of
// them are bits count - 32 .. count - 1 = (count & 31) .. count - 1 of acc; otherwise the word
// written is not counted and will be overwritten.
VEXO_ALWAYS_INLINE void putBits(BitState& s, std::uint32_t* words, std::uint32_t bits, int length) {
  s.acc = (s.acc << length) | bits;
  s.count += length;
  words[s.n] = static_cast<std::uint32_t>(s.acc >> (s.count & 31));
  s.n += static_cast<std::size_t>(s.count >> 5);
  s.count &= 31;
}

// The complete words to the writer.
inline void flushWords(BitState& s, const std::uint32_t* words, jpeg::JpegBitWriter& w) {
  w.WriteWords({words, s.n});
  s.n = 0;
}

// Everything to the writer (before its flush or marker).
inline void drainBits(BitState& s, const std::uint32_t* words, jpeg::JpegBitWriter& w) {
  flushWords(s, words, w);
  if (s.count > 0) w.WriteBits(static_cast<std::uint32_t>(s.acc), s.count);
  s = BitState{};
}

// The code of a symbol followed by extraLength extra bits.
VEXO_ALWAYS_INLINE void putSymbol(BitState& s, std::uint32_t* words, const CodeTable& t, int symbol,
                                  std::uint32_t extra = 0, int extraLength = 0) {
  const std::uint32_t entry = t.entry[static_cast<std::size_t>(symbol)];
  if (entry == 0) throw MissingCode{};
  putBits(s, words, (entry >> 8 << extraLength) | extra,
          static_cast<int>(entry & 0xFF) + extraLength);
}

struct ComponentCoder {
  const CodeTable* dc = nullptr;
  const CodeTable* ac = nullptr;
  const Quantizer* quant = nullptr;
  std::int32_t predictor = 0;
};

// Quantises a transformed block: the DC value, and the coded values (size × 65536 + low bits)
// and the mask of the non-zero values in zigzag order. The AVX-512 path reorders the block in
// registers; the others leave the values in natural order and index them through kZigzag.
template <int kLevel>
struct QuantizedBlock {
  alignas(64) std::array<std::uint32_t, 64> coded;
  std::int32_t dc = 0;
  std::uint64_t mask = 0;
  std::uint32_t at(int k) const {
    return coded[kLevel == kAvx512 ? static_cast<std::size_t>(k) : jpeg::kZigzag[k]];
  }
};

template <int kLevel>
VEXO_ALWAYS_INLINE void quantizeBlock(const Quantizer& q, const std::int32_t* coef,
                                      const ZigzagMaskTables& zigzag, QuantizedBlock<kLevel>& b) {
#ifdef VEXO_ENCODER_X86
  if constexpr (kLevel == kAvx512)
    if (quantizeAvx512(q, coef, b.coded.data(), b.dc, b.mask)) return;
#endif
  alignas(32) std::int32_t quantized[64];
  std::uint64_t natural;
  if constexpr (kLevel == kAvx512) {
    // The rare values out of range: through the portable path, then into zigzag order.
    alignas(32) std::uint32_t coded[64];
    natural = quantizePortable(q, coef, quantized, coded);
    for (std::size_t k = 0; k < 64; ++k) b.coded[k] = coded[jpeg::kZigzag[k]];
  }
#ifdef VEXO_ENCODER_X86
  else if constexpr (kLevel == kAvx2)
    natural = quantizeAvx2(q, coef, quantized, b.coded.data());
#endif
  else
    natural = quantizePortable(q, coef, quantized, b.coded.data());
  b.dc = quantized[0];
  b.mask = zigzag.toZigzag(natural);
}

// Transforms, quantises and codes one block of 64 samples (8 rows of 8).
template <int kLevel>
VEXO_ALWAYS_INLINE void encodeBlock(const std::uint8_t* samples, ComponentCoder& c,
                                    const ZigzagMaskTables& zigzag, BitState& s, std::uint32_t* w) {
  alignas(32) std::int32_t coef[64];
  QuantizedBlock<kLevel> block;
  jpeg::ForwardDct(samples, coef);
  quantizeBlock<kLevel>(*c.quant, coef, zigzag, block);

  // DC: the difference to the component's predictor (kept to 16 bits like the predictor).
  const std::int32_t dc = static_cast<std::int16_t>(block.dc);
  const std::int32_t diff = dc - c.predictor;
  c.predictor = dc;
  {
    const int size = sizeOf(diff);
    putSymbol(s, w, *c.dc, size, bitsOf(diff, size), size);
  }

  // AC: (zeros before, value) pairs; sixteen zeros at a time before a long run; end of block
  // when zeros remain behind the last non-zero value. The mask skips runs of zeros at once.
  const CodeTable& ac = *c.ac;
  std::uint64_t mask = block.mask & ~std::uint64_t{1};
  int last = 0;
  while (mask) {
    const int k = std::countr_zero(mask);
    mask &= mask - 1;
    int run = k - last - 1;
    last = k;
    for (; run > 15; run -= 16) putSymbol(s, w, ac, 0xF0);
    const std::uint32_t value = block.at(k);
    const int size = static_cast<int>(value >> 16);
    if (size > 15) throw MissingCode{};
    putSymbol(s, w, ac, run * 16 + size, value & 0xFFFF, size);
  }
  if (last < 63) putSymbol(s, w, ac, 0x00);
}

// The state of one scan: strips of the current MCU row, the component coders, restart and
// progress counters and the pending bits.
struct Scan {
  const Bitmap* bitmap = nullptr;
  int width = 0, height = 0, h1 = 1, v1 = 1;
  bool gray = false;
  int mcusAcross = 0, mcusDown = 0;
  std::int64_t mcuCount = 0;
  std::size_t paddedWidth = 0, chromaWidth = 0;
  std::vector<std::uint8_t> lum, cb, cr;
  std::array<ComponentCoder, 3> coders{};
  int restartInterval = 0;

  std::int64_t mcu = 0;         // index of the next MCU
  std::int64_t nextReport = 0;  // MCU at which the percentage changes next
  int sinceRestart = 0, restartNumber = 0;
  BitState bits;
  std::array<std::uint32_t, kWordCapacity> words{};
  jpeg::JpegBitWriter* writer = nullptr;
  const std::function<void(int)>* report = nullptr;
};

// Codes the MCUs of one MCU row from the strips that FillStrips has filled.
template <int kLevel>
VEXO_ALWAYS_INLINE void codeMcuRow(Scan& scan) {
  const int mcuWidth = 8 * scan.h1;
  const ZigzagMaskTables& zigzag = zigzagMasks();
  jpeg::JpegBitWriter& writer = *scan.writer;
  std::uint32_t* w = scan.words.data();
  BitState s = scan.bits;
  alignas(32) std::uint8_t block[64];
  auto copyBlock = [&block](const std::uint8_t* src, std::size_t stride) {
    for (std::size_t i = 0; i < 8; ++i) std::memcpy(block + 8 * i, src + i * stride, 8);
  };
  try {
    for (int mx = 0; mx < scan.mcusAcross; ++mx) {
      if (scan.mcu >= scan.nextReport) {
        const auto percent = scan.mcu * 100 / scan.mcuCount;
        (*scan.report)(static_cast<int>(percent));
        scan.nextReport = ((percent + 1) * scan.mcuCount + 99) / 100;
      }
      // Luminance: H1 × V1 blocks, left to right, then down; then one block of Cb and of Cr.
      for (int k = 0; k < scan.h1 * scan.v1; ++k) {
        copyBlock(scan.lum.data() + static_cast<std::size_t>(8 * (k / scan.h1)) * scan.paddedWidth +
                      static_cast<std::size_t>(mx * mcuWidth + 8 * (k % scan.h1)),
                  scan.paddedWidth);
        encodeBlock<kLevel>(block, scan.coders[0], zigzag, s, w);
      }
      if (!scan.gray) {
        const std::size_t offset = static_cast<std::size_t>(mx) * 8;
        copyBlock(scan.cb.data() + offset, scan.chromaWidth);
        encodeBlock<kLevel>(block, scan.coders[1], zigzag, s, w);
        copyBlock(scan.cr.data() + offset, scan.chromaWidth);
        encodeBlock<kLevel>(block, scan.coders[2], zigzag, s, w);
      }
      flushWords(s, w, writer);
      ++scan.mcu;
      if (scan.restartInterval > 0 && ++scan.sinceRestart == scan.restartInterval &&
          scan.mcu < scan.mcuCount) {
        drainBits(s, w, writer);
        writer.WriteMarker(static_cast<std::uint8_t>(0xD0 + scan.restartNumber));
        scan.restartNumber = (scan.restartNumber + 1) % 8;
        scan.sinceRestart = 0;
        for (auto& coder : scan.coders) coder.predictor = 0;
      }
    }
  } catch (...) {
    scan.bits = s;
    throw;
  }
  scan.bits = s;
}

void CodeMcuRowPortable(Scan& scan);
#ifdef VEXO_ENCODER_X86
VEXO_AVX2 void CodeMcuRowAvx2(Scan& scan);
VEXO_AVX512 void CodeMcuRowAvx512(Scan& scan);
#endif

// The strips of MCU row my (downsample.cpp): luminance of every pixel, chroma of every H1-th
// pixel of every V1-th row, 128 where no pixel lies.
void FillStrips(Scan& scan, int my, ConvertFn convert);

}  // namespace vexo::jpeg
