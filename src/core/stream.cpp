#include "core/stream.h"

#include <algorithm>
#include <array>
#include <cstring>
#include <new>
#include <stdexcept>
#include <utility>

namespace vexo {

void Stream::readBuffer(std::span<std::uint8_t> buffer) {
  std::size_t done = 0;
  while (done < buffer.size()) {
    std::size_t n = read(buffer.subspan(done));
    if (n == 0) throw StreamReadError();
    done += n;
  }
}

void Stream::copyFrom(Stream& source, std::uint64_t count) {
  std::array<std::uint8_t, 1 << 16> chunk;
  while (count > 0) {
    std::size_t n = static_cast<std::size_t>(std::min<std::uint64_t>(count, chunk.size()));
    source.readBuffer(std::span(chunk.data(), n));
    write(std::span<const std::uint8_t>(chunk.data(), n));
    count -= n;
  }
}

MemoryStream::MemoryStream(std::vector<std::uint8_t> bytes, std::uint64_t maxSize)
    : data_(std::move(bytes)), maxSize_(std::max<std::uint64_t>(maxSize, data_.size())) {}

std::size_t MemoryStream::read(std::span<std::uint8_t> buffer) {
  if (pos_ >= data_.size()) return 0;
  std::size_t n = std::min<std::size_t>(buffer.size(), data_.size() - pos_);
  if (n > 0) std::memcpy(buffer.data(), data_.data() + pos_, n);
  pos_ += n;
  return n;
}

void MemoryStream::write(std::span<const std::uint8_t> bytes) {
  if (bytes.empty()) return;
  std::uint64_t end;
  if (__builtin_add_overflow(pos_, bytes.size(), &end) || end > maxSize_) throw StreamWriteError();
  if (end > data_.size()) setSize(end);
  std::memcpy(data_.data() + pos_, bytes.data(), bytes.size());
  pos_ = end;
}

std::int64_t MemoryStream::seek(std::int64_t offset, SeekOrigin origin) {
  std::int64_t base = origin == SeekOrigin::kBegin     ? 0
                      : origin == SeekOrigin::kCurrent ? static_cast<std::int64_t>(pos_)
                                                       : size();
  std::int64_t pos;
  if (__builtin_add_overflow(base, offset, &pos) || pos < 0) throw StreamError("Stream seek error");
  pos_ = static_cast<std::uint64_t>(pos);
  return pos;
}

std::vector<std::uint8_t> MemoryStream::takeBytes() {
  pos_ = 0;
  return std::exchange(data_, {});
}

void MemoryStream::setSize(std::uint64_t size) {
  if (size > maxSize_) throw StreamWriteError();
  try {
    data_.resize(static_cast<std::size_t>(size));
  } catch (const std::bad_alloc&) {
    throw StreamWriteError();
  } catch (const std::length_error&) {
    throw StreamWriteError();
  }
}

}  // namespace vexo
