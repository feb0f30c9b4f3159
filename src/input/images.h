// The format table: file-name extension to the Graphic class that reads it.
#pragma once
#include <functional>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "core/graphic.h"

namespace vexo {

using GraphicFactory = std::function<std::unique_ptr<Graphic>()>;

class TImages {
 public:
  TImages() { Reset(); }

  // Appends an entry; the extension keeps its leading dot and at most 10 characters.
  void Add(std::string_view extension, GraphicFactory factory);
  void Clear() { entries_.clear(); }
  // Index of the first entry whose extension equals the given one (ASCII case ignored), or -1.
  int IndexOf(std::string_view extension) const;
  const GraphicFactory& ClassAt(int index) const {
    return entries_.at(static_cast<std::size_t>(index)).factory;
  }
  const std::string& ExtensionAt(int index) const {
    return entries_.at(static_cast<std::size_t>(index)).extension;
  }
  int Count() const { return static_cast<int>(entries_.size()); }
  // Clear, then add the built-in entries.
  void Reset();

 private:
  struct Entry {
    std::string extension;
    GraphicFactory factory;
  };
  std::vector<Entry> entries_;
};

// Whether two texts are equal with ASCII letters' case ignored.
bool equalsNoCase(std::string_view a, std::string_view b);

// The text from the last "." of the file name on, dot included; empty when the name has none.
std::string ExtractFileExt(std::string_view path);

// Loads a file through the graphic class and returns the 24-bit working bitmap: the image's
// size, white where the image draws nothing. onWarning receives what the reader read past.
Bitmap LoadWorkingBitmap(const GraphicFactory& factory, const std::string& path,
                         std::function<void(std::string_view)> onWarning = {});

}  // namespace vexo
