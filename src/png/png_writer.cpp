// Writing: the signature, the chunks in list order with their CRCs, and the image data, which
// streams one row at a time through the filters and deflate into IDAT chunks of MaxIdatData
// bytes.
#include <zlib.h>

#include <algorithm>
#include <bit>
#include <cstring>

#include "core/byte_io.h"
#include "png/png_internal.h"

namespace vexo {

namespace {

using Sink = std::function<void(std::span<const std::uint8_t>)>;

constexpr std::uint8_t kSignature[8] = {0x89, 0x50, 0x4E, 0x47, 0x0D, 0x0A, 0x1A, 0x0A};

void putU32(std::uint8_t* p, std::uint32_t v) {
  p[0] = static_cast<std::uint8_t>(v >> 24);
  p[1] = static_cast<std::uint8_t>(v >> 16);
  p[2] = static_cast<std::uint8_t>(v >> 8);
  p[3] = static_cast<std::uint8_t>(v);
}

void appendU32(std::vector<std::uint8_t>& out, std::uint32_t v) {
  std::uint8_t b[4];
  putU32(b, v);
  out.insert(out.end(), b, b + 4);
}

void appendText(std::vector<std::uint8_t>& out, std::string_view text) {
  out.insert(out.end(), text.begin(), text.end());
}

// Picks and computes the filter of each row: only the filters of the set are computed, and
// each into a buffer of its own that starts with the filter-type byte.
class FilterChooser {
 public:
  FilterChooser(PngFilterSet set, std::size_t rowBytes, int bpp) : bpp_(bpp) {
    set &= kAllFilters;
    if (set == 0 || set == FilterBit(PngFilter::None)) {
      set_ = 0;
    } else if (std::has_single_bit(unsigned(set))) {
      single_ = true;
      set_ = set;
    } else {
      set_ = set;
    }
    for (int f = 1; f < 5; ++f) {
      if (set_ & (1u << f)) {
        out_[f].resize(rowBytes + 1);
        out_[f][0] = static_cast<std::uint8_t>(f);
      }
    }
  }

  // The type byte and the filtered row of n bytes. cur and prev are padded raw rows; the byte
  // before cur's data is 0, so cur's data with that byte is the None output.
  std::span<const std::uint8_t> Choose(const png::PaddedRow& cur, const png::PaddedRow& prev,
                                       std::size_t n) {
    const std::span<const std::uint8_t> none(cur.data() - 1, n + 1);
    if (set_ == 0) return none;
    std::span<const std::uint8_t> best = none;
    std::size_t bestScore = 0;
    for (int f = 0; f < 5; ++f) {
      if (!(set_ & (1u << f))) continue;
      const std::span<const std::uint8_t> out = f == 0 ? none : compute(f, cur, prev, n);
      if (single_) return out;
      const std::size_t score = png::FilterScore(out.data() + 1, n);
      if (score > bestScore) {
        bestScore = score;
        best = out;
      }
    }
    return best;
  }

 private:
  std::span<const std::uint8_t> compute(int f, const png::PaddedRow& cur,
                                        const png::PaddedRow& prev, std::size_t n) {
    std::uint8_t* out = out_[f].data() + 1;
    switch (f) {
      case 1:
        png::FilterSub(cur.data(), out, n, bpp_);
        break;
      case 2:
        png::FilterUp(cur.data(), prev.data(), out, n);
        break;
      case 3:
        png::FilterAverage(cur.data(), prev.data(), out, n, bpp_);
        break;
      default:
        png::FilterPaeth(cur.data(), prev.data(), out, n, bpp_);
        break;
    }
    return {out_[f].data(), n + 1};
  }

  int bpp_;
  PngFilterSet set_ = 0;
  bool single_ = false;
  std::array<std::vector<std::uint8_t>, 5> out_;
};

}  // namespace

// Writes one image to a sink: small chunks are gathered and passed on before each IDAT chunk
// and at the end.
class PngWriter {
 public:
  PngWriter(const TPNGObject& image, const Sink& sink) : image_(image), sink_(sink) {}

