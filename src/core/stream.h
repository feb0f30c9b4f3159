// Byte streams: a small interface with read, write, seek, position and size, and MemoryStream over
// a growable byte vector. Other streams (the file stream of src/input) implement the same
// interface, so the byte-order helpers and the Exif code work on either.
#pragma once
#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

#include "core/error.h"
#include "core/limits.h"

namespace vexo {

// Failures of a stream. A seek to a negative position raises the base class itself.
class StreamError : public Error {
 public:
  using Error::Error;
};

// A read that cannot be satisfied fully (readBuffer), or a failing read of the device.
class StreamReadError : public StreamError {
 public:
  StreamReadError() : StreamError("Stream read error") {}
};

// A write that cannot be completed.
class StreamWriteError : public StreamError {
 public:
  StreamWriteError() : StreamError("Stream write error") {}
};

enum class SeekOrigin { kBegin, kCurrent, kEnd };

class Stream {
 public:
  virtual ~Stream() = default;

  // Reads up to buffer.size() bytes at the position and advances it; returns the number read,
  // fewer only at the end of the stream (0 there).
  virtual std::size_t read(std::span<std::uint8_t> buffer) = 0;
  // Writes all bytes at the position and advances it, or throws StreamWriteError.
  virtual void write(std::span<const std::uint8_t> bytes) = 0;
  // Moves the position and returns the new one. A position before the start throws StreamError;
  // a position past the end is allowed (reads there return 0, writes extend the stream).
  virtual std::int64_t seek(std::int64_t offset, SeekOrigin origin) = 0;
  virtual std::int64_t size() = 0;

  std::int64_t position() { return seek(0, SeekOrigin::kCurrent); }
  void setPosition(std::int64_t pos) { seek(pos, SeekOrigin::kBegin); }

  // Fills the whole buffer or throws StreamReadError (the position then stands behind the bytes
  // that could be read).
  void readBuffer(std::span<std::uint8_t> buffer);
  void writeBuffer(std::span<const std::uint8_t> bytes) { write(bytes); }
  // Copies count bytes from source's position into this stream; throws StreamReadError when the
  // source ends first.
  void copyFrom(Stream& source, std::uint64_t count);

 protected:
  Stream() = default;
  Stream(const Stream&) = default;
  Stream& operator=(const Stream&) = default;
};

// A stream held in memory. Its size may not grow beyond maxSize bytes (default: the process-wide
// image memory limit), so a hostile offset cannot make it allocate without bound: a write that
// would pass the limit throws StreamWriteError.
class MemoryStream : public Stream {
 public:
  explicit MemoryStream(std::uint64_t maxSize = DecodeLimits::defaults().maxImageBytes)
      : maxSize_(maxSize) {}
  // A stream holding bytes, positioned at the start.
  explicit MemoryStream(std::vector<std::uint8_t> bytes,
                        std::uint64_t maxSize = DecodeLimits::defaults().maxImageBytes);

  std::size_t read(std::span<std::uint8_t> buffer) override;
  void write(std::span<const std::uint8_t> bytes) override;
  std::int64_t seek(std::int64_t offset, SeekOrigin origin) override;
  std::int64_t size() override { return static_cast<std::int64_t>(data_.size()); }

  const std::vector<std::uint8_t>& bytes() const { return data_; }
  // Moves the bytes out; the stream is left empty at position 0.
  std::vector<std::uint8_t> takeBytes();
  // Changes the size (new bytes are 0); the position is kept, even past the new end.
  void setSize(std::uint64_t size);
  void clear() {
    data_.clear();
    pos_ = 0;
  }

 private:
  std::vector<std::uint8_t> data_;
  std::uint64_t pos_ = 0;
  std::uint64_t maxSize_;
};

}  // namespace vexo
