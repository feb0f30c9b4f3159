// The own JPEG codec against libjpeg-turbo on a 12-megapixel camera photo: encoding at quality 75
// with 4:2:0 sampling (TJpegEx::Encode against jpeg_write_scanlines with default settings) and
// decoding the camera file (TJpegEx::Decode against the libjpeg reader).
#include <benchmark/benchmark.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <vector>

// jpeglib.h needs FILE and size_t declared first.
#include <jpeglib.h>

#include "bench_photo.h"
#include "core/byte_io.h"
#include "input/jpeg_reader.h"
#include "jpeg/jpeg_ex.h"

namespace {

using vexo::bench::corpusPhotoFile;

const vexo::Bitmap& photo() {
  return vexo::bench::corpusPhoto();
}

void setPixelCounters(benchmark::State& state, const vexo::Bitmap& image, std::size_t bytes) {
  state.counters["MP"] = double(image.width()) * image.height() / 1e6;
  state.counters["KB"] = double(bytes) / 1024;
}

void BM_EncodeTJpegEx(benchmark::State& state) {
  const vexo::Bitmap& image = photo();
  vexo::TJpegEx jpeg;
  jpeg.assign(image);
  jpeg.setQuality(75);
  jpeg.setSampling(0);
  for (auto _ : state) {
    jpeg.Encode();
    benchmark::DoNotOptimize(jpeg.compressedData().data());
  }
  setPixelCounters(state, image, jpeg.compressedData().size());
}
BENCHMARK(BM_EncodeTJpegEx)->Unit(benchmark::kMillisecond);

void BM_EncodeLibjpeg(benchmark::State& state) {
  const vexo::Bitmap& image = photo();
  std::vector<JSAMPROW> rows(static_cast<std::size_t>(image.height()));
  for (int y = 0; y < image.height(); ++y)
    rows[static_cast<std::size_t>(y)] = const_cast<JSAMPROW>(image.row(y));
  unsigned long size = 0;
  for (auto _ : state) {
    jpeg_compress_struct cinfo{};
    jpeg_error_mgr err{};
    cinfo.err = jpeg_std_error(&err);
    jpeg_create_compress(&cinfo);
    unsigned char* buffer = nullptr;
    size = 0;
    jpeg_mem_dest(&cinfo, &buffer, &size);
    cinfo.image_width = static_cast<JDIMENSION>(image.width());
    cinfo.image_height = static_cast<JDIMENSION>(image.height());
    cinfo.input_components = 3;
    cinfo.in_color_space = JCS_EXT_BGR;  // the Bitmap's byte order
    jpeg_set_defaults(&cinfo);
    jpeg_set_quality(&cinfo, 75, TRUE);
    jpeg_start_compress(&cinfo, TRUE);
    while (cinfo.next_scanline < cinfo.image_height)
      jpeg_write_scanlines(&cinfo, rows.data() + cinfo.next_scanline,
                           cinfo.image_height - cinfo.next_scanline);
    jpeg_finish_compress(&cinfo);
    jpeg_destroy_compress(&cinfo);
    benchmark::DoNotOptimize(buffer);
    std::free(buffer);
  }
  setPixelCounters(state, image, size);
}
BENCHMARK(BM_EncodeLibjpeg)->Unit(benchmark::kMillisecond);

void BM_DecodeTJpegEx(benchmark::State& state) {
  const auto& file = corpusPhotoFile();
  if (file.empty()) {
    state.SkipWithError("no corpus photo");
    return;
  }
  vexo::TJpegEx jpeg;
  for (auto _ : state) {
    try {
      jpeg.loadFromMemory(file);
      jpeg.Decode();
    } catch (const std::exception& e) {
      state.SkipWithError(e.what());
      break;
    }
    benchmark::DoNotOptimize(jpeg.bitmap());
  }
  if (jpeg.bitmap()) setPixelCounters(state, *jpeg.bitmap(), file.size());
}
BENCHMARK(BM_DecodeTJpegEx)->Unit(benchmark::kMillisecond);

void BM_DecodeLibjpeg(benchmark::State& state) {
  const auto& file = corpusPhotoFile();
  if (file.empty()) {
    state.SkipWithError("no corpus photo");
    return;
  }
  vexo::Bitmap image;
  for (auto _ : state) {
    image = vexo::DecodeJpegWithLibjpeg(file, vexo::DecodeLimits::defaults());
    benchmark::DoNotOptimize(image.data());
  }
  setPixelCounters(state, image, file.size());
}
BENCHMARK(BM_DecodeLibjpeg)->Unit(benchmark::kMillisecond);

}  // namespace
