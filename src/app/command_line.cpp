#include "app/command_line.h"

#include <dirent.h>
#include <sys/stat.h>

#include <algorithm>
#include <charconv>
#include <set>
#include <utility>

#include "app/ini_file.h"
#include "core/byte_io.h"

namespace vexo {

RunSettings ReadRunSettings(const TExtIniFile& ini) {
  RunSettings s;
  s.Report = ini.ReadBool("Options", "Report", false);
  s.ChangeSize = ini.ReadBool("Options", "ChangeSize", false);
  s.MaxSize = ini.ReadInteger("Options", "MaxSize", 0);
  s.Size = ini.ReadInteger("Options", "Size", 100);
  s.SizeUnit = ini.ReadInteger("Options", "SizeUnit", 1);
  s.Rotate = ini.ReadBool("Options", "Rotate", false);
  s.Angle = ini.ReadInteger("Options", "Angle", 0);
  s.ImageType = ini.ReadInteger("Options", "ImageType", kFormatJpeg);
  s.ShowDlg = ini.ReadBool("Options", "ShowDlg", false);
  s.HideProgress = ini.ReadBool("Options", "HideProgress", false);
  s.Mirror = ini.ReadBool("Options", "Mirror", false);
  s.Flip = ini.ReadBool("Options", "Flip", false);
  return s;
}

namespace {

char upper(char c) {
  return c >= 'a' && c <= 'z' ? static_cast<char>(c - 32) : c;
}

// A whole-string decimal integer with an optional sign.
bool parseInt(std::string_view text, int& value) {
  if (!text.empty() && text.front() == '+') text.remove_prefix(1);
  if (text.empty()) return false;
  auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), value);
  return ec == std::errc() && end == text.data() + text.size();
}

void applySizeSwitch(std::string_view arg, char letter, RunSettings& s) {
  const auto colon = arg.find(':', 2);
  if (colon == std::string_view::npos) return;
  auto text = arg.substr(colon + 1);
  if (!text.empty() && text.back() == '%') {
    s.SizeUnit = 1;
    text.remove_suffix(1);
  }
  int n;
  if (parseInt(text, n) && n > 0) {
    s.Size = n;
    s.MaxSize = letter == 'X' ? 1 : letter == 'Y' ? 2 : 0;
  }
}

void applySwitch(std::string_view arg, RunSettings& s) {
  if (arg.size() < 2) return;
  const char letter = upper(arg[1]);
  const char third = arg.size() > 2 ? upper(arg[2]) : '\0';
  switch (letter) {
    case 'D':
      s.ShowDlg = true;
      break;
    case 'F':
      s.Flip = true;
      break;
    case 'M':
      s.Mirror = true;
      break;
    case 'P':
      s.HideProgress = true;
      break;
    case 'S':
      s.Report = true;
      break;
    case 'G': {
      static constexpr std::string_view kLetters = "JBPGWEIX";
      const auto i = third ? kLetters.find(third) : std::string_view::npos;
      if (i != std::string_view::npos) s.ImageType = static_cast<int>(i);
      break;
    }
    case 'N':
      switch (third) {
        case 'D':
          s.ShowDlg = false;
          break;
        case 'F':
          s.Flip = false;
          break;
        case 'M':
          s.Mirror = false;
          break;
        case 'P':
          s.HideProgress = false;
          break;
        case 'R':
          s.Rotate = false;
          break;
        case 'S':
          s.Report = false;
          break;
        case 'Z':
          s.ChangeSize = false;
          break;
        default:
          break;
      }
      break;
    case 'R': {
      int n;
      if (parseInt(arg.substr(2), n) && n % 360 % 90 == 0) s.Angle = n % 360;
      break;
    }
    case 'X':
    case 'Y':
    case 'Z':
      applySizeSwitch(arg, letter, s);
      break;
    default:
      break;
  }
}

// "-X" is a switch unless a file of exactly that name exists; "/X" is a switch unless a file or
// folder of that name exists or it holds a second "/" (no switch does), so absolute paths stay
// paths, and a mistyped one is reported as missing instead of vanishing as a switch.
bool isSwitch(const std::string& arg) {
  if (arg[0] == '-') return !isRegularFile(arg);
  if (arg[0] == '/') return arg.find('/', 1) == std::string::npos && !pathExists(arg);
  return false;
}

void collect(const std::string& folder, FileList& out, std::set<std::pair<dev_t, ino_t>>& seen) {
  struct stat st {};
  if (::stat(folder.c_str(), &st) != 0 || !seen.insert({st.st_dev, st.st_ino}).second) return;
  const std::string base = folder.empty() || folder.back() == '/' ? folder : folder + "/";
  DIR* dir = ::opendir(base.c_str());
  if (!dir) return;
  std::vector<std::string> names;
  while (const dirent* e = ::readdir(dir)) {
    std::string name = e->d_name;
    if (name != "." && name != "..") names.push_back(std::move(name));
  }
  ::closedir(dir);
  std::sort(names.begin(), names.end(), FolderNameLess);
  for (const auto& name : names) {
    const std::string path = base + name;
    if (isDirectory(path))
      collect(path, out, seen);
    else
      out.push_back(path);
  }
}

}  // namespace

bool FolderNameLess(const std::string& a, const std::string& b) {
  auto fold = [](unsigned char c) { return c >= 'A' && c <= 'Z' ? c + 32 : int{c}; };
  const auto n = std::min(a.size(), b.size());
  for (std::size_t i = 0; i < n; ++i) {
    const int x = fold(static_cast<unsigned char>(a[i])),
              y = fold(static_cast<unsigned char>(b[i]));
    if (x != y) return x < y;
  }
  if (a.size() != b.size()) return a.size() < b.size();
  return a < b;
}

void ParseCommandLine(const std::vector<std::string>& args, RunSettings& settings,
                      FileList& files) {
  for (const auto& arg : args) {
    if (arg.empty()) continue;
    if (isSwitch(arg)) {
      applySwitch(arg, settings);
    } else if (isDirectory(arg)) {
      auto found = CollectFolderFiles(arg);
      files.insert(files.end(), found.begin(), found.end());
    } else {
      files.push_back(arg);
    }
  }
}

FileList CollectFolderFiles(const std::string& folder) {
  FileList out;
  std::set<std::pair<dev_t, ino_t>> seen;
  collect(folder, out, seen);
  return out;
}

}  // namespace vexo
