#include "input/spi_host.h"

#include <dirent.h>
#include <dlfcn.h>
#include <malloc.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <atomic>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <utility>

#include "core/byte_io.h"
#include "input/bmp.h"
#include "input/images.h"

namespace vexo {

namespace {

constexpr std::size_t kHeaderBytes = SPI_HEADER_SIZE + 128;  // room for a MacBinary prefix
constexpr const char* kCouldNotDecode = "Susie Plugins could not decode";

std::atomic<bool> gHostExists{false};

// Blocks the host hands to plug-ins through SpiSetAllocator carry their size in front, so every
// size a plug-in returns can be checked against the block that holds it.
constexpr std::size_t kPrefix = alignof(std::max_align_t);

void* hostAlloc(std::size_t size) {
  if (size > SIZE_MAX - kPrefix) return nullptr;
  auto* raw = static_cast<unsigned char*>(std::malloc(size + kPrefix));
  if (!raw) return nullptr;
  std::memcpy(raw, &size, sizeof size);
  return raw + kPrefix;
}

void hostRelease(void* block) {
  if (block) std::free(static_cast<unsigned char*>(block) - kPrefix);
}

std::size_t hostBlockSize(const void* block) {
  std::size_t size = 0;
  std::memcpy(&size, static_cast<const unsigned char*>(block) - kPrefix, sizeof size);
  return size;
}

bool sameNoCase(std::string_view a, std::string_view b) {
  return a.size() == b.size() && std::equal(a.begin(), a.end(), b.begin(), [](char x, char y) {
           auto lower = [](char c) { return c >= 'A' && c <= 'Z' ? char(c - 'A' + 'a') : c; };
           return lower(x) == lower(y);
         });
}

std::string programFolder() {
  std::array<char, 4096> buf{};
  const ssize_t n = ::readlink("/proc/self/exe", buf.data(), buf.size() - 1);
  if (n <= 0) return {};
  std::string exe(buf.data(), static_cast<std::size_t>(n));
  return exe.substr(0, exe.rfind('/') + 1);
}

std::string withSlash(std::string folder) {
  if (!folder.empty() && folder.back() != '/') folder += '/';
  return folder;
}

// The progress callback handed to plug-ins: nothing can stop a decode from here.
std::int32_t progress(std::int32_t, std::int32_t, std::intptr_t) { return 0; }

}  // namespace

ESPIFOpenErrorSPI::ESPIFOpenErrorSPI(const std::string& path)
    : ESPIError(path + ":Susie Pluginがロードできませんでした") {}
ESPIInvalidAPI::ESPIInvalidAPI(const std::string& function, const std::string& path)
    : ESPIError(function + "は[" + path + "]では使えないSusie Plugin APIです") {}
ESPIInvalidSPI::ESPIInvalidSPI(const std::string& path)
    : ESPIError(path + ":Susie Pluginではありません") {}
ESPIDupCreateSPIs::ESPIDupCreateSPIs() : ESPIError("TSPIs は複数生成できません") {}

std::unique_ptr<TSPI> TSPI::Load(const std::string& path) {
  auto spi = std::unique_ptr<TSPI>(new TSPI);  // the constructor is private to Load
  spi->path_ = path;
  spi->handle_ = ::dlopen(path.c_str(), RTLD_NOW | RTLD_LOCAL);
  if (!spi->handle_) throw ESPIFOpenErrorSPI(path);
  auto find = [&](const char* name) { return ::dlsym(spi->handle_, name); };
  auto require = [&](const char* name) {
    if (!find(name)) throw ESPIInvalidAPI(name, path);
  };
  require("GetPluginInfo");
  spi->getPluginInfo_ = reinterpret_cast<SpiGetPluginInfoFn>(find("GetPluginInfo"));
  auto info = [&](std::int32_t number) {
    std::array<char, 256> buf{};
    const std::int32_t n = spi->getPluginInfo_(number, buf.data(), 255);
    if (n <= 0) return std::string();
    const std::size_t len = std::min<std::size_t>(static_cast<std::size_t>(n), 255);
    return std::string(buf.data(), strnlen(buf.data(), len));
  };
  if (auto* setAllocator = reinterpret_cast<SpiSetAllocatorFn>(find("SpiSetAllocator"))) {
    setAllocator(hostAlloc, hostRelease);
    spi->hostAllocator_ = true;
  }
  spi->version_ = info(0);
  if (spi->version_.empty()) throw ESPIInvalidSPI(path);
  spi->name_ = info(1);
  for (std::int32_t i = 2;; i += 2) {
    std::string filter = info(i), description = info(i + 1);
    if (filter.empty() || description.empty()) break;
    spi->filters_.push_back(std::move(filter));
    spi->descriptions_.push_back(std::move(description));
  }
  if (spi->version_ == "00IN") {
    spi->kind_ = Kind::kInput;
    for (const char* name : {"IsSupported", "GetPictureInfo", "GetPicture"}) require(name);
  } else if (spi->version_ == "00AM") {
    spi->kind_ = Kind::kArchive;
    for (const char* name : {"IsSupported", "GetArchiveInfo", "GetFileInfo", "GetFile"})
      require(name);
  } else if (spi->version_ == "00XN") {
    spi->kind_ = Kind::kExport;
  }
  spi->isSupported_ = reinterpret_cast<SpiIsSupportedFn>(find("IsSupported"));
  spi->getPictureInfo_ = reinterpret_cast<SpiGetPictureInfoFn>(find("GetPictureInfo"));
  spi->getPicture_ = reinterpret_cast<SpiGetPictureFn>(find("GetPicture"));
  spi->getPreview_ = reinterpret_cast<SpiGetPictureFn>(find("GetPreview"));
  spi->spiFree_ = reinterpret_cast<SpiFreeFn>(find("SpiFree"));
  return spi;
}

TSPI::~TSPI() {
  if (handle_) ::dlclose(handle_);
}

bool TSPI::HandlesExtension(std::string_view extension) const {
  for (const std::string& filter : filters_) {
    std::string_view rest = filter;
    while (!rest.empty()) {
      const auto semicolon = rest.find(';');
      const std::string_view pattern = rest.substr(0, semicolon);
      const auto dot = pattern.rfind('.');
      if (dot != std::string_view::npos && sameNoCase(pattern.substr(dot), extension)) return true;
      if (semicolon == std::string_view::npos) break;
      rest.remove_prefix(semicolon + 1);
    }
  }
  return false;
}

std::optional<Bitmap> TSPI::Decode(const std::string& path, std::span<const std::uint8_t> memory,
                                   std::span<const std::uint8_t> header, int offset,
                                   const DecodeLimits& limits) const {
  if (kind_ != Kind::kInput) return std::nullopt;
  if (!isSupported_(path.c_str(), header.data() + offset)) return std::nullopt;

  const bool fromMemory = !memory.empty();
  const char* buf = fromMemory ? reinterpret_cast<const char*>(memory.data()) : path.c_str();
  const std::intptr_t len = fromMemory ? static_cast<std::intptr_t>(memory.size()) : offset;
  const std::uint32_t flag = fromMemory ? SPI_INPUT_MEMORY : SPI_INPUT_FILE;

  // Every block the plug-in returns is released on every path.
  auto release = [this](void* block) {
    if (!block) return;
    if (hostAllocator_)
      hostRelease(block);
    else if (spiFree_)
      spiFree_(block);
    else
      std::free(block);
  };
  auto sizeOf = [this](const void* block) {
    return hostAllocator_ ? hostBlockSize(block) : ::malloc_usable_size(const_cast<void*>(block));
  };
  struct Blocks {
    std::function<void(void*)> release;
    void* info = nullptr;
    void* bits = nullptr;
    ~Blocks() {
      release(info);
      release(bits);
    }
  } blocks{release};

  SpiPictureInfo picture{};
  getPictureInfo_(buf, len, flag, &picture);
  release(picture.hInfo);
  if (getPicture_(buf, len, flag, &blocks.info, &blocks.bits, progress, 0) != SPI_OK ||
      !blocks.info || !blocks.bits)
    return std::nullopt;

  // The information block: a bitmap information header and its colour table, within the block.
  const std::size_t infoBytes = sizeOf(blocks.info), bitsBytes = sizeOf(blocks.bits);
  SpiBitmapInfoHeader head{};
  if (infoBytes < sizeof head) return std::nullopt;
  std::memcpy(&head, blocks.info, sizeof head);
  if (head.biSize < sizeof head || head.biSize > infoBytes || head.biWidth <= 0 ||
      head.biHeight == 0 || head.biHeight == INT32_MIN)
    return std::nullopt;
  const int bits = head.biBitCount;
  if (bits != 1 && bits != 4 && bits != 8 && bits != 16 && bits != 24 && bits != 32)
    return std::nullopt;
  std::uint64_t colors = head.biClrUsed;
  if (bits <= 8 && colors == 0) colors = std::uint64_t{1} << bits;
  if (bits > 8 && head.biCompression != SPI_BI_BITFIELDS) colors = 0;
  if (head.biCompression == SPI_BI_BITFIELDS) colors = 3;
  if (colors > 256 || head.biSize + 4 * colors > infoBytes) return std::nullopt;
  const std::uint64_t rows = static_cast<std::uint64_t>(head.biHeight < 0 ? -std::int64_t{head.biHeight}
                                                                          : head.biHeight);
  const std::uint64_t stride = (static_cast<std::uint64_t>(head.biWidth) * bits + 31) / 32 * 4;
  if (rows > limits.maxImageBytes / stride) return std::nullopt;
  const std::uint64_t imageBytes = stride * rows;
  if (imageBytes > bitsBytes) return std::nullopt;

  // As a bitmap file, read by the project's bitmap reader.
  const std::uint64_t tableBytes = head.biSize + 4 * colors;
  std::vector<std::uint8_t> file(14 + tableBytes + imageBytes);
  const auto put32 = [&file](std::size_t at, std::uint32_t v) {
    for (int i = 0; i < 4; ++i) file[at + i] = static_cast<std::uint8_t>(v >> (8 * i));
  };
  file[0] = 'B';
  file[1] = 'M';
  put32(2, static_cast<std::uint32_t>(std::min<std::uint64_t>(file.size(), UINT32_MAX)));
  put32(10, static_cast<std::uint32_t>(14 + tableBytes));
  std::memcpy(file.data() + 14, blocks.info, tableBytes);
  std::memcpy(file.data() + 14 + tableBytes, blocks.bits, imageBytes);
  try {
    return ReadBmp(file, limits);
  } catch (const Error&) {
    return std::nullopt;
  }
}

TSPIs::TSPIs() {
  if (gHostExists.exchange(true)) throw ESPIDupCreateSPIs();
}

TSPIs::~TSPIs() {
  plugins_.clear();
  gHostExists = false;
}

int TSPIs::IndexOf(std::string_view path) const {
  for (std::size_t i = 0; i < plugins_.size(); ++i)
    if (sameNoCase(plugins_[i]->Path(), path)) return static_cast<int>(i);
  return -1;
}

void TSPIs::Add(std::unique_ptr<TSPI> plugin) {
  const TSPI& spi = *plugin;
  plugins_.push_back(std::move(plugin));
  if (spi.kind() != TSPI::Kind::kInput || !OnPictureRegister) return;
  for (std::size_t i = 0; i < spi.Filters().size(); ++i) {
    // Patterns from the right end: "*.pic;*.pi2" registers pi2, then pic.
    std::string_view rest = spi.Filters()[i];
    for (;;) {
      const auto semicolon = rest.rfind(';');
      const std::string_view pattern =
          semicolon == std::string_view::npos ? rest : rest.substr(semicolon + 1);
      const auto dot = pattern.find('.');
      if (dot != std::string_view::npos)
        OnPictureRegister(spi, spi.Descriptions()[i], std::string(pattern.substr(dot + 1)));
      if (semicolon == std::string_view::npos) break;
      rest = rest.substr(0, semicolon);
    }
  }
}

std::vector<std::string> PluginFolders(const std::vector<TSPISearchOption>& options) {
  std::vector<std::string> folders;
  for (TSPISearchOption option : options) switch (option) {
      case TSPISearchOption::spsSusieDir:
        if (const char* dir = std::getenv("SUSIE_PLUGIN_PATH"); dir && *dir)
          folders.push_back(withSlash(dir));
        break;
      case TSPISearchOption::spsAppDir: {
        const std::string program = programFolder();
        if (!program.empty()) {
          folders.push_back(program + "../lib/vexo/plugins/");
          folders.push_back(program);
        }
        break;
      }
      case TSPISearchOption::spsCurrentDir:
        folders.push_back("./");
        break;
      case TSPISearchOption::spsSystemDir:
        folders.push_back("/usr/lib/");
        break;
      case TSPISearchOption::spsWindowsDir:
        folders.push_back("/etc/");
        break;
    }
  return folders;
}

void TSPIs::Search(const std::string& mask) {
  const auto slash = mask.rfind('/');
  const std::string pattern = slash == std::string::npos ? mask : mask.substr(slash + 1);
  const std::vector<std::string> folders = slash == std::string::npos
                                               ? PluginFolders(SearchOptions)
                                               : std::vector{mask.substr(0, slash + 1)};
  const std::string suffix = pattern.size() > 1 && pattern[0] == '*' ? pattern.substr(1) : pattern;
  for (const std::string& folder : folders) {
    DIR* dir = ::opendir(folder.c_str());
    if (!dir) continue;
    std::vector<std::string> names;
    while (const dirent* entry = ::readdir(dir)) {
      const std::string name = entry->d_name;
      if (name.size() >= suffix.size() &&
          sameNoCase(std::string_view(name).substr(name.size() - suffix.size()), suffix))
        names.push_back(name);
    }
    ::closedir(dir);
    std::sort(names.begin(), names.end());
    for (const std::string& name : names) {
      const std::string path = folder + name;
      if (!isRegularFile(path) || IndexOf(path) >= 0) continue;
      try {
        Add(TSPI::Load(path));
      } catch (const ESPIFOpenErrorSPI&) {
      } catch (const ESPIInvalidSPI&) {
      }
    }
  }
}

Bitmap TSPIs::Decode(const std::string& path, std::span<const std::uint8_t> memory,
                     const DecodeLimits& limits) const {
  const std::lock_guard lock(decoding_);
  // The first bytes of the file, zero past its end.
  std::vector<std::uint8_t> header(kHeaderBytes, 0);
  if (!memory.empty()) {
    std::memcpy(header.data(), memory.data(), std::min(memory.size(), header.size()));
  } else {
    std::ifstream in(path, std::ios::binary);
    in.read(reinterpret_cast<char*>(header.data()), static_cast<std::streamsize>(header.size()));
  }
  // The plug-ins that name the extension first, each before the earlier ones; then the rest.
  const std::string extension = ExtractFileExt(path);
  std::vector<const TSPI*> candidates;
  for (const auto& spi : plugins_)
    if (spi->kind() == TSPI::Kind::kInput) candidates.push_back(spi.get());
  if (!extension.empty()) {
    std::vector<const TSPI*> front, rest;
    for (const TSPI* spi : candidates)
      (spi->HandlesExtension(extension) ? front : rest).push_back(spi);
    std::reverse(front.begin(), front.end());
    candidates = front;
    candidates.insert(candidates.end(), rest.begin(), rest.end());
  }
  for (const TSPI* spi : candidates)
    for (int offset : {0, 128}) {
      if (offset == 128 && !MacBinary) break;
      if (auto bitmap = spi->Decode(path, memory, header, offset, limits)) return *std::move(bitmap);
    }
  throw Error(kCouldNotDecode);
}

namespace {

class TSPIBitmap : public Graphic {
 public:
  explicit TSPIBitmap(const TSPIs& host) : host_(host) {}

