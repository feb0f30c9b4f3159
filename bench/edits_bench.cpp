// The geometric edits on camera-sized 24-bit images: area-integrating resize down and up, a
// quarter turn and a mirror.
#include <benchmark/benchmark.h>

#include <cmath>
#include <cstdint>
#include <random>

#include "imaging/edits.h"

namespace {

// Photo-like content: smooth colour gradients with a soft shape and a little sensor noise.
vexo::Bitmap photoLike(int w, int h) {
  vexo::Bitmap image(w, h, 24);
  std::mt19937 rng(7);
  std::uniform_int_distribution<int> noise(-6, 6);
  auto clamp = [](double v) {
    return static_cast<std::uint8_t>(v < 0 ? 0 : (v > 255 ? 255 : std::lround(v)));
  };
  for (int y = 0; y < h; ++y) {
    std::uint8_t* p = image.row(y);
    const double fy = static_cast<double>(y) / h;
    for (int x = 0; x < w; ++x, p += 3) {
      const double fx = static_cast<double>(x) / w;
      const double blob = 80 * std::exp(-((fx - 0.6) * (fx - 0.6) + (fy - 0.4) * (fy - 0.4)) * 12);
      p[0] = clamp(200 * fy + 30 + noise(rng));
      p[1] = clamp(120 + 60 * std::sin(fx * 6.3) + blob + noise(rng));
      p[2] = clamp(220 * fx + blob * 0.5 + noise(rng));
    }
  }
  return image;
}

const vexo::Bitmap& image24MP() {
  static const vexo::Bitmap image = photoLike(6000, 4000);
  return image;
}

const vexo::Bitmap& image6MP() {
  static const vexo::Bitmap image = photoLike(3000, 2000);
  return image;
}

void BM_Resize24MPTo6MP(benchmark::State& state) {
  const auto& source = image24MP();
  for (auto _ : state) {
    auto out = vexo::ResizeBitmap(source, 3000, 2000);
    benchmark::DoNotOptimize(out.data());
  }
}
BENCHMARK(BM_Resize24MPTo6MP)->Unit(benchmark::kMillisecond);

void BM_Resize6MPTo150Percent(benchmark::State& state) {
  const auto& source = image6MP();
  for (auto _ : state) {
    auto out = vexo::ResizeBitmap(source, 4500, 3000);
    benchmark::DoNotOptimize(out.data());
  }
}
BENCHMARK(BM_Resize6MPTo150Percent)->Unit(benchmark::kMillisecond);

void BM_RotateQuarter24MP(benchmark::State& state) {
  const auto& source = image24MP();
  for (auto _ : state) {
    auto out = vexo::RotateBitmap(source, 0);
    benchmark::DoNotOptimize(out.data());
  }
}
BENCHMARK(BM_RotateQuarter24MP)->Unit(benchmark::kMillisecond);

void BM_Mirror24MP(benchmark::State& state) {
  const auto& source = image24MP();
  for (auto _ : state) {
    auto out = vexo::MirrorBitmap(source);
    benchmark::DoNotOptimize(out.data());
  }
}
BENCHMARK(BM_Mirror24MP)->Unit(benchmark::kMillisecond);

}  // namespace
