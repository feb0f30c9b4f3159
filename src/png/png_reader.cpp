// Reading: the chunk walk with CRC checks, the header and its pixel store, palette,
// transparency, gamma and text chunks, and the image data inflated as one stream across the
// IDAT chunks, unfiltered and scattered into the store row by row.
#include <zlib.h>

#include <algorithm>
#include <cstring>

#include "core/byte_reader.h"
#include "png/png_internal.h"

namespace vexo {

namespace {

constexpr std::uint8_t kSignature[8] = {0x89, 0x50, 0x4E, 0x47, 0x0D, 0x0A, 0x1A, 0x0A};

std::uint32_t u32be(const std::uint8_t* p) {
  return std::uint32_t{p[0]} << 24 | std::uint32_t{p[1]} << 16 | std::uint32_t{p[2]} << 8 | p[3];
}

// Sample i of a packed row of 1, 2 or 4 bits.
inline unsigned sampleAt(const std::uint8_t* row, int depth, std::uint32_t i) {
  const unsigned perByte = 8u / unsigned(depth);
  return row[i / perByte] >> (8 - unsigned(depth) * (i % perByte + 1)) & ((1u << depth) - 1);
}

// Sets pixel x of a packed store row of 1, 4 or 8 bits.
inline void setIndex(std::uint8_t* row, int bits, std::uint32_t x, unsigned v) {
  if (bits == 8) {
    row[x] = static_cast<std::uint8_t>(v);
  } else if (bits == 4) {
    const unsigned shift = x & 1 ? 0 : 4;
    row[x >> 1] = static_cast<std::uint8_t>((row[x >> 1] & ~(15u << shift)) | v << shift);
  } else {
    const unsigned shift = 7 - (x & 7);
    row[x >> 3] = static_cast<std::uint8_t>((row[x >> 3] & ~(1u << shift)) | v << shift);
  }
}

class Inflater {
 public:
  Inflater() {
    if (::inflateInit(&z) != Z_OK) throw EPNGZLIBError(ZlibStatusText(Z_MEM_ERROR));
  }
  ~Inflater() { ::inflateEnd(&z); }
  Inflater(const Inflater&) = delete;
  Inflater& operator=(const Inflater&) = delete;
  z_stream z{};
};

}  // namespace

class PngReader {
 public:
  PngReader(TPNGObject& image, std::span<const std::uint8_t> data)
      : image_(image),
        data_(data),
        keptLimit_(static_cast<std::size_t>(
            std::min(image.limits().maxKeptBytes, image.limits().maxImageBytes))),
        keptChunksLimit_(image.limits().maxKeptChunks) {}

  void Read() {
    image_.Clear();
    if (data_.size() < 8 || !std::equal(kSignature, kSignature + 8, data_.begin()))
      throw EPNGInvalidFileHeader();
    std::size_t pos = 8;
    bool first = true;
    for (;;) {
      Chunk c = peek(pos);
      if (first && c.type != "IHDR") throw EPNGIHDRNotFirst();
      first = false;
      if (c.type == "IDAT" && !decoded_) {
        pos = readImageData(c);
        decoded_ = true;
        image_.chunks_.Append(std::make_unique<TChunkIDAT>());
        continue;
      }
      const bool known = c.type == "IHDR" || c.type == "PLTE" || c.type == "IDAT" ||
                         c.type == "IEND" || c.type == "gAMA" || c.type == "tRNS" ||
                         c.type == "pHYs" || c.type == "tIME" || c.type == "tEXt" ||
                         c.type == "zTXt" || c.type == "cHRM";
      if (!known && !(c.type[0] & 0x20)) throw EPNGUnknownCriticalChunk();
      const auto body = bodyOf(c);
      checkCrc(c, body);
      pos = c.end;
      if (c.type == "IEND") {
        image_.chunks_.Append(std::make_unique<TChunkIEND>());
        break;
      }
      dispatch(c.type, body);
    }
    if (!decoded_) throw EPNGNoImageData();
  }

 private:
  struct Chunk {
    std::size_t start = 0;  // of the length field
    std::uint32_t length = 0;
    std::string_view type;
    std::size_t end = 0;  // behind the CRC
  };

  // The length and type of the chunk at pos.
  Chunk peek(std::size_t pos) const {
    if (data_.size() - pos < 8) throw EPngUnexpectedEnd();
    Chunk c;
    c.start = pos;
    c.length = u32be(&data_[pos]);
    c.type = {reinterpret_cast<const char*>(&data_[pos + 4]), 4};
    return c;
  }

