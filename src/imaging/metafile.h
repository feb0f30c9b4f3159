// Windows metafiles (".wmf") and enhanced metafiles (".emf"): a writer that wraps a bitmap in a
// file holding one bitmap drawing, and a player that draws a metafile onto a 24-bit bitmap.
//
// Both forms use a reference device of 1920 × 1440 pixels on 508 × 381 mm (96 dpi). An EMF of a
// w × h bitmap has the frame (0, 0, round(w × 2540 / 96), round(h × 2540 / 96)) in 0.01 mm and one
// EMR_STRETCHDIBITS record with a 24-bit DIB; a WMF has the placeable header with the box
// (0, 0, w, h) at 96 units per inch, META_HEADER, the anisotropic mapping mode, the window and one
// META_STRETCHDIB record. The player sizes its bitmap as round(frame × 96 / 2540) for an EMF and
// from the box and units per inch for a WMF, so every size round-trips exactly.
//
// The player draws the bitmap records in full (stretch-DIB, bit-blit, stretch-blit, set-DIB-bits)
// and the common vector records (mapping mode, window and viewport, pens, brushes, object
// selection and deletion, move-to and line-to, polylines, polygons, rectangles, ellipses, save
// and restore) without anti-aliasing; other records are passed over.
#pragma once
#include <cstdint>
#include <functional>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "core/bitmap.h"
#include "core/error.h"
#include "core/graphic.h"

namespace vexo {

class MetafileError : public Error {
 public:
  using Error::Error;
};

namespace metafile {
// Plays an EMF or a placeable WMF onto a new white 24-bit bitmap of the picture's size; sets
// enhanced to the form found. Throws MetafileError when the data is neither form or its size is
// impossible; damaged records after the header are reported through warn and passed over.
Bitmap play(std::span<const std::uint8_t> data, const DecodeLimits& limits,
            const std::function<void(std::string_view)>& warn, bool& enhanced);
// The picture size play gives, from the header alone (the first 88 bytes of an EMF, 16 of a
// placeable WMF); nothing for other data. Either side may come out below 1.
std::optional<std::pair<std::int64_t, std::int64_t>> pictureSize(
    std::span<const std::uint8_t> head);
}  // namespace metafile

class TMetafileEx : public Graphic {
 public:
  // True: saved as an enhanced metafile (EMF); false: as a placeable Windows metafile (WMF).
  // Loading sets it to the form that was read.
  bool Enhanced = true;

  // Recognises an EMF by its header and a WMF by the placeable key and checksum; plays the
  // records onto a white 24-bit bitmap of the picture's size.
  void loadFromMemory(std::span<const std::uint8_t> data) override;
  // The current picture as EMF or WMF, as Enhanced says.
  std::vector<std::uint8_t> saveToMemory() const override;
  // A path ending in ".wmf" (any case) is always written as WMF; any other as Enhanced says.
  void saveToFile(const std::string& path) const override;

  int width() const override { return picture_.width(); }
  int height() const override { return picture_.height(); }
  void draw(Bitmap& target, int x, int y) const override;
  // Takes the bitmap (any depth, unpacked to 24 bits) as the picture to write.
  void assign(const Bitmap& bitmap) override;
  void assign(Bitmap&& bitmap);  // takes over a 24-bit bitmap without a copy
  std::optional<Bitmap> releaseBitmap24() override;

  // The played or assigned picture, 24 bits; empty before anything was loaded or assigned.
  const Bitmap& picture() const { return picture_; }

  static std::vector<std::uint8_t> encodeEmf(const Bitmap& bitmap24);
  static std::vector<std::uint8_t> encodeWmf(const Bitmap& bitmap24);

 private:
  Bitmap picture_;
};

}  // namespace vexo
