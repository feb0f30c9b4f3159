// What carrying Exif costs beside the conversion of a 12-megapixel camera photo: reading the
// camera's Exif block and putting it into an encoded JPEG, and making the new thumbnail from the
// encoded JPEG (libjpeg decode at 1/8 scale, stretch, encode at quality 90).
#include <benchmark/benchmark.h>

#include "bench_photo.h"
#include "exif/exif.h"
#include "jpeg/jpeg_ex.h"

namespace {

using vexo::bench::corpusPhotoFile;

const std::vector<std::uint8_t>& encodedPhoto() {
  static const std::vector<std::uint8_t> bytes = [] {
    vexo::TJpegEx jpeg;
    jpeg.assign(vexo::bench::corpusPhoto());
    jpeg.Encode();
    return jpeg.compressedData();
  }();
  return bytes;
}

void BM_ExifReadAndWrite(benchmark::State& state) {
  const auto& source = corpusPhotoFile();
  const auto& output = encodedPhoto();
  for (auto _ : state) {
    vexo::TExifInfo info;
    try {
      info.readFrom(source);
    } catch (const vexo::EExifError&) {
      state.SkipWithError("the photo has no Exif block");
      return;
    }
    benchmark::DoNotOptimize(info.WriteInto(output, false));
  }
}
BENCHMARK(BM_ExifReadAndWrite)->Unit(benchmark::kMillisecond);

void BM_ExifThumbnail(benchmark::State& state) {
  const auto& output = encodedPhoto();
  for (auto _ : state) benchmark::DoNotOptimize(vexo::MakeExifThumbnail(output));
}
BENCHMARK(BM_ExifThumbnail)->Unit(benchmark::kMillisecond);

}  // namespace