  // The data of a chunk, which must lie wholly inside the file with its CRC.
  std::span<const std::uint8_t> bodyOf(Chunk& c) const {
    if (data_.size() - c.start - 8 < std::uint64_t{c.length} + 4) throw EPngUnexpectedEnd();
    c.end = c.start + 12 + c.length;
    return data_.subspan(c.start + 8, c.length);
  }

  void checkCrc(const Chunk& c, std::span<const std::uint8_t> body) const {
#ifndef VEXO_FUZZING
    const std::uint32_t stored = u32be(&data_[c.start + 8 + c.length]);
    if (PngCrc(body, PngCrc(data_.subspan(c.start + 4, 4))) != stored) throw EPngInvalidCRC();
#else
    (void)c;
    (void)body;
#endif
  }

  void dispatch(std::string_view type, std::span<const std::uint8_t> body) {
    if (type == "IHDR") return readHeader(body);
    if (type == "PLTE") return readPalette(body);
    if (type == "tRNS") return readTransparency(body);
    if (type == "cHRM" || type == "IDAT") return;  // dropped; a later IDAT group is skipped
    if (!keep(body.size())) return;
    std::unique_ptr<TChunk> chunk;
    if (type == "gAMA") {
      auto g = std::make_unique<TChunkgAMA>();
      if (body.size() == 4) {
        g->Gamma = ByteReader(body).u32be();
        image_.setGamma(g->Gamma);
      }
      chunk = std::move(g);
    } else if (type == "pHYs") {
      auto p = std::make_unique<TChunkpHYs>();
      if (body.size() == 9) {
        ByteReader r(body);
        p->PPUnitX = r.u32be();
        p->PPUnitY = r.u32be();
        p->UnitType = r.u8();
      }
      chunk = std::move(p);
    } else if (type == "tIME") {
      auto t = std::make_unique<TChunktIME>();
      if (body.size() == 7) {
        ByteReader r(body);
        t->Year = r.u16be();
        t->Month = r.u8();
        t->Day = r.u8();
        t->Hour = r.u8();
        t->Minute = r.u8();
        t->Second = r.u8();
      }
      chunk = std::move(t);
    } else if (type == "tEXt" || type == "zTXt") {
      chunk = readText(type, body);
    } else {
      chunk = std::make_unique<TChunk>(type);
    }
    chunk->data.assign(body.begin(), body.end());
    image_.chunks_.Append(std::move(chunk));
  }

  bool keep(std::size_t bytes) {
    if (keptChunks_ >= keptChunksLimit_ || bytes > keptLimit_ - kept_) return false;
    kept_ += bytes;
    ++keptChunks_;
    return true;
  }

  std::unique_ptr<TChunk> readText(std::string_view type, std::span<const std::uint8_t> body) {
    const bool compressed = type == "zTXt";
    std::unique_ptr<TChunktEXt> text;
    if (compressed)
      text = std::make_unique<TChunkzTXt>();
    else
      text = std::make_unique<TChunktEXt>();
    if (body.size() <= (compressed ? 3u : 2u)) return text;
    const auto zero = std::find(body.begin(), body.end(), 0);
    text->Keyword.assign(body.begin(), zero);
    if (zero == body.end()) return text;
    const auto rest = body.subspan(static_cast<std::size_t>(zero - body.begin()) + 1);
    if (!compressed) {
      text->Text.assign(rest.begin(), rest.end());
    } else if (rest.size() > 1) {  // the method byte, whatever it says, then the zlib stream
      if (auto inflated = png::Inflate(rest.subspan(1), keptLimit_ - kept_)) {
        kept_ += inflated->size();
        text->Text.assign(inflated->begin(), inflated->end());
      }
    }
    return text;
  }

  void readHeader(std::span<const std::uint8_t> body) {
    if (header_ || body.size() < 13) throw EPngInvalidIHDR();
    auto h = std::make_unique<TChunkIHDR>();
    ByteReader r(body);
    h->Width = r.u32be();
    h->Height = r.u32be();
    h->BitDepth = r.u8();
    h->ColorType = r.u8();
    h->CompressionMethod = r.u8();
    h->FilterMethod = r.u8();
    h->InterlaceMethod = r.u8();
    if (h->Width > 65535 || h->Height > 65535) throw EPNGSizeExceeds();
    if (h->CompressionMethod != 0) throw EPNGUnknownCompression();
    if (h->InterlaceMethod > 1) throw EPNGUnknownInterlace();
    image_.InterlaceMode = h->InterlaceMethod == 1 ? PngInterlace::Adam7 : PngInterlace::None;
    if (h->Width == 0 || h->Height == 0 || !png::ValidType(h->ColorType, h->BitDepth))
      throw EPngInvalidIHDR();
    h->PrepareStore(image_.limits(), image_.gamma_);
    header_ = h.get();
    image_.chunks_.Append(std::move(h));
  }