  void Write() {
    const TChunkIHDR& header = image_.Header();
    pending_.assign(std::begin(kSignature), std::end(kSignature));
    for (const auto& chunk : image_.Chunks()) {
      const std::string_view type = chunk->Name();
      if (type == "IHDR") {
        writeHeader(header);
      } else if (type == "PLTE") {
        writePalette(static_cast<const TChunkPLTE&>(*chunk), header);
      } else if (type == "tRNS") {
        const auto& t = static_cast<const TChunktRNS&>(*chunk);
        writeChunk("tRNS", {t.Values.data(), std::min<std::size_t>(t.Size, 256)});
      } else if (type == "IDAT") {
        writeImageData(header);
      } else if (type == "IEND") {
        writeChunk("IEND", {});
      } else if (auto* text = dynamic_cast<const TChunktEXt*>(chunk.get())) {
        writeText(type, *text);
      } else {
        writeChunk(type, chunk->data);
      }
    }
    flush();
  }

 private:
  void writeChunk(std::string_view type, std::span<const std::uint8_t> data) {
    const std::size_t start = pending_.size();
    appendU32(pending_, static_cast<std::uint32_t>(data.size()));
    appendText(pending_, type.substr(0, 4));
    pending_.insert(pending_.end(), data.begin(), data.end());
    appendU32(pending_, PngCrc(std::span(pending_).subspan(start + 4)));
  }

  void flush() {
    if (!pending_.empty()) sink_(pending_);
    pending_.clear();
  }

  void writeHeader(const TChunkIHDR& h) {
    std::uint8_t data[13];
    putU32(data, h.Width);
    putU32(data + 4, h.Height);
    data[8] = static_cast<std::uint8_t>(h.BitDepth == 2 ? 4 : h.BitDepth);
    data[9] = h.ColorType;
    data[10] = 0;
    data[11] = 0;
    data[12] = image_.InterlaceMode == PngInterlace::Adam7 ? 1 : 0;
    writeChunk("IHDR", data);
  }

  void writePalette(const TChunkPLTE& plte, const TChunkIHDR& h) {
    // A suggested palette of a truecolour image is not part of the store: written as read.
    if (h.ColorType != kColorPalette) return writeChunk("PLTE", plte.data);
    const Palette& palette = h.Store.palette();
    const auto& inverse = image_.InverseGammaTable();
    const std::size_t count =
        std::min<std::size_t>(plte.Count > 0 ? std::size_t(plte.Count) : palette.size(), 256);
    std::vector<std::uint8_t> data(count * 3, 0);
    for (std::size_t i = 0; i < count && i < palette.size(); ++i) {
      data[3 * i] = inverse[palette[i].red];
      data[3 * i + 1] = inverse[palette[i].green];
      data[3 * i + 2] = inverse[palette[i].blue];
    }
    writeChunk("PLTE", data);
  }

  void writeText(std::string_view type, const TChunktEXt& text) {
    std::vector<std::uint8_t> data;
    appendText(data, text.Keyword);
    data.push_back(0);
    if (type == "tEXt") {
      appendText(data, text.Text);
      return writeChunk(type, data);
    }
    if (type == "iTXt")
      data.insert(data.end(), {1, 0, 0, 0});  // compressed, no language
    else
      data.push_back(0);  // compression method
    const std::string_view body = text.Text.empty() ? std::string_view(" ") : text.Text;
    const auto compressed = png::Compress(
        {reinterpret_cast<const std::uint8_t*>(body.data()), body.size()}, image_.DeflateLevel());
    if (!compressed) return;  // the chunk is left out
    data.insert(data.end(), compressed->begin(), compressed->end());
    writeChunk(type, data);
  }

  void writeImageData(const TChunkIHDR& h);

  const TPNGObject& image_;
  const Sink& sink_;
  std::vector<std::uint8_t> pending_;
};

namespace {

// The deflate stream of the image data, emitted as IDAT chunks of exactly max bytes and a last
// shorter one.
class IdatStream {
 public:
  IdatStream(int level, std::size_t max, const std::function<void()>& flushPending,
             const Sink& sink)
      : max_(max), chunk_(max + 12), flushPending_(flushPending), sink_(sink) {
    if (::deflateInit(&z_, level) != Z_OK) throw EPNGZLIBError(ZlibStatusText(Z_MEM_ERROR));
    resetOutput();
  }
  ~IdatStream() { ::deflateEnd(&z_); }
  IdatStream(const IdatStream&) = delete;
  IdatStream& operator=(const IdatStream&) = delete;

