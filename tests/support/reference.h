// Test helpers shared by the codec tests: temporary folders, files, running a command and
// capturing its output, and decoding an image with independent decoders (Pillow, ImageMagick)
// into the same layout as bitmapRgb gives for our own Bitmap: top-down rows of R,G,B bytes.
#pragma once
#include <sys/wait.h>

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <stdexcept>
#include <string>
#include <vector>

#include "core/bitmap.h"

namespace vexo::test {

// A fresh folder below the system temporary folder, removed with everything in it.
class TempDir {
 public:
  TempDir() {
    std::string templ = (std::filesystem::temp_directory_path() / "vexo-test-XXXXXX").string();
    if (!::mkdtemp(templ.data())) throw std::runtime_error("mkdtemp failed");
    path_ = templ;
  }
  ~TempDir() {
    std::error_code ec;
    std::filesystem::remove_all(path_, ec);
  }
  TempDir(const TempDir&) = delete;
  TempDir& operator=(const TempDir&) = delete;

  const std::filesystem::path& path() const { return path_; }
  std::string file(const std::string& name) const { return (path_ / name).string(); }

 private:
  std::filesystem::path path_;
};

inline void writeFile(const std::string& path, const std::vector<std::uint8_t>& bytes) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out.write(reinterpret_cast<const char*>(bytes.data()),
            static_cast<std::streamsize>(bytes.size()));
  if (!out) throw std::runtime_error("cannot write " + path);
}

inline std::vector<std::uint8_t> readFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  if (!in) throw std::runtime_error("cannot read " + path);
  return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

// Quotes a text for /bin/sh.
inline std::string shellQuote(const std::string& s) {
  std::string q = "'";
  for (char c : s) q += c == '\'' ? std::string("'\\''") : std::string(1, c);
  return q + "'";
}

// Runs cmd through /bin/sh and returns its standard output (binary safe); the exit status goes
// to *exitCode (-1 when the command did not exit normally).
inline std::string runCommand(const std::string& cmd, int* exitCode = nullptr) {
  FILE* pipe = ::popen(cmd.c_str(), "r");
  if (!pipe) throw std::runtime_error("popen failed: " + cmd);
  std::string out;
  char buf[65536];
  std::size_t n;
  while ((n = std::fread(buf, 1, sizeof buf, pipe)) > 0) out.append(buf, n);
  const int status = ::pclose(pipe);
  if (exitCode) *exitCode = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
  return out;
}

// Decodes the file with Pillow, converted to RGB. Returns an empty vector (and w = h = 0) when
// Pillow refuses the file.
inline std::vector<std::uint8_t> pillowRgb(const std::string& path, int& w, int& h) {
  static const char* const kScript =
      "import sys\n"
      "from PIL import Image\n"
      "im = Image.open(sys.argv[1]).convert('RGB')\n"
      "sys.stdout.buffer.write(b'%d %d\\n' % im.size + im.tobytes())\n";
  int code = 0;
  const std::string out = runCommand(
      "/usr/bin/python3 -c " + shellQuote(kScript) + " " + shellQuote(path) + " 2>/dev/null",
      &code);
  w = h = 0;
  const auto nl = out.find('\n');
  if (code != 0 || nl == std::string::npos) return {};
  if (std::sscanf(out.c_str(), "%d %d", &w, &h) != 2) return {};
  std::vector<std::uint8_t> rgb(out.begin() + static_cast<std::ptrdiff_t>(nl) + 1, out.end());
  if (rgb.size() != static_cast<std::size_t>(w) * static_cast<std::size_t>(h) * 3) {
    w = h = 0;
    return {};
  }
  return rgb;
}

// A binary PGM or PPM image: top-down samples, 1 (gray) or 3 (R, G, B) per pixel.
struct Pnm {
  int width = 0, height = 0, channels = 0;
  std::vector<std::uint8_t> samples;
  // R, G, B per pixel, gray replicated.
  std::vector<std::uint8_t> rgb() const {
    if (channels == 3) return samples;
    std::vector<std::uint8_t> out(samples.size() * 3);
    for (std::size_t i = 0; i < out.size(); ++i) out[i] = samples[i / 3];
    return out;
  }
};

