#include "input/images.h"

#include "gif/gif.h"
#include "imaging/icon.h"
#include "imaging/metafile.h"
#include "input/bmp.h"
#include "input/dib.h"
#include "input/jpeg_reader.h"
#include "png/png.h"

namespace vexo {

namespace {

template <class T>
GraphicFactory factoryOf() {
  return [] { return std::make_unique<T>(); };
}

}  // namespace

void TImages::Add(std::string_view extension, GraphicFactory factory) {
  entries_.push_back({std::string(extension.substr(0, 10)), std::move(factory)});
}

bool equalsNoCase(std::string_view a, std::string_view b) {
  if (a.size() != b.size()) return false;
  for (std::size_t i = 0; i < a.size(); ++i) {
    auto fold = [](char c) { return c >= 'A' && c <= 'Z' ? static_cast<char>(c + 32) : c; };
    if (fold(a[i]) != fold(b[i])) return false;
  }
  return true;
}

int TImages::IndexOf(std::string_view extension) const {
  for (std::size_t i = 0; i < entries_.size(); ++i)
    if (equalsNoCase(entries_[i].extension, extension)) return static_cast<int>(i);
  return -1;
}

void TImages::Reset() {
  Clear();
  Add(".jpg", factoryOf<JpegFileImage>());
  Add(".jpeg", factoryOf<JpegFileImage>());
  Add(".jpe", factoryOf<JpegFileImage>());
  Add(".bmp", factoryOf<BmpImage>());
  Add(".dib", factoryOf<TDibImage>());
  Add(".png", factoryOf<TPNGObject>());
  Add(".gif", factoryOf<TGIFImage>());
  Add(".wmf", factoryOf<TMetafileEx>());
  Add(".emf", factoryOf<TMetafileEx>());
  Add(".ico", factoryOf<TRkIcon>());
}

std::string ExtractFileExt(std::string_view path) {
  const auto slash = path.rfind('/');
  const auto name = slash == std::string_view::npos ? path : path.substr(slash + 1);
  const auto dot = name.rfind('.');
  return dot == std::string_view::npos ? std::string() : std::string(name.substr(dot));
}

Bitmap LoadWorkingBitmap(const GraphicFactory& factory, const std::string& path,
                         std::function<void(std::string_view)> onWarning) {
  auto graphic = factory();
  graphic->OnWarning = std::move(onWarning);
  graphic->loadFromFile(path);
  if (auto bitmap = graphic->releaseBitmap24()) return std::move(*bitmap);
  // A picture without pixels (a GIF screen without a frame) fails in its own words before a
  // bitmap of the size it states is allocated.
  if (graphic->empty()) {
    Bitmap none;
    graphic->draw(none, 0, 0);
  }
  Bitmap working(graphic->width(), graphic->height(), 24, graphic->limits());
  graphic->draw(working, 0, 0);
  return working;
}

}  // namespace vexo
