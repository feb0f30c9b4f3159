// The per-block work of the JPEG codec on real photo content: the forward and inverse DCT in
// each instruction-set variant (time per block), and the coefficient coder writing and reading
// the symbols of quantised photo blocks (time per symbol).
#include <benchmark/benchmark.h>

#include <array>
#include <cstdint>
#include <string>
#include <vector>

#include "core/byte_io.h"
#include "input/jpeg_reader.h"
#include "jpeg/dct.h"
#include "jpeg/huffman.h"

namespace {

using vexo::jpeg::DctVariant;
using Samples = std::array<std::uint8_t, 64>;
using Coefficients = std::array<std::int32_t, 64>;

constexpr std::size_t kBlocks = 8192;  // 512 KB of samples: beyond L1, like a strip of an image

// Blocks of the three channels of a camera photograph, spread over the image.
const std::vector<Samples>& PhotoBlocks() {
  static const std::vector<Samples> blocks = [] {
    const auto bytes =
        vexo::readWholeFile(std::string(VEXO_CORPUS_DIR) + "/jpeg/wuffs/harvesters.jpeg", 1 << 30);
    const vexo::Bitmap image = vexo::DecodeJpegWithLibjpeg(bytes, vexo::DecodeLimits::defaults());
    const std::size_t across = static_cast<std::size_t>(image.width() / 8);
    const std::size_t total = across * static_cast<std::size_t>(image.height() / 8) * 3;
    std::vector<Samples> out;
    for (std::size_t n = 0; out.size() < kBlocks; n = (n + 7) % total) {
      const std::size_t position = n / 3, channel = n % 3;
      const int bx = static_cast<int>(position % across) * 8;
      const int by = static_cast<int>(position / across) * 8;
      Samples s;
      for (int y = 0; y < 8; ++y) {
        const std::uint8_t* row = image.row(by + y);
        for (int x = 0; x < 8; ++x) s[y * 8 + x] = row[(bx + x) * 3 + channel];
      }
      out.push_back(s);
    }
    return out;
  }();
  return blocks;
}

// The same blocks quantised with the quality-75 table (the base table halved) and dequantised.
const std::vector<Coefficients>& QuantisedBlocks(bool dequantise) {
  static const auto make = [](bool multiply) {
    static const int base[64] = {8,  6,  5,  8,  12, 20, 26, 31, 6,  6,  7,  10, 13, 29, 30, 28,
                                 7,  7,  8,  12, 20, 29, 35, 28, 7,  9,  11, 15, 26, 44, 40, 31,
                                 9,  11, 19, 28, 34, 55, 52, 39, 12, 18, 28, 32, 41, 52, 57, 46,
                                 25, 32, 39, 44, 52, 61, 60, 51, 36, 46, 48, 49, 56, 50, 52, 50};
    std::vector<Coefficients> out;
    for (const Samples& s : PhotoBlocks()) {
      Coefficients c;
      vexo::jpeg::ForwardDct(s.data(), c.data());
      for (int k = 0; k < 64; ++k) {
        const int q = std::max(1, (base[k] + 1) / 2);
        c[k] = (c[k] + q / 2) / q * (multiply ? q : 1);
      }
      out.push_back(c);
    }
    return out;
  };
  static const std::vector<Coefficients> quantised = make(false), dequantised = make(true);
  return dequantise ? dequantised : quantised;
}

// Argument: -1 the automatic choice, else a DctVariant.
bool Prepare(benchmark::State& state) {
  const auto arg = state.range(0);
  if (arg >= 0 && !vexo::jpeg::DctVariantSupported(static_cast<DctVariant>(arg))) {
    state.SkipWithError("not supported by this processor");
    return false;
  }
  state.SetLabel(arg < 0 ? "automatic" : arg == 0 ? "generic" : arg == 1 ? "avx2" : "avx512");
  return true;
}

void BM_ForwardDct(benchmark::State& state) {
  if (!Prepare(state)) return;
  const auto& blocks = PhotoBlocks();
  std::vector<Coefficients> out(blocks.size());
  const auto arg = state.range(0);
  std::size_t i = 0;
  for (auto _ : state) {
    if (arg < 0) {
      vexo::jpeg::ForwardDct(blocks[i].data(), out[i].data());
    } else {
      vexo::jpeg::ForwardDct(blocks[i].data(), out[i].data(), static_cast<DctVariant>(arg));
    }
    benchmark::ClobberMemory();
    i = (i + 1) % blocks.size();
  }
  state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_ForwardDct)->DenseRange(-1, 2)->ArgName("variant");

void BM_InverseDct(benchmark::State& state) {
  if (!Prepare(state)) return;
  const auto& blocks = QuantisedBlocks(true);
  std::vector<Samples> out(blocks.size());
  const auto arg = state.range(0);
  std::size_t i = 0;
  for (auto _ : state) {
    if (arg < 0) {
      vexo::jpeg::InverseDct(blocks[i].data(), out[i].data());
    } else {
      vexo::jpeg::InverseDct(blocks[i].data(), out[i].data(), static_cast<DctVariant>(arg));
    }
    benchmark::ClobberMemory();
    i = (i + 1) % blocks.size();
  }
  state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_InverseDct)->DenseRange(-1, 2)->ArgName("variant");

// The symbols of the quantised blocks as the encoder produces them: DC difference, then
// (zero run, value) pairs and end of block, alternating luminance and chrominance tables.
struct Symbol {
  int table, run, value;
};

const std::vector<Symbol>& Symbols() {
  static const std::vector<Symbol> symbols = [] {
    std::vector<Symbol> out;
    int predictor[2] = {0, 0};
    const auto& blocks = QuantisedBlocks(false);
    for (std::size_t n = 0; n < blocks.size(); ++n) {
      const int chroma = n % 3 == 0 ? 0 : 1;
      const Coefficients& c = blocks[n];
      out.push_back({chroma, 0, c[0] - predictor[chroma]});
      predictor[chroma] = c[0];
      int run = 0;
      for (int k = 1; k < 64; ++k) {
        const int v = c[vexo::jpeg::kZigzag[k]];
        if (v == 0) {
          ++run;
        } else {
          out.push_back({2 + chroma, run, v});
          run = 0;
        }
      }
      if (run > 0) out.push_back({2 + chroma, vexo::jpeg::kEndOfBlock, 0});
    }
    return out;
  }();
  return symbols;
}

void BM_EncodeValue(benchmark::State& state) {
  const vexo::jpeg::THuffmanTables tables(true);
  const auto& symbols = Symbols();
  std::vector<std::uint8_t> out;
  out.reserve(symbols.size() * 4);
  for (auto _ : state) {
    out.clear();
    vexo::jpeg::JpegBitWriter writer(out);
    for (const Symbol& s : symbols)
      vexo::jpeg::EncodeValue(tables.at(s.table), writer, s.run, s.value);
    writer.FlushAll();
    benchmark::DoNotOptimize(out.data());
  }
  state.SetItemsProcessed(state.iterations() * static_cast<std::int64_t>(symbols.size()));
  state.counters["per_symbol"] = benchmark::Counter(
      static_cast<double>(symbols.size()),
      benchmark::Counter::kIsIterationInvariantRate | benchmark::Counter::kInvert);
  state.counters["bytes/symbol"] =
      static_cast<double>(out.size()) / static_cast<double>(symbols.size());
}
BENCHMARK(BM_EncodeValue)->Unit(benchmark::kMicrosecond);

void BM_DecodeSymbol(benchmark::State& state) {
  const vexo::jpeg::THuffmanTables tables(true);
  const auto& symbols = Symbols();
  std::vector<std::uint8_t> data;
  {
    vexo::jpeg::JpegBitWriter writer(data);
    for (const Symbol& s : symbols)
      vexo::jpeg::EncodeValue(tables.at(s.table), writer, s.run, s.value);
    writer.WriteMarker(0xD9);
  }
  std::int64_t decoded = 0;
  for (auto _ : state) {
    vexo::jpeg::JpegBitReader reader(data);
    int run = 0, sum = 0;
    for (const Symbol& s : symbols) {
      // Runs above 15 come as ZRL symbols first.
      for (int r = s.run; r != vexo::jpeg::kEndOfBlock && r > 15; r -= 16) {
        sum += vexo::jpeg::DecodeSymbol(tables.at(s.table), reader, run);
        ++decoded;
      }
      sum += vexo::jpeg::DecodeSymbol(tables.at(s.table), reader, run);
    }
    decoded += static_cast<std::int64_t>(symbols.size());
    benchmark::DoNotOptimize(sum);
  }
  state.SetItemsProcessed(decoded);
  state.counters["per_symbol"] = benchmark::Counter(
      static_cast<double>(decoded), benchmark::Counter::kIsRate | benchmark::Counter::kInvert);
}
BENCHMARK(BM_DecodeSymbol)->Unit(benchmark::kMicrosecond);

}  // namespace