  void Feed(std::span<const std::uint8_t> bytes) {
    z_.next_in = const_cast<Bytef*>(bytes.data());
    z_.avail_in = static_cast<uInt>(bytes.size());
    while (z_.avail_in > 0) run(Z_NO_FLUSH);
  }

  void Finish() {
    while (run(Z_FINISH) != Z_STREAM_END) {
    }
    const std::size_t used = max_ - z_.avail_out;
    if (used > 0) emit(used);
  }

 private:
  int run(int flush) {
    const int status = ::deflate(&z_, flush);
    if (status != Z_OK && status != Z_STREAM_END && status != Z_BUF_ERROR)
      throw EPNGZLIBError(ZlibStatusText(status));
    if (z_.avail_out == 0) {
      emit(max_);
      resetOutput();
    }
    return status;
  }

  void resetOutput() {
    z_.next_out = chunk_.data() + 8;
    z_.avail_out = static_cast<uInt>(max_);
  }

  void emit(std::size_t size) {
    putU32(chunk_.data(), static_cast<std::uint32_t>(size));
    std::memcpy(chunk_.data() + 4, "IDAT", 4);
    putU32(chunk_.data() + 8 + size, PngCrc(std::span(chunk_).subspan(4, size + 4)));
    flushPending_();
    sink_(std::span(chunk_).first(size + 12));
  }

  z_stream z_{};
  std::size_t max_;
  std::vector<std::uint8_t> chunk_;  // length, type, data, CRC
  const std::function<void()>& flushPending_;
  const Sink& sink_;
};

// Raw rows of the image in PNG sample order, taken from the store.
class RowExtractor {
 public:
  RowExtractor(const TChunkIHDR& h, const std::array<std::uint8_t, 256>& inverse)
      : h_(h), inverse_(inverse), depth_(h.BitDepth == 2 ? 4 : h.BitDepth) {
    identity_ = true;
    for (int i = 0; i < 256; ++i) identity_ = identity_ && inverse[i] == i;
  }

  int depth() const { return depth_; }

  // Image row y, all pixels, into out.
  void Extract(int y, std::uint8_t* out) const {
    const std::uint8_t* row = h_.Store.row(y);
    const std::size_t offset = static_cast<std::size_t>(row - h_.Store.data());
    const std::uint8_t* low = h_.Low.empty() ? nullptr : h_.Low.data() + offset;
    const std::uint8_t* alpha =
        h_.Alpha.empty() ? nullptr : h_.Alpha.data() + static_cast<std::size_t>(y) * h_.Width;
    const std::uint32_t w = h_.Width;
    const bool wide = depth_ == 16;
    // One sample: the stored byte (through the inverse gamma table for colour), then the low
    // byte kept for 16-bit images.
    auto put = [&](std::uint8_t*& o, std::uint8_t v, std::uint8_t lo) {
      *o++ = v;
      if (wide) *o++ = lo;
    };
    switch (h_.ColorType) {
      case kColorGrayscale:
      case kColorPalette:
        if (!wide) {
          std::memcpy(out, row, static_cast<std::size_t>(PngRowBytes(h_.ColorType, depth_, w)));
        } else {
          for (std::uint32_t x = 0; x < w; ++x) put(out, row[x], low[x]);
        }
        break;
      case kColorGrayscaleAlpha:
        for (std::uint32_t x = 0; x < w; ++x) {
          put(out, row[x], wide ? low[x] : 0);
          put(out, alpha[x], alpha[x]);  // the low byte of alpha is not kept: v × 257
        }
        break;
      default:  // RGB and RGB with alpha; the store holds blue, green, red
        if (!wide && identity_ && h_.ColorType == kColorRGB) {
          for (std::uint32_t x = 0; x < w; ++x, out += 3, row += 3) {
            out[0] = row[2];
            out[1] = row[1];
            out[2] = row[0];
          }
          break;
        }
        for (std::uint32_t x = 0; x < w; ++x, row += 3) {
          for (int c = 2; c >= 0; --c)
            put(out, inverse_[row[c]], wide ? inverse_[low[3 * x + std::uint32_t(c)]] : 0);
          if (alpha) put(out, alpha[x], alpha[x]);
        }
        break;
    }
  }

