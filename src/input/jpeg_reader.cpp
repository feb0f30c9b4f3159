// JPEG input through libjpeg (API 62): decoding from memory straight into the Bitmap's rows.
//
// libjpeg reports fatal errors through error_exit, whose default ends the process. Ours formats
// the message and longjmps back to the setjmp in Decompressor::run, which turns it into a
// JpegReadError. Only C frames and lambdas whose locals are trivially destructible lie between
// the setjmp and a longjmp, so no destructor is ever skipped; the decompress object itself lives
// in a C++ object whose destructor always calls jpeg_destroy_decompress.
#include "input/jpeg_reader.h"

#include <climits>
#include <csetjmp>
#include <cstdio>  // jpeglib.h needs FILE and size_t declared first
#include <string>
#include <type_traits>
#include <vector>

#include <jerror.h>
#include <jpeglib.h>

namespace vexo {
namespace {

struct ErrorManager {
  jpeg_error_mgr pub;  // first member: libjpeg passes &pub back to the handlers
  std::jmp_buf jump;
  char message[JMSG_LENGTH_MAX + 80];
  char firstWarning[JMSG_LENGTH_MAX];  // the text of the first corrupt-data warning
  int maxWarnings, maxScans;           // from DecodeLimits
};
static_assert(std::is_standard_layout_v<ErrorManager>);

ErrorManager& errorManagerOf(j_common_ptr cinfo) {
  return *reinterpret_cast<ErrorManager*>(cinfo->err);
}

[[noreturn]] void failWith(j_common_ptr cinfo, const char* prefix) {
  ErrorManager& err = errorManagerOf(cinfo);
  char text[JMSG_LENGTH_MAX] = {};
  (*cinfo->err->format_message)(cinfo, text);
  std::snprintf(err.message, sizeof err.message, "%s%s", prefix, text);
  std::longjmp(err.jump, 1);
}

[[noreturn]] void errorExit(j_common_ptr cinfo) {
  failWith(cinfo, "");
}

// Trace messages (level >= 0) are dropped; warnings (level -1, corrupt data) are tolerated up to
// DecodeLimits::maxJpegWarnings, after which the stream fails with the last warning's text.
void emitMessage(j_common_ptr cinfo, int msg_level) {
  if (msg_level >= 0) return;
  if (++cinfo->err->num_warnings > errorManagerOf(cinfo).maxWarnings)
    failWith(cinfo, "Too many corrupt-data warnings; last: ");
  if (cinfo->err->num_warnings == 1)
    (*cinfo->err->format_message)(cinfo, errorManagerOf(cinfo).firstWarning);
}

void outputMessage(j_common_ptr) {}  // nothing is ever printed

// Called at least once per scan while the input is consumed: a stream made of thousands of
// scans would otherwise make libjpeg walk the whole coefficient buffer for each of them.
void progressMonitor(j_common_ptr cinfo) {
  if (!cinfo->is_decompressor) return;
  ErrorManager& err = errorManagerOf(cinfo);
  if (reinterpret_cast<j_decompress_ptr>(cinfo)->input_scan_number > err.maxScans) {
    std::snprintf(err.message, sizeof err.message, "Too many scans (more than %d)", err.maxScans);
    std::longjmp(err.jump, 1);
  }
}

// The error manager of one libjpeg object and the setjmp point that its errors come back to.
class ErrorTrap {
 public:
  ErrorTrap() {
    jpeg_std_error(&err_.pub);
    err_.pub.error_exit = errorExit;
    err_.pub.emit_message = emitMessage;
    err_.pub.output_message = outputMessage;
    setLimits(DecodeLimits{});
  }
  ErrorTrap(const ErrorTrap&) = delete;
  ErrorTrap& operator=(const ErrorTrap&) = delete;

  jpeg_error_mgr* manager() { return &err_.pub; }
  void setLimits(const DecodeLimits& limits) {
    err_.maxWarnings = limits.maxJpegWarnings;
    err_.maxScans = limits.maxJpegScans;
  }

  // The first corrupt-data warning, with the count of the others; empty when there was none.
  std::string warnings() const {
    if (err_.pub.num_warnings == 0) return {};
    std::string text = err_.firstWarning;
    const long more = err_.pub.num_warnings - 1;
    if (more == 1) text += " (1 more warning)";
    if (more > 1) text += " (" + std::to_string(more) + " more warnings)";
    return text;
  }

  // Runs libjpeg calls; a libjpeg error or a bound above becomes a JpegReadError. The callable
  // must not hold objects with non-trivial destructors: a longjmp may leave it.
  template <typename F>
  void run(F&& calls) {
    if (setjmp(err_.jump) != 0) throw JpegReadError(err_.message);
    calls();
  }

