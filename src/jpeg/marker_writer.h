// The segments the encoder writes in front of the scan, and what one encode needs.
#pragma once
#include <array>
#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "core/bitmap.h"
#include "jpeg/huffman.h"
#include "jpeg/jpeg_ex.h"

namespace vexo::jpeg {

// Everything one run of the encoder needs, gathered by TJpegEx::Encode.
struct EncodeJob {
  const Bitmap* bitmap = nullptr;
  const std::array<TJpegEx::Component, 3>* components = nullptr;
  const std::vector<TJpegEx::QuantTable>* quantTables = nullptr;
  const jpeg::THuffmanTables* huffman = nullptr;
  bool gray = false;
  int restartInterval = 0;
  std::uint8_t densityUnit = 0;
  std::uint16_t xDensity = 0, yDensity = 0;
  const std::string* comment = nullptr;
  const DecodeLimits* limits = nullptr;
  std::function<void(int)> report;  // Running progress with the percentage
  bool lastAttempt = false;         // a missing code fails instead of asking for another try
};

// The table of the class and identifier (0x00, 0x01 DC; 0x10, 0x11 AC), or MissingCode.
const THuffmanTable& tableFor(const THuffmanTables& tables, std::uint8_t classId);

// COM (when there is a comment, cut to fit its 16-bit length), APP0 JFIF, DQT, SOF0, DHT, DRI
// (with a restart interval) and SOS, behind the SOI already in out.
void writeHeaders(const EncodeJob& job, std::vector<std::uint8_t>& out);

}  // namespace vexo::jpeg
