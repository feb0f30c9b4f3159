// Windows icon files (.ico): TRkIcon writes one image scaled, centred, masked and reduced from a
// bitmap, and reads icon files whose images are device-independent bitmaps or PNG files.
#pragma once
#include <cstdint>
#include <memory>
#include <span>
#include <string>
#include <vector>

#include "core/bitmap.h"
#include "core/error.h"
#include "core/graphic.h"

namespace vexo {

class TPNGObject;

// The graphic units' exception: message "ID:<identifier> <text>".
//   0 Graphic Error, 1 Indistinct error, 2 Uncorresponding format, 3 Invalid format,
//   4 Image is empty., 5 Failed Creating Handle., 6 Failed Creating Image.
class ERkGraphic : public Error {
 public:
  explicit ERkGraphic(int id);
  int id() const { return id_; }
  static std::string Text(int id);

 private:
  int id_;
};

// One image of an icon file: its 16-byte directory entry followed by the image resource (the
// info header, palette, colour bits and mask bits, or a complete PNG file).
class TRkIconImage {
 public:
  // Bytes of the entry and resource, as read or built; the entry's offset field is rewritten
  // on saving.
  const std::vector<std::uint8_t>& Data() const { return data_; }
  int Width() const { return width_; }
  int Height() const { return height_; }
  int ColorCount() const { return colorCount_; }
  int BitCount() const { return bitCount_; }
  bool IsPng() const { return png_ != nullptr; }
  bool Empty() const { return width_ == 0 || height_ == 0; }
  std::span<const std::uint8_t> Resource() const {
    return std::span(data_).subspan(data_.size() < 16 ? data_.size() : 16);
  }

  // Draws the image at its own size at (x, y) onto a 24-bit target: pixels whose mask bit is 1
  // (or whose alpha is 0) leave the target, alpha in between is blended.
  void Draw(Bitmap& target, int x, int y,
            const DecodeLimits& limits = DecodeLimits::defaults()) const;

  // An image read from a file: entry is the 16 directory bytes, resource the image's bytes.
  static TRkIconImage FromFile(std::span<const std::uint8_t> entry,
                               std::span<const std::uint8_t> file, const DecodeLimits& limits);
  // An image built from entry and resource bytes that the writer assembled.
  static TRkIconImage FromParts(std::vector<std::uint8_t> data, int width, int height,
                                int colorCount, int bitCount);

 private:
  std::vector<std::uint8_t> data_;
  int width_ = 0, height_ = 0, colorCount_ = 0, bitCount_ = 0;
  std::shared_ptr<const TPNGObject> png_;  // decoded PNG-form image, shared by copies
};

class TRkIcon : public Graphic {
 public:
  static constexpr int kLargeIconSize = 32;
  static constexpr int kSmallIconSize = 16;

  TRkIcon();

  // Icon size, default 32 × 32; values outside 1..65534 are ignored. Set before assign.
  int Width() const { return width_; }
  int Height() const { return height_; }
  void SetWidth(int value);
  void SetHeight(int value);
  // Bits per pixel of the images built by assign (default 4); 0 stores 1, above 32 stores 32.
  // Written as 1 → 1, 2–4 → 4, 5–8 → 8, 9–16 → 16 (5-5-5), 32 → 32, others → 24.
  int BitCount() const { return bitCount_; }
  void SetBitCount(int value);
  // 0: reduce each axis to fit, never enlarge; 1: scale each axis to fit exactly; 2: keep the
  // aspect ratio, reduce only.
  int StretchMode() const { return stretchMode_; }
  void SetStretchMode(int value) { stretchMode_ = value; }

  const std::vector<TRkIconImage>& Images() const { return images_; }
  void Clear() { images_.clear(); }
  // Replaces the list by one image built from the bitmap at the current size, bit count and
  // stretch mode, honouring bitmap.transparent / transparentColor. ERkGraphic 4 when empty.
  void assign(const Bitmap& bitmap) override;
  void Assign(const TRkIcon& other);
  // Another icon: its images copied; any other graphic: drawn onto a new 24-bit bitmap of its
  // size, then assigned as a bitmap.
  void AssignGraphic(const Graphic& graphic);
  // Builds the image without touching the list.
  TRkIconImage MakeImage(const Bitmap& bitmap) const;

  void loadFromMemory(std::span<const std::uint8_t> data) override;
  // ERkGraphic 4 when there is no image.
  std::vector<std::uint8_t> saveToMemory() const override;
  int width() const override { return width_; }
  int height() const override { return height_; }
  bool empty() const override;
  bool Transparent() const { return true; }
  // Draws the image closest to the icon size (then to 24 bits) at its own size.
  void draw(Bitmap& target, int x, int y) const override;
  // The image draw uses, or -1 when the list is empty.
  int BestImage(int width, int height, int deviceBits) const;

 private:
  std::vector<TRkIconImage> images_;
  int width_ = kLargeIconSize, height_ = kLargeIconSize;
  int bitCount_ = 4;
  int stretchMode_ = 0;
};

// Box-average reduction: each destination pixel averages the source pixels its footprint
// covers (widened by one pixel at the end), weighted by coverage, rounded ties to even. The
// result has the source's depth (24 bits internally, converted back).
void ResampleBitmap(const Bitmap& source, Bitmap& destination, int w, int h);

}  // namespace vexo