 private:
  ErrorManager err_{};
};

// A libjpeg object and its error trap (run() comes from the trap).
class Decompressor : public ErrorTrap {
 public:
  Decompressor() {
    cinfo_.err = manager();
    progress_.progress_monitor = progressMonitor;
  }
  ~Decompressor() { jpeg_destroy_decompress(&cinfo_); }  // safe on a zeroed or half-made object

  // Separate from the constructor so that the destructor also runs when creation fails.
  void create(const DecodeLimits& limits) {
    setLimits(limits);
    run([this, &limits] {
      jpeg_create_decompress(&cinfo_);
      // Bounds the coefficient buffers of progressive and multi-scan streams: past it libjpeg
      // would need a backing store, which this build refuses with an error.
      const std::uint64_t cap = limits.maxImageBytes;
      cinfo_.mem->max_memory_to_use = cap > LONG_MAX ? LONG_MAX : static_cast<long>(cap);
      cinfo_.progress = &progress_;
    });
  }

  jpeg_decompress_struct& cinfo() { return cinfo_; }

 private:
  jpeg_decompress_struct cinfo_{};
  jpeg_progress_mgr progress_{};
};

class Compressor : public ErrorTrap {
 public:
  Compressor() { cinfo_.err = manager(); }
  ~Compressor() { jpeg_destroy_compress(&cinfo_); }

  jpeg_compress_struct& cinfo() { return cinfo_; }

 private:
  jpeg_compress_struct cinfo_{};
};

// A libjpeg destination that appends to a byte vector, doubling it when full.
struct VectorDestination {
  jpeg_destination_mgr pub;  // first member: libjpeg passes &pub back to the callbacks
  std::vector<std::uint8_t>* out;

