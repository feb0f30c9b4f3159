// The Huffman code tables of one encode, and the portable coding loop.
#include "jpeg/entropy_encode.h"

namespace vexo::jpeg {
namespace {

void setCode(CodeTable& t, int symbol, const jpeg::THuffmanTable::Leaf* leaf) {
  if (!leaf || leaf->length == 0 || leaf->length > 16) return;
  const auto code = static_cast<std::uint32_t>(leaf->code >> (16 - leaf->length));
  t.entry[static_cast<std::size_t>(symbol)] = code << 8 | leaf->length;
}

}  // namespace

CodeTable makeCodeTable(const jpeg::THuffmanTable& table, bool ac) {
  CodeTable t;
  if (!ac) {
    for (int size = 0; size < 16; ++size) setCode(t, size, table.Find(0, size));
    return t;
  }
  for (int run = 0; run < 16; ++run)
    for (int size = 1; size < 16; ++size) setCode(t, run * 16 + size, table.Find(run, size));
  setCode(t, 0x00, table.endOfBlock());
  setCode(t, 0xF0, table.zrl());
  return t;
}

void CodeMcuRowPortable(Scan& scan) {
  codeMcuRow<kPortable>(scan);
}

}  // namespace vexo::jpeg
