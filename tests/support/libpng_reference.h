// libpng as the independent PNG decoder of the tests: every file expanded to 8-bit RGBA, top row
// first (palettes looked up, gray replicated, 1/2/4-bit gray scaled to 8 bits by bit
// replication, tRNS turned into alpha, 16-bit samples cut to their high byte). No gamma
// correction is applied.
#pragma once
#include <png.h>

#include <csetjmp>
#include <cstdint>
#include <cstring>
#include <span>
#include <string>
#include <vector>

namespace vexo::test {

struct LibpngImage {
  int width = 0, height = 0;
  int colorType = -1, bitDepth = 0, interlace = 0;
  std::vector<std::uint8_t> rgba;  // width × height × 4
  std::string error;               // libpng's message when it refused the file
  bool ok() const { return error.empty() && width > 0; }
};

namespace detail {

struct LibpngSource {
  std::span<const std::uint8_t> data;
  std::size_t pos = 0;
  std::string error;
};

inline void libpngRead(png_structp png, png_bytep out, png_size_t n) {
  auto* src = static_cast<LibpngSource*>(png_get_io_ptr(png));
  if (src->data.size() - src->pos < n) png_error(png, "unexpected end of data");
  std::memcpy(out, src->data.data() + src->pos, n);
  src->pos += n;
}

inline void libpngError(png_structp png, png_const_charp message) {
  static_cast<LibpngSource*>(png_get_io_ptr(png))->error = message;
  png_longjmp(png, 1);
}

inline void libpngWarning(png_structp, png_const_charp) {}

}  // namespace detail

// Reads the image into out; false after a libpng error. The caller owns out and the row
// pointers, so the longjmp skips no destructor and nothing this frame changes after setjmp is
// read after it.
inline bool readWithLibpng(png_structp png, png_infop info, LibpngImage& out,
                           std::vector<png_bytep>& rows) {
  if (setjmp(png_jmpbuf(png))) return false;
  png_set_user_limits(png, 0x7FFFFFFF, 0x7FFFFFFF);
  png_read_info(png, info);
  out.width = static_cast<int>(png_get_image_width(png, info));
  out.height = static_cast<int>(png_get_image_height(png, info));
  out.colorType = png_get_color_type(png, info);
  out.bitDepth = png_get_bit_depth(png, info);
  out.interlace = png_get_interlace_type(png, info);
  png_set_expand(png);
  png_set_strip_16(png);
  png_set_gray_to_rgb(png);
  png_set_add_alpha(png, 0xFF, PNG_FILLER_AFTER);
  png_set_interlace_handling(png);
  png_read_update_info(png, info);
  const std::size_t stride = static_cast<std::size_t>(out.width) * 4;
  out.rgba.assign(stride * static_cast<std::size_t>(out.height), 0);
  rows.resize(static_cast<std::size_t>(out.height));
  for (std::size_t y = 0; y < rows.size(); ++y) rows[y] = out.rgba.data() + y * stride;
  png_read_image(png, rows.data());
  png_read_end(png, nullptr);
  return true;
}

inline LibpngImage decodeWithLibpng(std::span<const std::uint8_t> data) {
  LibpngImage image;
  detail::LibpngSource src{data, 0, {}};
  png_structp png = png_create_read_struct(PNG_LIBPNG_VER_STRING, &src, detail::libpngError,
                                           detail::libpngWarning);
  png_infop info = png_create_info_struct(png);
  png_set_read_fn(png, &src, detail::libpngRead);
  std::vector<png_bytep> rows;
  if (!readWithLibpng(png, info, image, rows)) {
    image.error = src.error.empty() ? "libpng error" : src.error;
    image.rgba.clear();
  }
  png_destroy_read_struct(&png, &info, nullptr);
  return image;
}

// The RGB a 24-bit bitmap shows where the image is drawn over white: each channel, first through
// gamma, then (c × a + (255 − a) × 255 + 255) >> 8.
inline std::vector<std::uint8_t> overWhite(const LibpngImage& image,
                                           const std::uint8_t* gamma = nullptr) {
  std::vector<std::uint8_t> rgb;
  rgb.reserve(image.rgba.size() / 4 * 3);
  for (std::size_t i = 0; i < image.rgba.size(); i += 4) {
    const unsigned a = image.rgba[i + 3];
    for (int c = 0; c < 3; ++c) {
      const unsigned v = gamma ? gamma[image.rgba[i + c]] : image.rgba[i + c];
      rgb.push_back(static_cast<std::uint8_t>((v * a + (255 - a) * 255 + 255) >> 8));
    }
  }
  return rgb;
}

}  // namespace vexo::test
