// The images the benchmarks work on: a 12-megapixel camera photo of the shared corpus, or a
// photo-like synthetic image of the same size when the corpus is missing.
#pragma once
#include <algorithm>
#include <cmath>
#include <cstdint>
#include <filesystem>
#include <string>
#include <vector>

#include "core/bitmap.h"
#include "core/byte_io.h"
#include "input/jpeg_reader.h"
#include "jpeg/jpeg_ex.h"

namespace vexo::bench {

// Smooth gradients, a soft blob and fine noise: roughly what a photo gives the codecs.
inline Bitmap syntheticPhoto(int w = 4000, int h = 3000) {
  Bitmap b(w, h, 24);
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

// The file bytes of the corpus photo of 12 to 13 megapixels (else the first larger one); empty
// when there is none.
inline const std::vector<std::uint8_t>& corpusPhotoFile() {
  static const std::vector<std::uint8_t> bytes = [] {
    std::vector<std::string> files;
    std::error_code ec;
    for (const auto& e :
         std::filesystem::directory_iterator(std::string(VEXO_CORPUS_DIR) + "/photos", ec))
      if (e.is_regular_file()) files.push_back(e.path().string());
    std::sort(files.begin(), files.end());
    std::vector<std::uint8_t> larger;
    for (const auto& file : files) {
      try {
        auto data = readWholeFile(file, 1ull << 30);
        const auto size = ScanJpegSize(data);
        if (!size) continue;
        const double pixels = double(size->first) * size->second;
        if (pixels >= 12e6 && pixels < 13e6) return data;
        if (pixels >= 12e6 && larger.empty()) larger = std::move(data);
      } catch (const std::exception&) {
      }
    }
    return larger;
  }();
  return bytes;
}

// That photo decoded, or the synthetic one.
inline const Bitmap& corpusPhoto() {
  static const Bitmap bitmap = [] {
    if (!corpusPhotoFile().empty())
      return DecodeJpegWithLibjpeg(corpusPhotoFile(), DecodeLimits::defaults());
    return syntheticPhoto();
  }();
  return bitmap;
}

}  // namespace vexo::bench
