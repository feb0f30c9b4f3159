#include "app/convert.h"

#include <exception>
#include <utility>

#include "app/ini_file.h"
#include "app/pipeline.h"
#include "exif/exif.h"
#include "gif/gif.h"
#include "imaging/color_depth.h"
#include "imaging/edits.h"
#include "imaging/icon.h"
#include "imaging/metafile.h"
#include "input/images.h"
#include "jpeg/jpeg_ex.h"
#include "png/png.h"

namespace vexo {

namespace {

// A failure of this unit: an output format that does not exist.
class ConversionError : public Error {
 public:
  using Error::Error;
};

// The edits of the settings, in the order resize, rotate, mirror, flip; edit receives what they
// did to the pixels' orientation. Icons are scaled by the icon writer instead of the resize step.
Bitmap applyEdits(Bitmap working, const RunSettings& settings, int format, Orientation& edit) {
  edit = Orientation();
  if (settings.ChangeSize && format != kFormatIcon) {
    const Size2 size = ResizeTarget(working.width(), working.height(), settings);
    working = ResizeBitmap(working, size.width, size.height);
  }
  if (settings.Rotate) {
    const int mode = settings.Angle == 90    ? 0
                     : settings.Angle == 180 ? 1
                     : settings.Angle == 270 ? 2
                                             : -1;
    if (mode >= 0) {
      working = RotateBitmap(working, mode);
      static constexpr int kTurns[] = {6, 3, 8};  // the modes as Exif orientations
      edit = Orientation::FromExif(kTurns[mode]);
    }
  }
  if (settings.Mirror) {
    working = MirrorBitmap(working);
    edit = edit.then(Orientation::FromExif(2));
  }
  if (settings.Flip) {
    working = FlipBitmap(working);
    edit = edit.then(Orientation::FromExif(4));
  }
  return working;
}

// The depth the working bitmap had right after loading, kept for "Color" 0 ("no change").
struct LoadedFormat {
  int bits;
  Palette palette;
};

// The colour depth of bitmap and PNG output: "Color" 0 keeps the loaded depth and palette,
// anything else asks for a median-cut palette or a repacking; "Error" adds diffusion.
Bitmap applyColourDepth(Bitmap&& working, int color, bool diffuse, const LoadedFormat& loaded) {
  if (color != 0) return ChangeBitCount(std::move(working), color, nullptr, false, diffuse);
  return ChangeBitCount(std::move(working), loaded.bits,
                        loaded.palette.empty() ? nullptr : &loaded.palette, true, diffuse);
}

// Runs the encoding step whose failure only counts once the file has a name.
template <class Encode>
void encodeLate(ConvertedFile& out, Encode&& encode) {
  try {
    out.bytes = encode();
  } catch (const std::exception& e) {
    out.encodeFailure = e.what();
  }
}

void writeBitmap(Bitmap&& working, const LoadedFormat& loaded, const TExtIniFile& ini,
                 ConvertedFile& out) {
  working = applyColourDepth(std::move(working), ini.ReadInteger("BMP", "Color", 0),
                             ini.ReadBool("BMP", "Error", false), loaded);
  if (ini.ReadBool("BMP", "Mono", false)) working = MakeMonochrome(working);
  out.extension = ".bmp";
  out.bitmap = std::move(working);
}

// JPEG output through the program's own encoder, with the "Jpeg" settings in the order the
// encoder takes them. With "Exif", the source's Exif block goes into an APP1 behind SOI.
void writeJpeg(Bitmap&& working, const ConvertJob& job, Orientation edit,
               const ConvertContext& context, ConvertedFile& out) {
  const TExtIniFile& ini = context.ini;
  TExifInfo exif;  // per file: nothing of one source reaches another's output
  const bool carriesExif = context.carryExif && TExifInfo::HasExif(job.path);
  if (carriesExif) {
    exif.setImageFileName(job.path);
    exif.ApplyEdit(edit);
    exif.OnWarning = [&](std::string_view message) { out.warnings.emplace_back(message); };
  }
  TJpegEx jpeg;
  jpeg.assign(std::move(working));
  jpeg.setQuality(ini.ReadInteger("Jpeg", "Compress", 75));
  jpeg.setSampling(ini.ReadInteger("Jpeg", "Sampling", 0));
  jpeg.XDensity = static_cast<std::uint16_t>(ini.ReadInteger("Jpeg", "Xden", 0));
  jpeg.YDensity = static_cast<std::uint16_t>(ini.ReadInteger("Jpeg", "Yden", 0));
  jpeg.DensityUnit = static_cast<std::uint8_t>(ini.ReadInteger("Jpeg", "Unit", 0));
  jpeg.setRestartInterval(ini.ReadInteger("Jpeg", "Interval", 0));
  jpeg.setGrayscale(ini.ReadBool("Jpeg", "Gray", false));
  jpeg.Comment = ini.ReadString("Jpeg", "Comment", "");
  jpeg.Encode();
  out.extension = ".jpg";
  encodeLate(out, [&] {
    return carriesExif ? exif.WriteInto(jpeg.compressedData(), context.exifThumb)
                       : jpeg.takeCompressedData();
  });
}

// PNG output: the colour depth of the bitmap branch, then the "PNG" writer settings. The
// comment is stored under the keyword "Comment", as PNG keywords may not be empty.
void writePng(Bitmap&& working, const LoadedFormat& loaded, const TExtIniFile& ini,
              ConvertedFile& out) {
  working = applyColourDepth(std::move(working), ini.ReadInteger("PNG", "Color", 0),
                             ini.ReadBool("PNG", "Error", false), loaded);
  TPNGObject png;
  png.AssignBitmap(std::move(working));
  const int compress = ini.ReadInteger("PNG", "Compress", 1);
  png.setDeflateLevel(compress == 0 ? 0 : compress == 1 ? 5 : compress == 2 ? 1 : 9);
  png.RowFilters = static_cast<PngFilterSet>(ini.ReadInteger("PNG", "FilterVal", 31) & kAllFilters);
  if (ini.ReadBool("PNG", "Gray", false)) png = png.GrayscaleCopy();
  if (ini.ReadBool("PNG", "Interlace", false)) png.InterlaceMode = PngInterlace::Adam7;
  if (ini.ReadBool("PNG", "UseText", false))
    png.AddCompressedText("Comment", ini.ReadString("PNG", "Text", ""));
  if (ini.ReadBool("PNG", "UseTrans", false))
    png.SetTransparency(ini.ReadColor("PNG", "TransColor", 0));
  out.extension = ".png";
  encodeLate(out, [&] { return png.saveToMemory(); });
}

// GIF output: the "GIF" settings choose the palette, the colour count of the optimised palette,
// nearest colour or a diffusion kernel, and the compression; assigning the bitmap reduces it.
void writeGif(Bitmap&& working, const TExtIniFile& ini, ConvertedFile& out) {
  if (ini.ReadBool("GIF", "UseTrans", false)) {
    working.transparent = true;
    working.transparentColor = ini.ReadColor("GIF", "TransColor", kColorAuto);
  }
  TGIFImage gif;
  gif.PaletteMethod = ini.ReadInteger("GIF", "Palette", 5) + 1;
  if (gif.PaletteMethod == kReduceOptimized)
    gif.setOptimisedBits(ini.ReadInteger("GIF", "Color", 5) + 3);
  gif.DitherMethod =
      ini.ReadBool("GIF", "Dither", true) ? kDitherNearest : ini.ReadInteger("GIF", "Error", 0) + 1;
  gif.GifCompression = ini.ReadInteger("GIF", "Compress", 0) == 1 ? kGifRLE : kGifLZW;
  gif.assign(working);
  working = Bitmap();  // the reduced copy is all the writer needs
  out.extension = ".gif";
  encodeLate(out, [&] { return gif.saveToMemory(); });
}

// WMF or EMF output: the bitmap as the one drawing of a metafile of its size.
void writeMetafile(Bitmap&& working, bool enhanced, ConvertedFile& out) {
  TMetafileEx metafile;
  metafile.Enhanced = enhanced;
  metafile.assign(std::move(working));
  out.extension = enhanced ? ".emf" : ".wmf";
  encodeLate(out, [&] { return metafile.saveToMemory(); });
}

// Icon output: the "ICO" settings give the size (the large and small system sizes, or "Size"),
// the bit count, transparency and the aspect-keeping shrink; the icon scales and reduces.
void writeIcon(Bitmap&& working, const TExtIniFile& ini, ConvertedFile& out) {
  const int sizeIndex = ini.ReadInteger("ICO", "SizeIndex", 0);
  const int size = sizeIndex == 0 || sizeIndex == 2   ? TRkIcon::kLargeIconSize
                   : sizeIndex == 1 || sizeIndex == 3 ? TRkIcon::kSmallIconSize
                                                      : ini.ReadInteger("ICO", "Size", 32);
  TRkIcon icon;
  icon.SetWidth(size);
  icon.SetHeight(size);
  static constexpr int kColorsBits[] = {1, 4, 8, 24, 32};
  const int colors = ini.ReadInteger("ICO", "Colors", 0);
  int bits = 0;
  if (colors >= 0 && colors < 5) {
    bits = kColorsBits[colors];
  } else {
    const long long count = ini.ReadInteger("ICO", "ColorCount", 256);
    while (bits < 32 && (1LL << bits) < count) ++bits;
  }
  icon.SetBitCount(bits);
  working.transparent = ini.ReadBool("ICO", "Trans", false);
  if (working.transparent)
    working.transparentColor = ini.ReadColor("ICO", "TransColor", kColorAuto);
  icon.SetStretchMode(ini.ReadBool("ICO", "Stretch", false) ? 2 : 0);
  icon.assign(working);
  working = Bitmap();
  out.extension = ".ico";
  encodeLate(out, [&] { return icon.saveToMemory(); });
}

}  // namespace

ConvertedFile ConvertFile(const ConvertJob& job, const ConvertContext& context) {
  ConvertedFile out;
  try {
    Bitmap working =
        LoadWorkingBitmap(context.images.ClassAt(job.reader), job.path,
                          [&](std::string_view message) { out.warnings.emplace_back(message); });
    const LoadedFormat loaded{PixelFormatToBits(PixelFormatOf(working)), working.palette()};
    Orientation edit;
    working = applyEdits(std::move(working), context.settings, job.format, edit);
    switch (job.format) {
      case kFormatBitmap:
        writeBitmap(std::move(working), loaded, context.ini, out);
        break;
      case kFormatJpeg:
        writeJpeg(std::move(working), job, edit, context, out);
        break;
      case kFormatPng:
        writePng(std::move(working), loaded, context.ini, out);
        break;
      case kFormatGif:
        writeGif(std::move(working), context.ini, out);
        break;
      case kFormatWmf:
      case kFormatEmf:
        writeMetafile(std::move(working), job.format == kFormatEmf, out);
        break;
      case kFormatIcon:
        writeIcon(std::move(working), context.ini, out);
        break;
      default:
        throw ConversionError("unknown output format " + std::to_string(job.format));
    }
  } catch (const std::exception& e) {
    out.failure = e.what();
  }
  return out;
}

}  // namespace vexo
