// Internals shared by the Exif reader and writer: the search for the Exif APP1 segment.
#pragma once
#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

#include "exif/exif.h"

namespace vexo::exif {

// The start of an Exif APP1's payload.
inline constexpr std::uint8_t kExifId[6] = {'E', 'x', 'i', 'f', 0, 0};

// Where the Exif block lies among the header segments of a JPEG: the first APP1 that starts
// with "Exif\0\0", and the APP1 segments with the same start that directly follow it, which
// some writers use to continue a block that does not fit in one.
struct SegmentSearch {
  enum Result {
    kFound,  // found; complete when every segment and the marker behind them lie in the data
    kNone,   // not a JPEG, or no such segment before the first scan (or EOI, or damage)
    kMore,   // the data end inside the header segments before one was found
  };
  struct Piece {
    std::size_t position;  // of the FF of the FF E1 marker
    std::size_t length;    // the segment's length field (2 + payload)
  };
  Result result = kNone;
  bool complete = false;
  std::vector<Piece> segments;
};

// Walks the header segments from SOI: markers (with fill bytes), their lengths, and the
// markers without a length (RSTn, TEM), up to SOS or EOI.
SegmentSearch FindExifSegment(std::span<const std::uint8_t> data);

// The TIFF structure of a found block: the payloads behind "Exif\0\0" joined, cut at the data's
// end.
std::vector<std::uint8_t> TiffData(std::span<const std::uint8_t> data, const SegmentSearch& found);

}  // namespace vexo::exif