 private:
  const TChunkIHDR& h_;
  const std::array<std::uint8_t, 256>& inverse_;
  int depth_;
  bool identity_;
};

// The pixels of one Adam7 pass picked out of a full raw row.
void pickPass(const std::uint8_t* full, std::uint8_t* out, const png::Adam7Pass& pass,
              std::uint32_t count, int depth, int pixelBytes) {
  if (depth >= 8) {
    const auto step = static_cast<std::size_t>(pass.colStep) * std::size_t(pixelBytes);
    const std::uint8_t* p = full + static_cast<std::size_t>(pass.colStart) * pixelBytes;
    for (std::uint32_t i = 0; i < count; ++i, p += step, out += pixelBytes)
      std::memcpy(out, p, static_cast<std::size_t>(pixelBytes));
    return;
  }
  std::memset(out, 0, (std::size_t{count} * unsigned(depth) + 7) / 8);
  const unsigned perByte = 8u / unsigned(depth), mask = (1u << depth) - 1;
  for (std::uint32_t i = 0; i < count; ++i) {
    const std::uint32_t x = std::uint32_t(pass.colStart) + i * std::uint32_t(pass.colStep);
    const unsigned v = full[x / perByte] >> (8 - unsigned(depth) * (x % perByte + 1)) & mask;
    out[i / perByte] |= static_cast<std::uint8_t>(v << (8 - unsigned(depth) * (i % perByte + 1)));
  }
}

}  // namespace

void PngWriter::writeImageData(const TChunkIHDR& h) {
  const RowExtractor extractor(h, image_.InverseGammaTable());
  const int depth = extractor.depth();
  const int bpp = PngPixelBytes(h.ColorType, depth);
  const auto rowBytes = static_cast<std::size_t>(PngRowBytes(h.ColorType, depth, h.Width));
  const std::function<void()> flushPending = [this] { flush(); };
  IdatStream stream(image_.DeflateLevel(), image_.MaxIdatData(), flushPending, sink_);
  FilterChooser chooser(image_.RowFilters, rowBytes, bpp);
  png::PaddedRow cur(rowBytes), prev(rowBytes);
  const int height = static_cast<int>(h.Height);

  if (image_.InterlaceMode != PngInterlace::Adam7) {
    for (int y = 0; y < height; ++y) {
      extractor.Extract(y, cur.data());
      stream.Feed(chooser.Choose(cur, prev, rowBytes));
      std::swap(cur, prev);
    }
  } else {
    png::PaddedRow full(rowBytes);
    for (const auto& pass : png::kAdam7) {
      const std::uint32_t count = png::PassWidth(pass, h.Width);
      const auto passBytes = static_cast<std::size_t>(PngRowBytes(h.ColorType, depth, count));
      if (passBytes == 0) continue;
      prev.clear();
      for (int y = pass.rowStart; y < height; y += pass.rowStep) {
        extractor.Extract(y, full.data());
        pickPass(full.data(), cur.data(), pass, count, depth, bpp);
        stream.Feed(chooser.Choose(cur, prev, passBytes));
        std::swap(cur, prev);
      }
    }
  }
  stream.Finish();
}

void TPNGObject::SaveTo(const std::function<void(std::span<const std::uint8_t>)>& sink) const {
  PngWriter(*this, sink).Write();
}

std::vector<std::uint8_t> TPNGObject::saveToMemory() const {
  std::vector<std::uint8_t> out;
  SaveTo([&](std::span<const std::uint8_t> bytes) {
    out.insert(out.end(), bytes.begin(), bytes.end());
  });
  return out;
}

void TPNGObject::saveToFile(const std::string& path) const {
  AtomicFile out(path);
  SaveTo([&](std::span<const std::uint8_t> bytes) { out.write(bytes); });
  out.commit();
}

}  // namespace vexo
