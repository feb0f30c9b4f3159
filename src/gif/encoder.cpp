// Image data framing: the minimum code size byte, the codes of the chosen encoder in sub-blocks,
// and the block terminator.
#include <algorithm>

#include "gif/encoder.h"

namespace vexo::gif {

TGIFWriter::~TGIFWriter() {
  try {
    Finish();
  } catch (...) {  // out of memory while unwinding: the frame is lost anyway
  }
}

void TGIFWriter::WriteBlock() {
  out_.push_back(static_cast<std::uint8_t>(size_));
  out_.insert(out_.end(), block_.begin(), block_.begin() + size_);
  size_ = 0;
}

void WriteImageData(std::span<const std::uint8_t> pixels, int bitSize, int colorCount,
                    int compression, std::vector<std::uint8_t>& out, std::vector<GifCode>* trace) {
  if (bitSize < 0 || bitSize > 8) throw GIFException("Invalid Bits Per Pixel value");
  const int minCodeSize = std::max(bitSize, 2);
  // An index must be in the table, and below the clear code to be a pixel code at all.
  const int limit = std::min(colorCount, 1 << minCodeSize);
  std::uint8_t largest = 0;
  for (const std::uint8_t p : pixels) largest = std::max(largest, p);
  if (!pixels.empty() && largest >= limit) throw GIFException("Color not in color table");

  out.push_back(static_cast<std::uint8_t>(minCodeSize));
  {
    TGIFWriter writer(out);
    if (compression == kGifRLE)
      TRLEEncoder(minCodeSize, writer, trace).Encode(pixels);
    else
      TLZWEncoder(minCodeSize, writer, trace).Encode(pixels);
  }
  out.push_back(0);
}

}  // namespace vexo::gif
