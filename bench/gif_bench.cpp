// The GIF colour reduction on a 12-megapixel camera photo: the Netscape cube and the optimised
// palette (octree, 8 bits, quantising included) with nearest colour and with Floyd–Steinberg.
#include <benchmark/benchmark.h>

#include "bench_photo.h"
#include "gif/reduce.h"

namespace {

void BM_ReduceToPalette(benchmark::State& state) {
  const vexo::Bitmap& source = vexo::bench::corpusPhoto();
  const int method = static_cast<int>(state.range(0));
  const int engine = static_cast<int>(state.range(1));
  for (auto _ : state) {
    vexo::Bitmap out = vexo::ReduceToPalette(source, method, engine);
    benchmark::DoNotOptimize(out.data());
  }
  state.counters["MP"] = source.width() * double(source.height()) / 1e6;
}
BENCHMARK(BM_ReduceToPalette)
    ->ArgNames({"method", "engine"})
    ->ArgsProduct({{vexo::kReduceNetscape, vexo::kReduceOptimized},
                   {vexo::kDitherNearest, vexo::kDitherFloydSteinberg}})
    ->Unit(benchmark::kMillisecond);

// The octree alone: building the optimised palette of the photo.
void BM_OptimisedPalette(benchmark::State& state) {
  const vexo::Bitmap& source = vexo::bench::corpusPhoto();
  for (auto _ : state) {
    vexo::Palette palette = vexo::ReductionPalette(vexo::kReduceOptimized, source);
    benchmark::DoNotOptimize(palette.data());
  }
}
BENCHMARK(BM_OptimisedPalette)->Unit(benchmark::kMillisecond);

}  // namespace
