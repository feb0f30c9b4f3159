// Marker codes that the header walk and the stream copy of TJpegEx tell apart.
#pragma once

namespace vexo::jpeg {

// Markers without a length: TEM and the restart markers.
inline bool IsStandaloneMarker(int marker) {
  return marker == 0x01 || (marker >= 0xD0 && marker <= 0xD7);
}

// Frames of the coding processes this codec does not decode: extended and lossless Huffman, the
// differential ones and every arithmetic-coded one (C4 DHT, C8 JPG and CC DAC are not frames).
inline bool IsOtherFrameMarker(int marker) {
  return marker >= 0xC1 && marker <= 0xCF && marker != 0xC2 && marker != 0xC4 && marker != 0xC8 &&
         marker != 0xCC;
}

}  // namespace vexo::jpeg
