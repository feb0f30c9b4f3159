// The limits every reader and plug-in works within: checked before anything is allocated, so no
// input can make a reader take more memory or time than they allow.
#pragma once
#include <cstdint>

namespace vexo {

struct DecodeLimits {
  // Largest pixel buffer of one image (rows padded to 4 bytes), and the largest input file read
  // into memory. Plug-ins are given it too.
  std::uint64_t maxImageBytes = std::uint64_t{1} << 30;
  // What a reader keeps beside the pixels (PNG ancillary chunks and inflated text, GIF comments
  // and application blocks), and at most this many PNG chunks; the image limit bounds it too.
  // Past either, further blocks are still checked but dropped. Inflating text takes up to three
  // times this while it runs, which keeps a compressed-text bomb well under 64 MiB.
  std::uint64_t maxKeptBytes = std::uint64_t{8} << 20;
  std::uint32_t maxKeptChunks = 4096;
  // Exif entries held while a block is read: entries may all point at the same bytes.
  std::uint64_t maxExifHeldBytes = std::uint64_t{4} << 20;
  // A JPEG stream fails past this many corrupt-data warnings or scans (each scan makes libjpeg
  // walk the whole coefficient buffer).
  int maxJpegWarnings = 1000;
  int maxJpegScans = 500;

  static DecodeLimits& defaults();  // process-wide limits; the command line may change them
};

}  // namespace vexo
