// The common interface of every image class the format table can construct.
#pragma once
#include <cstdint>
#include <functional>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "core/bitmap.h"
#include "core/limits.h"

namespace vexo {

class Graphic {
 public:
  virtual ~Graphic() = default;

  // Reads the whole file (refusing one larger than the limit) and calls loadFromMemory.
  virtual void loadFromFile(const std::string& path);
  virtual void loadFromMemory(std::span<const std::uint8_t> data) = 0;

  // Writes saveToMemory() through an atomic file: complete or not at all.
  virtual void saveToFile(const std::string& path) const;
  virtual std::vector<std::uint8_t> saveToMemory() const;  // default: throws, reader only

  virtual int width() const = 0;
  virtual int height() const = 0;
  virtual bool empty() const { return width() == 0 || height() == 0; }

  // Draws the image at (x, y) at its own size onto a 24-bit target; transparent parts leave the
  // target as it is.
  virtual void draw(Bitmap& target, int x, int y) const = 0;

  virtual void assign(const Bitmap& bitmap);  // default: throws, not a writer

  // Hands over the image when it is an opaque 24-bit bitmap of the graphic's own size, which is
  // what drawing it onto a new white bitmap would give, without the copy. The graphic is left
  // empty. Graphics with transparent parts return nothing and are drawn instead.
  virtual std::optional<Bitmap> releaseBitmap24() { return std::nullopt; }

  // Receives what a reader could not read but went on without (damaged or truncated data).
  std::function<void(std::string_view)> OnWarning;

  void setLimits(const DecodeLimits& limits) { limits_ = limits; }
  const DecodeLimits& limits() const { return limits_; }

 private:
  DecodeLimits limits_ = DecodeLimits::defaults();
};

// Copies a 24-bit source onto a 24-bit target at (x, y), clipped to the target.
void drawBitmap24(const Bitmap& source, Bitmap& target, int x, int y);

}  // namespace vexo
