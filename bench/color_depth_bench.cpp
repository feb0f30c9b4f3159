// Reducing a camera photo to 8, 4 and 1 bits with and without error diffusion.
#include <benchmark/benchmark.h>

#include <algorithm>
#include <cmath>
#include <filesystem>
#include <string>
#include <vector>

#include "core/byte_io.h"
#include "imaging/color_depth.h"
#include "input/jpeg_reader.h"

namespace {

constexpr double kMinPixels = 12e6;

// Smooth gradients, soft blobs and fine noise, roughly what a photo gives the palette builder
// and the finder.
vexo::Bitmap syntheticPhoto() {
  const int w = 4000, h = 3000;
  vexo::Bitmap b(w, h, 24);
  unsigned noise = 12345;
  for (int y = 0; y < h; ++y) {
    std::uint8_t* p = b.row(y);
    for (int x = 0; x < w; ++x, p += 3) {
      noise = noise * 1103515245u + 12345u;
      const int n = static_cast<int>(noise >> 28) - 8;
      const double blob = std::sin(x * 0.004) * std::cos(y * 0.006);
      p[0] = static_cast<std::uint8_t>(std::clamp(int(90 + 80 * blob) + n, 0, 255));
      p[1] = static_cast<std::uint8_t>(std::clamp(y * 200 / h + int(30 * blob) + n, 0, 255));
      p[2] = static_cast<std::uint8_t>(std::clamp(x * 230 / w + n, 0, 255));
    }
  }
  return b;
}

// The first corpus photo of at least 12 megapixels, or a synthetic one.
const vexo::Bitmap& photo() {
  static const vexo::Bitmap bitmap = [] {
    std::vector<std::string> files;
    std::error_code ec;
    for (const auto& e :
         std::filesystem::directory_iterator(std::string(VEXO_CORPUS_DIR) + "/photos", ec))
      if (e.is_regular_file()) files.push_back(e.path().string());
    std::sort(files.begin(), files.end());
    for (const auto& file : files) {
      try {
        auto b = vexo::DecodeJpegWithLibjpeg(vexo::readWholeFile(file, 1ull << 30),
                                             vexo::DecodeLimits::defaults());
        if (double(b.width()) * b.height() >= kMinPixels) return b;
      } catch (const std::exception&) {
      }
    }
    return syntheticPhoto();
  }();
  return bitmap;
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
