// Bounds-checked reading of byte spans. Every read past the end throws ByteReader::Overrun, so a
// reader can never step outside its data; callers turn that into their own unit's error.
#pragma once
#include <cstddef>
#include <cstdint>
#include <span>

#include "core/error.h"

namespace vexo {

class ByteReader {
 public:
  class Overrun : public Error {
   public:
    Overrun() : Error("unexpected end of data") {}
  };

  explicit ByteReader(std::span<const std::uint8_t> data) : data_(data) {}

  std::size_t size() const { return data_.size(); }
  std::size_t pos() const { return pos_; }
  std::size_t remaining() const { return data_.size() - pos_; }
  bool atEnd() const { return pos_ >= data_.size(); }
  std::span<const std::uint8_t> data() const { return data_; }

  void seek(std::size_t pos) {
    if (pos > data_.size()) throw Overrun();
    pos_ = pos;
  }
  void skip(std::size_t n) {
    need(n);
    pos_ += n;
  }
  std::uint8_t u8() {
    need(1);
    return data_[pos_++];
  }
  std::uint16_t u16le() {
    need(2);
    auto v = static_cast<std::uint16_t>(data_[pos_] | data_[pos_ + 1] << 8);
    pos_ += 2;
    return v;
  }
  std::uint16_t u16be() {
    need(2);
    auto v = static_cast<std::uint16_t>(data_[pos_] << 8 | data_[pos_ + 1]);
    pos_ += 2;
    return v;
  }
  std::uint32_t u32le() {
    need(4);
    auto v = std::uint32_t{data_[pos_]} | std::uint32_t{data_[pos_ + 1]} << 8 |
             std::uint32_t{data_[pos_ + 2]} << 16 | std::uint32_t{data_[pos_ + 3]} << 24;
    pos_ += 4;
    return v;
  }
  std::uint32_t u32be() {
    need(4);
    auto v = std::uint32_t{data_[pos_]} << 24 | std::uint32_t{data_[pos_ + 1]} << 16 |
             std::uint32_t{data_[pos_ + 2]} << 8 | std::uint32_t{data_[pos_ + 3]};
    pos_ += 4;
    return v;
  }
  std::int32_t i32le() { return static_cast<std::int32_t>(u32le()); }
  std::span<const std::uint8_t> bytes(std::size_t n) {
    need(n);
    auto s = data_.subspan(pos_, n);
    pos_ += n;
    return s;
  }
  // A reader limited to the next n bytes (a chunk, a segment, a record); this one skips them.
  ByteReader sub(std::size_t n) { return ByteReader(bytes(n)); }

 private:
  void need(std::size_t n) const {
    if (n > data_.size() - pos_) throw Overrun();
  }

  std::span<const std::uint8_t> data_;
  std::size_t pos_ = 0;
};

}  // namespace vexo