  static VectorDestination& of(j_compress_ptr cinfo) {
    return *reinterpret_cast<VectorDestination*>(cinfo->dest);
  }
  // Grows the vector to size bytes, keeping the written ones; a failed allocation becomes a
  // libjpeg error (no exception may pass through libjpeg's C frames).
  static void grow(j_compress_ptr cinfo, std::size_t used, std::size_t size) {
    VectorDestination& d = of(cinfo);
    bool ok = true;
    try {
      d.out->resize(size);
    } catch (...) {
      ok = false;
    }
    if (!ok) ERREXIT1(cinfo, JERR_OUT_OF_MEMORY, 0);
    d.pub.next_output_byte = d.out->data() + used;
    d.pub.free_in_buffer = size - used;
  }
  static void init(j_compress_ptr cinfo) { grow(cinfo, 0, 16384); }
  static boolean empty(j_compress_ptr cinfo) {
    const std::size_t used = of(cinfo).out->size();
    grow(cinfo, used, used * 2);
    return TRUE;
  }
  static void term(j_compress_ptr cinfo) {
    VectorDestination& d = of(cinfo);
    d.out->resize(d.out->size() - d.pub.free_in_buffer);
  }
};
static_assert(std::is_standard_layout_v<VectorDestination>);

// a × b / 255, rounded; a and b are 0..255.
inline std::uint8_t mul255(unsigned a, unsigned b) {
  return static_cast<std::uint8_t>((a * b + 127) / 255);
}

// One row of CMYK to B,G,R. Adobe files store inverted CMYK (255 = no ink), so R = C × K / 255
// on the stored values; plain CMYK is inverted first.
void cmykRowToBgr(const std::uint8_t* in, std::uint8_t* out, int width, bool adobeInverted) {
  const unsigned flip = adobeInverted ? 0 : 255;
  for (int x = 0; x < width; ++x, in += 4, out += 3) {
    const unsigned k = in[3] ^ flip;
    out[0] = mul255(in[2] ^ flip, k);
    out[1] = mul255(in[1] ^ flip, k);
    out[2] = mul255(in[0] ^ flip, k);
  }
}

}  // namespace

Bitmap DecodeJpegWithLibjpeg(std::span<const std::uint8_t> data, const DecodeLimits& limits,
                             unsigned scaleDenom,
                             const std::function<void(std::string_view)>& onWarning) {
  Decompressor decoder;
  decoder.create(limits);
  jpeg_decompress_struct& cinfo = decoder.cinfo();

  // jpeg_mem_src refuses an empty buffer with a libjpeg error.
  try {
    decoder.run([&] {
      jpeg_mem_src(&cinfo, data.data(), static_cast<unsigned long>(data.size()));
      jpeg_read_header(&cinfo, TRUE);
    });
  } catch (const JpegReadError&) {
    // libjpeg refuses sides over 65500 pixels while it reads the frame header, after storing
    // them: a frame that also passes the memory limit is reported as the size error it is.
    if (cinfo.err->msg_code == JERR_IMAGE_TOO_BIG)
      checkImageSize(cinfo.image_width, cinfo.image_height, 24, limits);
    throw;
  }

  checkImageSize(cinfo.image_width, cinfo.image_height, 24, limits);
  cinfo.scale_num = 1;
  cinfo.scale_denom = scaleDenom;
  decoder.run([&] { jpeg_calc_output_dimensions(&cinfo); });
  const int width = static_cast<int>(cinfo.output_width);
  const int height = static_cast<int>(cinfo.output_height);

  // Four-component streams come out as CMYK and are converted here; everything else (YCbCr,
  // RGB, grayscale) libjpeg writes as B,G,R straight into the rows.
  const bool cmyk = cinfo.jpeg_color_space == JCS_CMYK || cinfo.jpeg_color_space == JCS_YCCK;
  cinfo.out_color_space = cmyk ? JCS_CMYK : JCS_EXT_BGR;
  const bool adobeInverted = cinfo.saw_Adobe_marker != 0;

  Bitmap bitmap(width, height, 24, limits);
  std::vector<JSAMPROW> rows(static_cast<std::size_t>(height));
  for (int y = 0; y < height; ++y) rows[static_cast<std::size_t>(y)] = bitmap.row(y);
  std::vector<std::uint8_t> cmykRow(cmyk ? static_cast<std::size_t>(width) * 4 : 0);

  decoder.run([&] { jpeg_start_decompress(&cinfo); });
  if (static_cast<int>(cinfo.output_width) != width ||
      static_cast<int>(cinfo.output_height) != height || cinfo.output_components != (cmyk ? 4 : 3))
    throw JpegReadError("Unexpected JPEG output format");

  decoder.run([&] {
    while (cinfo.output_scanline < cinfo.output_height) {
      const JDIMENSION y = cinfo.output_scanline;
      JDIMENSION got;
      if (cmyk) {
        JSAMPROW scratch = cmykRow.data();
        got = jpeg_read_scanlines(&cinfo, &scratch, 1);
        if (got == 1) cmykRowToBgr(cmykRow.data(), rows[y], width, adobeInverted);
      } else {
        got = jpeg_read_scanlines(&cinfo, rows.data() + y, cinfo.output_height - y);
      }
      // A memory source never suspends; no progress would mean a loop without end.
      if (got == 0) throw JpegReadError("JPEG decoder made no progress");
    }
    jpeg_finish_decompress(&cinfo);
  });
  if (const std::string warnings = decoder.warnings(); !warnings.empty() && onWarning)
    onWarning(warnings);
  return bitmap;
}

std::vector<std::uint8_t> CompressWithLibjpeg(const Bitmap& bitmap, int quality) {
  if (bitmap.bits() != 24 || bitmap.width() < 1 || bitmap.height() < 1)
    throw JpegReadError("Only a 24-bit bitmap can be compressed");
  std::vector<std::uint8_t> out;
  VectorDestination dest{{}, &out};
  dest.pub.init_destination = VectorDestination::init;
  dest.pub.empty_output_buffer = VectorDestination::empty;
  dest.pub.term_destination = VectorDestination::term;

  Compressor compressor;
  jpeg_compress_struct& cinfo = compressor.cinfo();
  compressor.run([&] {
    jpeg_create_compress(&cinfo);
    cinfo.dest = &dest.pub;
    cinfo.image_width = static_cast<JDIMENSION>(bitmap.width());
    cinfo.image_height = static_cast<JDIMENSION>(bitmap.height());
    cinfo.input_components = 3;
    cinfo.in_color_space = JCS_EXT_BGR;
    jpeg_set_defaults(&cinfo);
    jpeg_set_quality(&cinfo, quality, TRUE);
    cinfo.write_JFIF_header = FALSE;
    jpeg_start_compress(&cinfo, TRUE);
    while (cinfo.next_scanline < cinfo.image_height) {
      // libjpeg takes rows as non-const pointers but only reads them.
      JSAMPROW row = const_cast<JSAMPROW>(bitmap.row(static_cast<int>(cinfo.next_scanline)));
      jpeg_write_scanlines(&cinfo, &row, 1);
    }
    jpeg_finish_compress(&cinfo);
  });
  return out;
}

}  // namespace vexo
