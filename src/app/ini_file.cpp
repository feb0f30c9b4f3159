#include "app/ini_file.h"

#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <exception>
#include <span>
#include <utility>

#include "core/byte_io.h"

namespace vexo {

namespace {

// A settings file is a few kilobytes; anything far larger is not one and is not read.
constexpr std::uint64_t kMaxIniBytes = 64u << 20;

char lowerAscii(char c) {
  return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c;
}

bool equalNoCase(std::string_view a, std::string_view b) {
  if (a.size() != b.size()) return false;
  for (std::size_t i = 0; i < a.size(); ++i)
    if (lowerAscii(a[i]) != lowerAscii(b[i])) return false;
  return true;
}

// The section name as a header: "[" and "]" added where missing.
std::string bracketed(std::string_view name) {
  std::string h;
  if (name.empty() || name.front() != '[') h += '[';
  h += name;
  if (name.empty() || name.back() != ']') h += ']';
  return h;
}

// Name part of a raw line (text before the first "="); lines without "=" have none.
bool lineName(std::string_view line, std::string_view& name) {
  auto eq = line.find('=');
  if (eq == std::string_view::npos) return false;
  name = line.substr(0, eq);
  return true;
}

int hexDigit(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

// Decimal with optional sign, or "$"/"0x"/"0X" followed by hexadecimal digits of a 32-bit value
// (so "$FFFFFFFF" is -1). Anything else, or a value out of range, does not parse.
bool parseInteger(std::string_view s, int& out) {
  bool hex = false;
  if (s.size() >= 2 && s[0] == '0' && (s[1] == 'x' || s[1] == 'X')) {
    s.remove_prefix(2);
    hex = true;
  } else if (!s.empty() && s[0] == '$') {
    s.remove_prefix(1);
    hex = true;
  }
  if (hex) {
    if (s.empty()) return false;
    std::uint64_t v = 0;
    for (char c : s) {
      int d = hexDigit(c);
      if (d < 0) return false;
      v = v * 16 + static_cast<unsigned>(d);
      if (v > 0xFFFFFFFFu) return false;
    }
    out = static_cast<int>(static_cast<std::uint32_t>(v));
    return true;
  }
  bool negative = false;
  if (!s.empty() && (s[0] == '-' || s[0] == '+')) {
    negative = s[0] == '-';
    s.remove_prefix(1);
  }
  if (s.empty()) return false;
  const std::int64_t limit = negative ? 2147483648LL : 2147483647LL;
  std::int64_t v = 0;
  for (char c : s) {
    if (c < '0' || c > '9') return false;
    v = v * 10 + (c - '0');
    if (v > limit) return false;
  }
  out = static_cast<int>(negative ? -v : v);
  return true;
}

// Index N of an item name key + "." + N, N written in plain decimal (as the writer makes it).
bool itemIndex(std::string_view name, std::string_view key, bool caseSensitive, long long& index) {
  if (name.size() < key.size() + 2 || name[key.size()] != '.') return false;
  std::string_view prefix = name.substr(0, key.size());
  if (caseSensitive ? prefix != key : !equalNoCase(prefix, key)) return false;
  std::string_view digits = name.substr(key.size() + 1);
  if (digits.size() > 10 || (digits.size() > 1 && digits[0] == '0')) return false;
  long long v = 0;
  for (char c : digits) {
    if (c < '0' || c > '9') return false;
    v = v * 10 + (c - '0');
  }
  index = v;
  return true;
}

// Creates path and its missing parents; failures are left for the later read or write to meet.
void makeFolders(const std::string& path, mode_t mode) {
  for (std::size_t pos = 1; pos <= path.size(); ++pos) {
    if (pos == path.size() || path[pos] == '/') {
      std::string part = path.substr(0, pos);
      if (!part.empty() && part.back() != '/' && !isDirectory(part)) ::mkdir(part.c_str(), mode);
    }
  }
}

std::string configHome() {
  const char* xdg = std::getenv("XDG_CONFIG_HOME");
  if (xdg && xdg[0] == '/') return xdg;  // relative values are ignored, as XDG asks
  const char* home = std::getenv("HOME");
  std::string h = home && home[0] ? home : "";
  if (h.empty()) {
    if (const passwd* pw = ::getpwuid(::getuid()); pw && pw->pw_dir) h = pw->pw_dir;
  }
  return h + "/.config";
}

// File name without folder and extension.
std::string baseName(const std::string& path) {
  auto slash = path.rfind('/');
  std::string name = slash == std::string::npos ? path : path.substr(slash + 1);
  auto dot = name.rfind('.');
  if (dot != std::string::npos && dot > 0) name.resize(dot);
  return name;
}

}  // namespace

std::string ExecutableFolder() {
  std::string exe = selfExePath();
  auto slash = exe.rfind('/');
  return slash == std::string::npos ? std::string() : exe.substr(0, slash + 1);
}

std::string DefaultFolderPath(TDefaultFolder folder, const std::string& exeBase) {
  std::string dir;
  mode_t mode = 0755;
  switch (folder) {
    case TDefaultFolder::dfAppData:
      dir = configHome() + "/" + exeBase;
      mode = 0700;  // settings are private to the user
      break;
    case TDefaultFolder::dfApplication:
      dir = ExecutableFolder();
      break;
    case TDefaultFolder::dfWindows:
      dir = "/etc";
      break;
    case TDefaultFolder::dfUser:
    default:
      return {};
  }
  if (dir.empty()) return {};
  if (dir.back() != '/') dir += '/';
  makeFolders(dir, mode);
  return dir;
}

TExtIniFile::TExtIniFile(std::string exeName) {
  exeBase_ = baseName(exeName.empty() ? selfExePath() : exeName);
  path_ = DefaultFolderPath(TDefaultFolder::dfApplication, exeBase_) + exeBase_ + ".ini";
  Reload();
}

TExtIniFile::~TExtIniFile() {
  if (AutoUpdate && !UpdateAtOnce && !unreadable_) writeModel(false);
}

void TExtIniFile::changePath(TDefaultFolder folder, const std::string& fileName) {
  if (AutoUpdate && !unreadable_) writeModel(true);
  path_ = DefaultFolderPath(folder, exeBase_) + fileName;
  Reload();
}

void TExtIniFile::SetDefaultFolder(TDefaultFolder folder) {
  changePath(folder, fileName_);
  defaultFolder_ = folder;
}

void TExtIniFile::SetFileName(const std::string& name) {
  changePath(defaultFolder_, name);
  fileName_ = name;
}

void TExtIniFile::Reload() {
  sections_.clear();
  unreadable_ = false;
  if (path_.empty() || !isRegularFile(path_)) return;
  std::vector<std::uint8_t> data;
  try {
    data = readWholeFile(path_, kMaxIniBytes);
  } catch (const std::exception&) {
    // Unreadable: the model stays empty, and the automatic write-backs leave the file alone so
    // that settings we could not read are not replaced by an empty file.
    unreadable_ = true;
    return;
  }
  std::string_view text(reinterpret_cast<const char*>(data.data()), data.size());
  if (text.starts_with("\xEF\xBB\xBF")) text.remove_prefix(3);  // editors may add a BOM
  std::size_t pos = 0;
  while (pos < text.size()) {
    std::size_t end = text.find_first_of("\r\n", pos);
    if (end == std::string_view::npos) end = text.size();
    std::string_view line = text.substr(pos, end - pos);
    pos = end;
    if (pos < text.size()) {  // skip CR, LF or CR LF
      pos += text[pos] == '\r' && pos + 1 < text.size() && text[pos + 1] == '\n' ? 2 : 1;
    }
    // Lines of fewer than two bytes (empty lines, stray characters) are dropped.
    if (line.size() < 2) continue;
    if (line.front() == '[' && line.back() == ']') {
      sections_.push_back({std::string(line), {}});
    } else if (!sections_.empty()) {
      sections_.back().lines.emplace_back(line);
    }
  }
  if (OnLoad) OnLoad();
}

std::string TExtIniFile::Text() const {
  std::string out;
  for (const Section& s : sections_) {
    out += s.header;
    out += "\r\n";
    for (const std::string& line : s.lines) {
      out += line;
      out += "\r\n";
    }
    out += "\r\n";
  }
  return out;
}

void TExtIniFile::writeModel(bool onlyNonEmpty) noexcept {
  if (onlyNonEmpty && sections_.empty()) return;
  if (path_.empty() || path_.back() == '/') return;  // no file name: nothing to write to
  try {
    std::string text = Text();
    // Write through a symbolic link to its target rather than replacing the link itself.
    std::string target = path_;
    if (char* real = ::realpath(path_.c_str(), nullptr)) {
      target = real;
      std::free(real);
    }
    writeFileAtomic(target,
                    std::span(reinterpret_cast<const std::uint8_t*>(text.data()), text.size()));
  } catch (...) {
    // An unwritable file is skipped silently; the model is kept.
  }
}

void TExtIniFile::UpdateFile() {
  writeModel(false);
  if (OnUpdate) OnUpdate();
}

bool TExtIniFile::sameName(std::string_view a, std::string_view b) const {
  return CaseSensitive ? a == b : equalNoCase(a, b);
}

const TExtIniFile::Section* TExtIniFile::findSection(std::string_view name) const {
  const std::string header = bracketed(name);
  for (const Section& s : sections_)
    if (sameName(s.header, header)) return &s;
  return nullptr;
}

TExtIniFile::Section* TExtIniFile::findSection(std::string_view name) {
  return const_cast<Section*>(std::as_const(*this).findSection(name));
}

TExtIniFile::Section& TExtIniFile::sectionFor(std::string_view name) {
  if (Section* s = findSection(name)) return *s;
  sections_.push_back({bracketed(name), {}});
  return sections_.back();
}

std::ptrdiff_t TExtIniFile::findLine(const Section& s, std::string_view key) const {
  for (std::size_t i = 0; i < s.lines.size(); ++i) {
    std::string_view name;
    if (lineName(s.lines[i], name) && sameName(name, key)) return static_cast<std::ptrdiff_t>(i);
  }
  return -1;
}

const std::string* TExtIniFile::findValue(std::string_view section, std::string_view key) const {
  const Section* s = findSection(section);
  if (!s) return nullptr;
  std::ptrdiff_t i = findLine(*s, key);
  return i < 0 ? nullptr : &s->lines[static_cast<std::size_t>(i)];
}

bool TExtIniFile::ReadBool(std::string_view section, std::string_view key, bool def) const {
  const std::string* line = findValue(section, key);
  if (!line) return def;
  std::string_view v = std::string_view(*line).substr(line->find('=') + 1);
  return v == "1" || equalNoCase(v, "true");
}

int TExtIniFile::ReadInteger(std::string_view section, std::string_view key, int def) const {
  const std::string* line = findValue(section, key);
  if (!line) return def;
  int v = 0;
  return parseInteger(std::string_view(*line).substr(line->find('=') + 1), v) ? v : def;
}

unsigned TExtIniFile::ReadColor(std::string_view section, std::string_view key,
                                unsigned def) const {
  return static_cast<unsigned>(ReadInteger(section, key, static_cast<int>(def)));
}

std::string TExtIniFile::ReadString(std::string_view section, std::string_view key,
                                    std::string_view def) const {
  const std::string* line = findValue(section, key);
  return line ? line->substr(line->find('=') + 1) : std::string(def);
}

void TExtIniFile::ReadStrings(std::string_view section, std::string_view key,
                              std::vector<std::string>& list) const {
  list.clear();
  const Section* s = findSection(section);
  if (!s) return;
  const long long count = ReadInteger(section, std::string(key) + ".count", 0);
  // Items are gathered in one pass over the lines rather than by looking up every index below
  // the stored count, which a damaged file may set to two billion.
  std::vector<std::pair<long long, std::size_t>> found;  // index, line
  for (std::size_t i = 0; i < s->lines.size(); ++i) {
    std::string_view name;
    long long index = 0;
    if (!lineName(s->lines[i], name) || !itemIndex(name, key, CaseSensitive, index) ||
        index >= count)
      continue;
    // Only the first line of a name counts.
    bool seen =
        std::any_of(found.begin(), found.end(), [&](const auto& f) { return f.first == index; });
    if (!seen) found.emplace_back(index, i);
  }
  std::sort(found.begin(), found.end());
  for (const auto& [index, i] : found)
    list.push_back(s->lines[i].substr(s->lines[i].find('=') + 1));
}

void TExtIniFile::store(std::string_view section, std::string_view key, std::string_view value) {
  Section& s = sectionFor(section);
  std::ptrdiff_t i = findLine(s, key);
  if (value.empty()) {
    // An empty value moves the key to the end of its section.
    if (i >= 0) s.lines.erase(s.lines.begin() + i);
    s.lines.push_back(std::string(key) + "=");
  } else if (i >= 0) {
    std::string& line = s.lines[static_cast<std::size_t>(i)];
    line.resize(line.find('=') + 1);
    line += value;
  } else {
    s.lines.push_back(std::string(key) + "=" + std::string(value));
  }
}

bool TExtIniFile::removeLine(Section& s, std::string_view key) {
  std::ptrdiff_t i = findLine(s, key);
  if (i < 0) return false;
  s.lines.erase(s.lines.begin() + i);
  return true;
}

void TExtIniFile::removeItems(Section& s, std::string_view key, long long from, long long to) {
  if (from >= to) return;
  std::vector<long long> seen;
  std::vector<bool> drop(s.lines.size(), false);
  for (std::size_t i = 0; i < s.lines.size(); ++i) {
    std::string_view name;
    long long index = 0;
    if (!lineName(s.lines[i], name) || !itemIndex(name, key, CaseSensitive, index) ||
        index < from || index >= to)
      continue;
    if (std::find(seen.begin(), seen.end(), index) != seen.end()) continue;  // first line only
    seen.push_back(index);
    drop[i] = true;
  }
  std::size_t i = 0;
  std::erase_if(s.lines, [&](const std::string&) { return drop[i++]; });
}

void TExtIniFile::afterChange() {
  if (UpdateAtOnce) UpdateFile();
}

void TExtIniFile::WriteBool(std::string_view section, std::string_view key, bool value) {
  store(section, key, value ? "1" : "0");
  afterChange();
}

void TExtIniFile::WriteInteger(std::string_view section, std::string_view key, int value) {
  store(section, key, std::to_string(value));
  afterChange();
}

void TExtIniFile::WriteColor(std::string_view section, std::string_view key, unsigned value) {
  char buf[16];
  std::snprintf(buf, sizeof buf, "$%08X", value);
  store(section, key, buf);
  afterChange();
}

void TExtIniFile::WriteString(std::string_view section, std::string_view key,
                              std::string_view value) {
  store(section, key, value);
  afterChange();
}

void TExtIniFile::WriteStrings(std::string_view section, std::string_view key,
                               const std::vector<std::string>& list) {
  const std::string k(key);
  const long long oldCount = ReadInteger(section, k + ".count", 0);
  store(section, key, "LIST");
  store(section, k + ".count", std::to_string(list.size()));
  for (std::size_t i = 0; i < list.size(); ++i)
    store(section, k + "." + std::to_string(i), list[i]);
  removeItems(sectionFor(section), key, static_cast<long long>(list.size()), oldCount);
  afterChange();
}

void TExtIniFile::DeleteKey(std::string_view section, std::string_view key) {
  if (Section* s = findSection(section); s) {
    std::ptrdiff_t i = findLine(*s, key);
    if (i >= 0) {
      const std::string& line = s->lines[static_cast<std::size_t>(i)];
      const std::string marker = line.substr(line.find('=') + 1);
      s->lines.erase(s->lines.begin() + i);
      static constexpr std::string_view kFont[] = {
          ".charset", ".color", ".height", ".name", ".pitch", ".b", ".i", ".u", ".s"};
      static constexpr std::string_view kForm[] = {".flags",  ".show",   ".state",  ".mx",
                                                   ".my",     ".left",   ".top",    ".right",
                                                   ".bottom", ".cwidth", ".cheight"};
      static constexpr std::string_view kBounds[] = {".left", ".top", ".width", ".height"};
      auto removeAll = [&](std::span<const std::string_view> suffixes) {
        for (std::string_view suffix : suffixes)
          removeLine(*s, std::string(key) + std::string(suffix));
      };
      if (equalNoCase(marker, "FONT")) {
        removeAll(kFont);
      } else if (equalNoCase(marker, "FORM")) {
        removeAll(kForm);
      } else if (equalNoCase(marker, "BOUNDS")) {
        removeAll(kBounds);
      } else if (equalNoCase(marker, "LIST")) {
        const long long count = ReadInteger(section, std::string(key) + ".count", 0);
        removeLine(*s, std::string(key) + ".count");
        removeItems(*s, key, 0, count);
      }
    }
  }
  afterChange();
}

void TExtIniFile::SaveFormPlacement(std::string_view section, std::string_view name,
                                    const FormPlacement& p) {
  const std::string n(name);
  store(section, name, "FORM");
  const std::pair<const char*, int> fields[] = {
      {".flags", p.flags}, {".show", p.show},     {".mx", p.mx},          {".my", p.my},
      {".left", p.left},   {".top", p.top},       {".right", p.right},    {".bottom", p.bottom},
      {".state", p.state}, {".cwidth", p.cwidth}, {".cheight", p.cheight}};
  for (const auto& [suffix, value] : fields) store(section, n + suffix, std::to_string(value));
  afterChange();
}

void TExtIniFile::RestoreFormPosition(std::string_view section, std::string_view name, int& left,
                                      int& top) const {
  const std::string n(name);
  left = ReadInteger(section, n + ".left", left);
  top = ReadInteger(section, n + ".top", top);
}

}  // namespace vexo
