// Loading a camera JPEG into the working bitmap and writing it as a 24-bit bitmap file.
#include <benchmark/benchmark.h>

#include <string>

#include "core/byte_io.h"
#include "input/bmp.h"
#include "input/jpeg_reader.h"

namespace {

const std::string kPhoto = std::string(VEXO_CORPUS_DIR) + "/photos/p01.jpg";

void BM_DecodeJpeg(benchmark::State& state) {
  const auto bytes = vexo::readWholeFile(kPhoto, 1ull << 30);
  for (auto _ : state) {
    auto bitmap = vexo::DecodeJpegWithLibjpeg(bytes, vexo::DecodeLimits::defaults());
    benchmark::DoNotOptimize(bitmap.data());
    state.counters["MP"] = bitmap.width() * static_cast<double>(bitmap.height()) / 1e6;
  }
}
BENCHMARK(BM_DecodeJpeg)->Unit(benchmark::kMillisecond);

void BM_EncodeBmp(benchmark::State& state) {
  const auto bytes = vexo::readWholeFile(kPhoto, 1ull << 30);
  const auto bitmap = vexo::DecodeJpegWithLibjpeg(bytes, vexo::DecodeLimits::defaults());
  for (auto _ : state) {
    auto out = vexo::EncodeBmp(bitmap);
    benchmark::DoNotOptimize(out.data());
  }
}
BENCHMARK(BM_EncodeBmp)->Unit(benchmark::kMillisecond);

}  // namespace
