// Feeds arbitrary bytes to the Exif reader as a JPEG head. Every input must end in the read
// collections or an EExifError; what was read must write a block that reads back to the same
// entries (offsets aside).
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <span>
#include <vector>

#include "exif/exif.h"

namespace {

bool isOffset(const vexo::TEntryItem& e) {
  using vexo::ExifDirectory;
  return (e.kind == ExifDirectory::kImage &&
          (e.tag == vexo::kTagExifPointer || e.tag == vexo::kTagGpsPointer ||
           e.tag == vexo::kTagThumbnailOffset)) ||
         (e.kind == ExifDirectory::kExif && e.tag == vexo::kTagInteropPointer);
}

std::vector<const vexo::TEntryItem*> carried(const vexo::TEntryItems& items) {
  std::vector<const vexo::TEntryItem*> out;
  for (const auto& e : items)
    if (!isOffset(e)) out.push_back(&e);
  return out;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  vexo::TExifInfo info;
  try {
    info.readFrom(std::span<const std::uint8_t>(data, size));
  } catch (const vexo::EExifError&) {
    return 0;
  }
  static constexpr std::uint8_t kJpeg[] = {0xFF, 0xD8, 0xFF, 0xD9};
  const std::vector<std::uint8_t> out = info.WriteInto(kJpeg, false);
  if (out.size() == sizeof kJpeg) return 0;  // nothing carried, or too large for one segment
  vexo::TExifInfo back;
  back.readFrom(out);  // must not fail
  const auto a = carried(info.Main()), b = carried(back.Main());
  if (a.size() != b.size()) std::abort();
  for (std::size_t i = 0; i < a.size(); ++i)
    if (a[i]->tag != b[i]->tag || a[i]->type != b[i]->type || a[i]->kind != b[i]->kind ||
        a[i]->data != b[i]->data)
      std::abort();
  return 0;
}