  void readPalette(std::span<const std::uint8_t> body) {
    if (body.size() % 3 != 0 || body.size() > 768) throw EPNGInvalidPalette();
    auto plte = std::make_unique<TChunkPLTE>();
    plte->Count = static_cast<int>(body.size() / 3);
    plte->data.assign(body.begin(), body.end());
    if (header_->ColorType == kColorPalette) {
      const auto& g = image_.gamma_;
      Palette& palette = header_->Store.palette();
      palette.resize(body.size() / 3);
      for (std::size_t i = 0; i < palette.size(); ++i)
        palette[i] = {g[body[3 * i]], g[body[3 * i + 1]], g[body[3 * i + 2]], 0};
    }
    image_.chunks_.Append(std::move(plte));
  }

  void readTransparency(std::span<const std::uint8_t> body) {
    if (body.size() > 256) throw EPNGInvalidPalette();
    auto trns = std::make_unique<TChunktRNS>();
    std::copy(body.begin(), body.end(), trns->Values.begin());
    trns->Size = body.size();
    if (header_->ColorType == kColorPalette) {
      // A single fully transparent entry is a key colour; anything else is alpha per entry.
      const auto partial = std::count_if(body.begin(), body.end(), [](auto a) { return a != 255; });
      trns->KeyColor = partial == 1 && std::count(body.begin(), body.end(), 0) == 1;
    } else {
      trns->KeyColor = (header_->ColorType == kColorGrayscale && body.size() == 2) ||
                       (header_->ColorType == kColorRGB && body.size() == 6);
    }
    image_.chunks_.Append(std::move(trns));
  }

  std::size_t readImageData(Chunk chunk);
  void storeRow(const std::uint8_t* src, std::uint32_t y, std::uint32_t x0, std::uint32_t step,
                std::uint32_t count);

