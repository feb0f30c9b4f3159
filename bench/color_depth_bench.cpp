// Reducing a camera photo to 8, 4 and 1 bits with and without error diffusion.
#include <benchmark/benchmark.h>

#include <algorithm>
#include <cmath>
#include <filesystem>
#include <string>
#include <vector>

#include "bench_photo.h"
#include "core/byte_io.h"
#include "imaging/color_depth.h"
#include "input/jpeg_reader.h"

namespace {

const vexo::Bitmap& photo() {
  return vexo::bench::corpusPhoto();
}

void BM_ChangeBitCount(benchmark::State& state) {
  const vexo::Bitmap& source = photo();
  const int bits = static_cast<int>(state.range(0));
  const bool diffuse = state.range(1) != 0;
  for (auto _ : state) {
    auto out = vexo::ChangeBitCount(source, bits, nullptr, false, diffuse);
    benchmark::DoNotOptimize(out.data());
  }
  state.counters["MP"] = source.width() * double(source.height()) / 1e6;
}
BENCHMARK(BM_ChangeBitCount)
    ->ArgNames({"bits", "diffuse"})
    ->ArgsProduct({{8, 4, 1}, {0, 1}})
    ->Unit(benchmark::kMillisecond);

}  // namespace