  void loadFromFile(const std::string& path) override { load(path, {}); }
  void loadFromMemory(std::span<const std::uint8_t> data) override { load({}, data); }
  int width() const override { return bitmap_.width(); }
  int height() const override { return bitmap_.height(); }
  void draw(Bitmap& target, int x, int y) const override { drawBitmap24(bitmap_, target, x, y); }
  std::optional<Bitmap> releaseBitmap24() override { return std::exchange(bitmap_, Bitmap()); }

 private:
  // Two candidates in turn: the plug-ins, then the bitmap reader; for ".bmp" the other way round.
  void load(const std::string& path, std::span<const std::uint8_t> memory) {
    auto plugins = [&] { return host_.Decode(path, memory, limits()); };
    auto bitmapReader = [&] {
      if (!memory.empty()) return ReadBmp(memory, limits());
      const std::vector<std::uint8_t> data = readWholeFile(path, limits().maxImageBytes);
      return ReadBmp(data, limits());
    };
    const bool bmpFirst = sameNoCase(ExtractFileExt(path), ".bmp");
    for (int attempt = 0; attempt < 2; ++attempt) {
      try {
        bitmap_ = (attempt == 0) == bmpFirst ? bitmapReader() : plugins();
        return;
      } catch (const Error&) {
      }
    }
    throw Error(kCouldNotDecode);
  }

  const TSPIs& host_;
  Bitmap bitmap_;
};

}  // namespace

GraphicFactory SpiGraphicFactory(const TSPIs& host) {
  return [&host] { return std::make_unique<TSPIBitmap>(host); };
}

}  // namespace vexo
