#include "app/pipeline.h"

#include <cmath>
#include <exception>
#include <memory>
#include <new>
#include <vector>

#include "app/front_end.h"
#include "app/ini_file.h"
#include "app/naming.h"
#include "core/byte_io.h"
#include "exif/exif.h"
#include "gif/gif.h"
#include "imaging/color_depth.h"
#include "imaging/edits.h"
#include "imaging/icon.h"
#include "imaging/metafile.h"
#include "input/bmp.h"
#include "input/images.h"
#include "jpeg/jpeg_ex.h"
#include "png/png.h"

namespace vexo {

namespace {

// A failure of this unit: a setting or edit that cannot be carried out for a file.
class ConversionError : public Error {
 public:
  using Error::Error;
};

struct RunState {
  int collisionPolicy;
  std::string outputFolder;
  bool useOutput;
  bool carryExif, exifThumb;
  int currentFormat;
  bool rememberAll = false;
  std::vector<std::string> report;
};

std::string withDelimiter(std::string folder) {
  if (!folder.empty() && folder.back() != '/') folder += '/';
  return folder;
}

std::string removeExtension(const std::string& path) {
  const auto slash = path.rfind('/');
  const auto dot = path.rfind('.');
  if (dot == std::string::npos || (slash != std::string::npos && dot < slash)) return path;
  return path.substr(0, dot);
}

std::string fileNameOf(const std::string& path) {
  const auto slash = path.rfind('/');
  return slash == std::string::npos ? path : path.substr(slash + 1);
}

// The edits of the settings, in the order resize, rotate, mirror, flip; edit receives what they
// did to the pixels' orientation. Icons are scaled by the icon writer instead of the resize step.
Bitmap applyEdits(Bitmap working, RunSettings& settings, int format, Orientation& edit) {
  edit = Orientation();
  if (settings.ChangeSize && format != kFormatIcon) {
    const Size2 size = ResizeTarget(working.width(), working.height(), settings);
    working = ResizeBitmap(working, size.width, size.height);
  }
  if (settings.Rotate) {
    if (settings.Angle < 0) settings.Angle += 360;
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

// Writes the resolved name through write(AtomicFile&); an existing file is replaced only when
// the naming chose to overwrite it.
template <class Write>
void save(const std::string& name, bool replace, Write&& write) {
  AtomicFile out(name);
  write(out);
  out.commit(replace);
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

std::string writeBitmap(Bitmap& working, const LoadedFormat& loaded, const TExtIniFile& ini,
                        OutputNamer& namer, const std::string& base) {
  working = applyColourDepth(std::move(working), ini.ReadInteger("BMP", "Color", 0),
                             ini.ReadBool("BMP", "Error", false), loaded);
  if (ini.ReadBool("BMP", "Mono", false)) working = MakeMonochrome(working);
  const std::string name = namer.ResolveOutputName(base, ".bmp");
  if (!name.empty())
    save(name, namer.replacing(), [&](AtomicFile& out) { WriteBmp(working, out); });
  return name;
}

// What the JPEG writer needs of the file beyond its bitmap: its source, for the Exif block.
struct JpegSource {
  const std::string& path;
  Orientation edit;
  bool carryExif, exifThumb;
  RunFrontEnd& frontEnd;
};

// JPEG output through the program's own encoder, with the "Jpeg" settings in the order the
// encoder takes them. With "Exif", the source's Exif block goes into an APP1 behind SOI; the
// file is assembled in memory and written once.
std::string writeJpeg(Bitmap&& working, const JpegSource& source, const TExtIniFile& ini,
                      OutputNamer& namer, const std::string& base) {
  TExifInfo exif;
  const bool carriesExif = source.carryExif && TExifInfo::HasExif(source.path);
  if (carriesExif) {
    exif.setImageFileName(source.path);
    exif.ApplyEdit(source.edit);
    exif.OnWarning = [&](std::string_view message) {
      source.frontEnd.FileWarning(source.path, std::string(message));
    };
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
  const std::string name = namer.ResolveOutputName(base, ".jpg");
  if (name.empty()) return name;
  std::span<const std::uint8_t> bytes = jpeg.compressedData();
  std::vector<std::uint8_t> withExif;
  if (carriesExif) {
    withExif = exif.WriteInto(bytes, source.exifThumb);
    bytes = withExif;
  }
  save(name, namer.replacing(), [&](AtomicFile& out) { out.write(bytes); });
  return name;
}

// PNG output: the colour depth of the bitmap branch, then the "PNG" writer settings. The
// comment is stored under the keyword "Comment", as PNG keywords may not be empty.
std::string writePng(Bitmap& working, const LoadedFormat& loaded, const TExtIniFile& ini,
                     OutputNamer& namer, const std::string& base) {
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
  const std::string name = namer.ResolveOutputName(base, ".png");
  if (!name.empty()) {
    save(name, namer.replacing(), [&](AtomicFile& out) {
      png.SaveTo([&](std::span<const std::uint8_t> bytes) { out.write(bytes); });
    });
  }
  return name;
}

// GIF output: the "GIF" settings choose the palette, the colour count of the optimised palette,
// nearest colour or a diffusion kernel, and the compression; assigning the bitmap reduces it.
std::string writeGif(Bitmap& working, const TExtIniFile& ini, OutputNamer& namer,
                     const std::string& base) {
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
  const std::string name = namer.ResolveOutputName(base, ".gif");
  if (!name.empty()) {
    const std::vector<std::uint8_t> bytes = gif.saveToMemory();
    save(name, namer.replacing(), [&](AtomicFile& out) { out.write(bytes); });
  }
  return name;
}

// WMF or EMF output: the bitmap as the one drawing of a metafile of its size.
std::string writeMetafile(const Bitmap& working, bool enhanced, OutputNamer& namer,
                          const std::string& base) {
  TMetafileEx metafile;
  metafile.Enhanced = enhanced;
  metafile.assign(working);
  const std::string name = namer.ResolveOutputName(base, enhanced ? ".emf" : ".wmf");
  if (!name.empty()) {
    const std::vector<std::uint8_t> bytes = metafile.saveToMemory();
    save(name, namer.replacing(), [&](AtomicFile& out) { out.write(bytes); });
  }
  return name;
}

// Icon output: the "ICO" settings give the size (the large and small system sizes, or "Size"),
// the bit count, transparency and the aspect-keeping shrink; the icon scales and reduces.
std::string writeIcon(Bitmap& working, const TExtIniFile& ini, OutputNamer& namer,
                      const std::string& base) {
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
  const std::string name = namer.ResolveOutputName(base, ".ico");
  if (!name.empty()) {
    const std::vector<std::uint8_t> bytes = icon.saveToMemory();
    save(name, namer.replacing(), [&](AtomicFile& out) { out.write(bytes); });
  }
  return name;
}

std::string writeOutput(int format, Bitmap& working, const LoadedFormat& loaded,
                        const JpegSource& source, const TExtIniFile& ini, OutputNamer& namer,
                        const std::string& base) {
  switch (format) {
    case kFormatBitmap:
      return writeBitmap(working, loaded, ini, namer, base);
    case kFormatJpeg:
      return writeJpeg(std::move(working), source, ini, namer, base);
    case kFormatPng:
      return writePng(working, loaded, ini, namer, base);
    case kFormatGif:
      return writeGif(working, ini, namer, base);
    case kFormatWmf:
      return writeMetafile(working, false, namer, base);
    case kFormatEmf:
      return writeMetafile(working, true, namer, base);
    case kFormatIcon:
      return writeIcon(working, ini, namer, base);
    default:
      throw ConversionError("unknown output format " + std::to_string(format));
  }
}

}  // namespace

Size2 ResizeTarget(int width, int height, const RunSettings& settings) {
  double factor;
  if (settings.SizeUnit != 0) {
    factor = settings.Size / 100.0;
  } else {
    const int reference = settings.MaxSize == 0   ? (width > height ? width : height)
                          : settings.MaxSize == 1 ? width
                                                  : height;
    factor = static_cast<double>(settings.Size) / reference;
    if (factor > 1) factor = 1;
  }
  auto scale = [factor](int side) {
    const long double v = static_cast<long double>(side) * static_cast<long double>(factor);
    const long double t = std::trunc(v);
    const int n = t >= 2147483647.0L ? 2147483647 : t <= 0 ? 0 : static_cast<int>(t);
    return n == 0 ? 1 : n;
  };
  return {scale(width), scale(height)};
}

void RunConversion(RunSettings& settings, const FileList& files, TExtIniFile& ini,
                   RunFrontEnd& frontEnd, const TImages& images) {
  RunState run{
      .collisionPolicy = ini.ReadInteger("Options", "Same", 1),
      .outputFolder = withDelimiter(ini.ReadString("Options", "Output", "")),
      .useOutput = ini.ReadBool("Options", "UseOutput", false),
      .carryExif = ini.ReadBool("Jpeg", "Exif", false),
      .exifThumb = ini.ReadBool("Jpeg", "ExifThumb", false),
      .currentFormat = settings.ImageType,
      .report = {},
  };
  OutputNamer namer(run.collisionPolicy, frontEnd);

  frontEnd.Prepare(static_cast<int>(files.size()), settings.HideProgress);
  if (!settings.HideProgress) frontEnd.Show();

  for (const auto& path : files) {
    frontEnd.Step(path);
    if (frontEnd.Stopped()) break;

    const std::string shown = DisplayName(path);
    const int reader = images.IndexOf(ExtractFileExt(path));
    if (reader < 0) {
      run.report.push_back("[-] " + shown + "(未対応)");
      continue;
    }

    if (settings.ImageType == kFormatAsk && !run.rememberAll) {
      int format = run.currentFormat;
      const int answer = frontEnd.AskFormat(path, format);
      if (answer == kSelectCancel) break;
      if (answer == kSelectSkip) continue;
      run.currentFormat = format;
      if (answer == kSelectAll) run.rememberAll = true;
    }

    try {
      // An output folder that is on but empty would mean the root folder: refuse it.
      if (run.useOutput && run.outputFolder.empty())
        throw ConversionError("the output folder is not set");
      Bitmap working = LoadWorkingBitmap(
          images.ClassAt(reader), path,
          [&](std::string_view message) { frontEnd.FileWarning(path, std::string(message)); });
      LoadedFormat loaded{PixelFormatToBits(PixelFormatOf(working)), working.palette()};
      Orientation edit;
      working = applyEdits(std::move(working), settings, run.currentFormat, edit);
      const std::string base =
          removeExtension(run.useOutput ? run.outputFolder + fileNameOf(path) : path);
      const JpegSource source{path, edit, run.carryExif, run.exifThumb, frontEnd};
      const std::string name =
          writeOutput(run.currentFormat, working, loaded, source, ini, namer, base);
      run.report.push_back(name.empty() ? "[S] " + shown
                                        : "[O] " + shown + " -> " + DisplayName(name));
    } catch (const std::exception& e) {
      run.report.push_back("[X] " + shown);
      frontEnd.FileFailed(path, std::string(e.what()));
    }
  }

  frontEnd.Close();
  if (settings.Report) frontEnd.ShowReport(run.report);
}

}  // namespace vexo
