// TGIFImage: a GIF file held as its header, its frames and their extensions. It reads every
// frame of a GIF file and gives the first one as the image; assigned a bitmap, it reduces it to
// a palette (reduce.h) and writes a single-frame GIF with LZW or RLE image data.
#pragma once
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <variant>
#include <vector>

#include "core/bitmap.h"
#include "core/graphic.h"
#include "gif/reduce.h"

namespace vexo {

// A colour table: up to 256 entries (red, green, blue; flags unused) and the sorted mark.
struct TGIFColorMap {
  Palette entries;
  bool sorted = false;

  int Count() const { return static_cast<int>(entries.size()); }
  // The smallest b >= 1 with 2^b >= Count(); 0 for an empty table.
  int BitSize() const;
  bool operator==(const TGIFColorMap&) const = default;
};
using TGIFGlobalColorMap = TGIFColorMap;
using TGIFLocalColorMap = TGIFColorMap;

// The extensions, as values in the order the file has them.
struct TGIFGraphicControlExtension {
  std::uint8_t packed = 0;  // bit 0: transparent colour flag
  std::uint16_t delay = 0;
  std::uint8_t transparentIndex = 0;
  bool Transparent() const { return packed & 1; }
};
struct TGIFCommentExtension {
  std::string text;
};
// A plain text extension, kept as its sub-blocks.
struct TGIFTextExtension {
  std::vector<std::vector<std::uint8_t>> blocks;
};
// "NETSCAPE2.0" and "ANIMEXTS1.0": the loop count and an optional buffer size.
struct TGIFAppExtNSLoop {
  std::string identifier;  // the 11 bytes of the first sub-block
  std::uint16_t loops = 0;
  std::optional<std::uint32_t> bufferSize;
};
// Any other application extension: its identifier and the sub-blocks after it.
struct TGIFUnknownAppExtension {
  std::string identifier;
  std::vector<std::vector<std::uint8_t>> blocks;
};
using TGIFExtension = std::variant<TGIFGraphicControlExtension, TGIFCommentExtension,
                                   TGIFTextExtension, TGIFAppExtNSLoop, TGIFUnknownAppExtension>;

struct TGIFImageDescriptor {
  std::uint16_t left = 0, top = 0, width = 0, height = 0;
  std::uint8_t packed = 0;  // bit 7 local table, bit 6 interlaced, bit 5 sorted, bits 2-0 size
};

// One frame: its descriptor, local table (empty when it uses the global one), extensions and
// pixels, one colour index a pixel, rows top to bottom.
struct TGIFSubImage {
  TGIFImageDescriptor descriptor;
  TGIFLocalColorMap colorMap;
  std::vector<TGIFExtension> extensions;
  std::vector<std::uint8_t> pixels;

  int width() const { return descriptor.width; }
  int height() const { return descriptor.height; }
  bool Interlaced() const { return descriptor.packed & 0x40; }
  // The frame's graphic control extension (the last one when there are several), or null.
  const TGIFGraphicControlExtension* GraphicControl() const;
  bool Transparent() const;
  int TransparentIndex() const;  // -1 when not transparent
};

// The logical screen descriptor and the global table.
struct TGIFHeader {
  std::uint16_t width = 0, height = 0;
  std::uint8_t packed = 0, background = 0, aspect = 0;
  TGIFGlobalColorMap colorMap;
};

// The GIF writer's image data compressions.
enum GifCompressionMode : int { kGifLZW = 0, kGifRLE = 1 };

class TGIFImage : public Graphic {
 public:
  // Writer parameters.
  int PaletteMethod = kReduceNetscape;
  int DitherMethod = kDitherNearest;
  int GifCompression = kGifLZW;
  int OptimisedBits() const { return optimisedBits_; }
  void setOptimisedBits(int bits);  // outside 3..8: "Invalid Bits Per Pixel value"

  TGIFHeader Header;
  std::vector<TGIFSubImage> Images;

  void Clear();

  // Reads every frame; warnings go to OnWarning and reading goes on.
  void loadFromMemory(std::span<const std::uint8_t> data) override;
  std::vector<std::uint8_t> saveToMemory() const override;

  int width() const override { return Header.width; }
  int height() const override { return Header.height; }
  bool empty() const override { return Images.empty() || Header.width == 0 || Header.height == 0; }
  // Draws the first frame at its place on the screen; its transparent pixels leave the target.
  // Without a frame holding pixels: "Image is empty".
  void draw(Bitmap& target, int x, int y) const override;
  // The first frame in 24 bits when it is opaque and covers the screen.
  std::optional<Bitmap> releaseBitmap24() override;

  // Replaces the frames by one made from the bitmap: reduced to a palette unless it has 1, 4 or
  // 8 bits a pixel, with the transparent colour's pixels marked when the bitmap is transparent.
  void assign(const Bitmap& bitmap) override;

  // The first frame as an 8-bit bitmap with its colour table as palette (marked transparent with
  // the colour of its transparent index), placed on a bitmap of the screen's size when it does
  // not cover the screen.
  Bitmap ToBitmap() const;

  // "87a" or "89a", the highest version its frames need; "Unsupported GIF version" without
  // frames.
  std::string Version() const;

 private:
  int optimisedBits_ = 8;
};

}  // namespace vexo