  TPNGObject& image_;
  std::span<const std::uint8_t> data_;
  TChunkIHDR* header_ = nullptr;
  bool decoded_ = false;
  std::size_t keptLimit_;  // what ancillary chunks may hold: see DecodeLimits
  std::uint32_t keptChunksLimit_;
  std::size_t kept_ = 0, keptChunks_ = 0;
};

std::size_t PngReader::readImageData(Chunk chunk) {
  TChunkIHDR& h = *header_;
  Palette& palette = h.Store.palette();
  if (h.ColorType != kColorPalette && !palette.empty())
    png::FillGrayRamp(palette, palette.size(), image_.gamma_);

  Inflater inflater;
  z_stream& z = inflater.z;
  auto body = bodyOf(chunk);
  z.next_in = const_cast<Bytef*>(body.data());
  z.avail_in = static_cast<uInt>(body.size());
  // The zlib status that ends the stream (stream end or an error), raised only when more data
  // is asked for: a damaged checksum behind the last row's bytes is never reached.
  int stop = Z_OK;
  // Inflates exactly need bytes, moving on to the next IDAT chunk whenever one is used up.
  auto fill = [&](std::uint8_t* out, std::size_t need) {
    std::size_t filled = 0;
    while (filled < need) {
      if (stop != Z_OK) throw EPNGZLIBError(ZlibStatusText(stop));
      if (z.avail_in == 0) {
        checkCrc(chunk, body);
        chunk = peek(chunk.end);
        if (chunk.type != "IDAT") throw EPNGMissingMultipleIDAT();
        body = bodyOf(chunk);
        z.next_in = const_cast<Bytef*>(body.data());
        z.avail_in = static_cast<uInt>(body.size());
        continue;
      }
      z.next_out = out + filled;
      z.avail_out = static_cast<uInt>(need - filled);
      const int status = ::inflate(&z, Z_NO_FLUSH);
      filled = need - z.avail_out;
      if (status != Z_OK && !(status == Z_BUF_ERROR && z.avail_in == 0)) stop = status;
    }
  };

  const int depth = h.BitDepth;
  const int bpp = PngPixelBytes(h.ColorType, depth);
  const auto rowBytes = static_cast<std::size_t>(PngRowBytes(h.ColorType, depth, h.Width));
  std::vector<std::uint8_t> a(rowBytes + 1), b(rowBytes + 1);
  std::uint8_t* cur = a.data();
  std::uint8_t* prev = b.data();
  auto decodeRows = [&](std::uint32_t count, std::uint32_t rows, auto&& place) {
    const auto bytes = static_cast<std::size_t>(PngRowBytes(h.ColorType, depth, count));
    if (bytes == 0 || rows == 0) return;
    std::memset(prev, 0, bytes + 1);
    for (std::uint32_t r = 0; r < rows; ++r) {
      fill(cur, bytes + 1);
      png::Unfilter(cur[0], cur + 1, prev + 1, bytes, bpp);
      place(cur + 1, r);
      std::swap(cur, prev);
    }
  };

  if (h.InterlaceMethod == 0) {
    decodeRows(h.Width, h.Height,
               [&](const std::uint8_t* row, std::uint32_t r) { storeRow(row, r, 0, 1, h.Width); });
  } else {
    for (const auto& pass : png::kAdam7) {
      const std::uint32_t count = png::PassWidth(pass, h.Width);
      decodeRows(count, png::PassHeight(pass, h.Height),
                 [&](const std::uint8_t* row, std::uint32_t r) {
                   storeRow(row, std::uint32_t(pass.rowStart) + r * std::uint32_t(pass.rowStep),
                            std::uint32_t(pass.colStart), std::uint32_t(pass.colStep), count);
                 });
    }
  }
  checkCrc(chunk, body);
  return chunk.end;
}

// Converts count pixels of a decoded row into the store at row y, columns x0, x0 + step, ...
void PngReader::storeRow(const std::uint8_t* src, std::uint32_t y, std::uint32_t x0,
                         std::uint32_t step, std::uint32_t count) {
  TChunkIHDR& h = *header_;
  std::uint8_t* dst = h.Store.row(static_cast<int>(y));
  const std::size_t offset = static_cast<std::size_t>(dst - h.Store.data());
  std::uint8_t* low = h.Low.empty() ? nullptr : h.Low.data() + offset;
  std::uint8_t* alpha =
      h.Alpha.empty() ? nullptr : h.Alpha.data() + std::size_t{y} * std::size_t{h.Width};
  const auto& g = image_.gamma_;
  const int depth = h.BitDepth;
  const bool wide = depth == 16;
  const std::uint32_t n = wide ? 2 : 1;  // bytes per sample
  switch (h.ColorType) {
    case kColorGrayscale:
    case kColorPalette:
      if (wide) {
        for (std::uint32_t i = 0, x = x0; i < count; ++i, x += step) {
          dst[x] = src[2 * i];
          low[x] = src[2 * i + 1];
        }
      } else if (step == 1 && depth != 2) {
        std::memcpy(dst, src, static_cast<std::size_t>(PngRowBytes(h.ColorType, depth, count)));
      } else if (depth == 8) {
        for (std::uint32_t i = 0, x = x0; i < count; ++i, x += step) dst[x] = src[i];
      } else {
        const int bits = h.StoreBits();
        const unsigned scale = depth == 2 && h.ColorType == kColorGrayscale ? 5 : 1;
        for (std::uint32_t i = 0, x = x0; i < count; ++i, x += step)
          setIndex(dst, bits, x, sampleAt(src, depth, i) * scale);
      }
      break;
    case kColorGrayscaleAlpha:
      for (std::uint32_t i = 0, x = x0; i < count; ++i, x += step, src += 2 * n) {
        dst[x] = src[0];
        if (wide) low[x] = src[1];
        alpha[x] = src[n];
      }
      break;
    default: {  // RGB and RGB with alpha, stored as blue, green, red
      const std::uint32_t channels = h.ColorType == kColorRGBAlpha ? 4 : 3;
      for (std::uint32_t i = 0, x = x0; i < count; ++i, x += step, src += channels * n) {
        std::uint8_t* d = dst + 3 * x;
        d[0] = g[src[2 * n]];
        d[1] = g[src[n]];
        d[2] = g[src[0]];
        if (wide) {
          std::uint8_t* l = low + 3 * x;
          l[0] = g[src[5]];
          l[1] = g[src[3]];
          l[2] = g[src[1]];
        }
        if (alpha) alpha[x] = src[3 * n];
      }
      break;
    }
  }
}

void TPNGObject::loadFromMemory(std::span<const std::uint8_t> data) {
  PngReader(*this, data).Read();
}

}  // namespace vexo