// Parses a P5 or P6 image with maxval 255; empty (width 0) when it is anything else.
inline Pnm parsePnm(const std::string& data) {
  Pnm p;
  char kind = 0;
  int maxval = 0, used = 0;
  if (std::sscanf(data.c_str(), "P%c %d %d %d%n", &kind, &p.width, &p.height, &maxval, &used) !=
          4 ||
      maxval != 255 || (kind != '5' && kind != '6') || p.width < 1 || p.height < 1)
    return {};
  p.channels = kind == '6' ? 3 : 1;
  const std::size_t begin = static_cast<std::size_t>(used) + 1;  // one whitespace byte
  const std::size_t size = static_cast<std::size_t>(p.width) * p.height * p.channels;
  if (data.size() != begin + size) return {};
  p.samples.assign(data.begin() + static_cast<std::ptrdiff_t>(begin), data.end());
  return p;
}

// Decodes a JPEG file with libjpeg's djpeg and the given options (such as "-dct float
// -nosmooth"). exitCode gets djpeg's status: 0 clean, 2 after warnings, 1 on an error.
inline Pnm djpeg(const std::string& path, const std::string& options = "",
                 int* exitCode = nullptr) {
  return parsePnm(runCommand(
      "/usr/bin/djpeg " + options + " -pnm " + shellQuote(path) + " 2>/dev/null", exitCode));
}

// Decodes the file with ImageMagick (/usr/bin/convert) to 8-bit RGB; alpha is dropped, not
// composited. Empty (w = h = 0) when ImageMagick fails or reports an error.
inline std::vector<std::uint8_t> magickRgb(const std::string& path, int& w, int& h) {
  int code = 0;
  const std::string out = runCommand(
      "/usr/bin/convert " + shellQuote(path) + "[0] -alpha off -depth 8 ppm:- 2>/dev/null", &code);
  w = h = 0;
  int maxval = 0, used = 0;
  if (code != 0 || std::sscanf(out.c_str(), "P6 %d %d %d%n", &w, &h, &maxval, &used) != 3 ||
      maxval != 255) {
    w = h = 0;
    return {};
  }
  std::vector<std::uint8_t> rgb(out.begin() + used + 1, out.end());  // one whitespace byte
  if (rgb.size() != static_cast<std::size_t>(w) * static_cast<std::size_t>(h) * 3) {
    w = h = 0;
    return {};
  }
  return rgb;
}

// Our 24-bit Bitmap as top-down R,G,B rows without padding.
inline std::vector<std::uint8_t> bitmapRgb(const Bitmap& bitmap) {
  if (bitmap.bits() != 24) throw std::runtime_error("bitmapRgb needs a 24-bit bitmap");
  std::vector<std::uint8_t> rgb;
  rgb.reserve(static_cast<std::size_t>(bitmap.width()) * static_cast<std::size_t>(bitmap.height()) *
              3);
  for (int y = 0; y < bitmap.height(); ++y) {
    const std::uint8_t* p = bitmap.row(y);
    for (int x = 0; x < bitmap.width(); ++x, p += 3) rgb.insert(rgb.end(), {p[2], p[1], p[0]});
  }
  return rgb;
}

// Largest difference between two equally sized RGB buffers (256 when the sizes differ).
inline int maxDifference(const std::vector<std::uint8_t>& a, const std::vector<std::uint8_t>& b) {
  if (a.size() != b.size()) return 256;
  int worst = 0;
  for (std::size_t i = 0; i < a.size(); ++i) worst = std::max(worst, std::abs(a[i] - b[i]));
  return worst;
}

// Every regular file below dir, sorted by path.
inline std::vector<std::string> filesBelow(const std::string& dir) {
  std::vector<std::string> files;
  for (const auto& e : std::filesystem::recursive_directory_iterator(dir))
    if (e.is_regular_file()) files.push_back(e.path().string());
  std::sort(files.begin(), files.end());
  return files;
}

// A parameterised test's name made from any text: letters and digits kept, every other run of
// characters one underscore ("-sample 2x2" gives "sample_2x2").
inline std::string TestName(const std::string& text) {
  std::string name;
  for (char c : text) {
    const bool keep = (c >= '0' && c <= '9') || (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z');
    if (keep)
      name += c;
    else if (!name.empty() && name.back() != '_')
      name += '_';
  }
  while (!name.empty() && name.back() == '_') name.pop_back();
  return name.empty() ? "none" : name;
}

}  // namespace vexo::test
