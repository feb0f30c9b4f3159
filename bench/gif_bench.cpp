// The GIF colour reduction on a 12-megapixel camera photo: the Netscape cube and the optimised
// palette (octree, 8 bits, quantising included) with nearest colour and with Floyd–Steinberg;
// and the whole writer (reduction, LZW or RLE, the file in memory) at the default settings.
#include <benchmark/benchmark.h>

#include "bench_photo.h"
#include "gif/gif.h"

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

// TGIFImage: assigning the photo (web palette, nearest colour) and saving it.
void BM_GifFile(benchmark::State& state) {
  const vexo::Bitmap& source = vexo::bench::corpusPhoto();
  std::size_t size = 0;
  for (auto _ : state) {
    vexo::TGIFImage gif;
    gif.GifCompression = static_cast<int>(state.range(0));
    gif.assign(source);
    size = gif.saveToMemory().size();
  }
  state.counters["KiB"] = double(size) / 1024;
}
BENCHMARK(BM_GifFile)
    ->ArgName("rle")
    ->Arg(vexo::kGifLZW)
    ->Arg(vexo::kGifRLE)
    ->Unit(benchmark::kMillisecond);

}  // namespace
