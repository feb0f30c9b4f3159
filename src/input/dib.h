// TDibImage: the ".dib" reader, a stricter bitmap-file reader of its own (40-byte info header or
// 12-byte core header only).
#pragma once
#include "core/graphic.h"
#include "input/bmp.h"

namespace vexo {

class TDibImage : public Graphic {
 public:
  void loadFromMemory(std::span<const std::uint8_t> data) override;
  int width() const override { return bitmap_.width(); }
  int height() const override { return bitmap_.height(); }
  void draw(Bitmap& target, int x, int y) const override { drawBitmap24(bitmap_, target, x, y); }

 private:
  Bitmap bitmap_;
};

}  // namespace vexo
