#include "input/spi_host.h"

#include <dirent.h>
#include <dlfcn.h>
#include <malloc.h>

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

constexpr const char* kCouldNotDecode = "Susie Plugins could not decode";
constexpr std::int32_t kMaxFormats = 256;  // filter and description pairs read of one plug-in

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

std::string programFolder() {
  const std::string exe = selfExePath();
  return exe.substr(0, exe.rfind('/') + 1);
}

std::string withSlash(std::string folder) {
  if (!folder.empty() && folder.back() != '/') folder += '/';
  return folder;
}

// The progress callback handed to plug-ins: nothing can stop a decode from here.
std::int32_t progress(std::int32_t, std::int32_t, std::intptr_t) {
  return 0;
}

}  // namespace

ESPIFOpenErrorSPI::ESPIFOpenErrorSPI(const std::string& path)
    : ESPIError(path + ":Susie Pluginがロードできませんでした") {}
ESPIInvalidAPI::ESPIInvalidAPI(const std::string& function, const std::string& path)
    : ESPIError(function + "は[" + path + "]では使えないSusie Plugin APIです") {}
ESPIInvalidSPI::ESPIInvalidSPI(const std::string& path)
    : ESPIError(path + ":Susie Pluginではありません") {}
ESPIDupCreateSPIs::ESPIDupCreateSPIs() : ESPIError("TSPIs は複数生成できません") {}

TSPI::TSPI(const std::string& path) : path_(path) {
  handle_ = ::dlopen(path.c_str(), RTLD_NOW | RTLD_LOCAL);
  if (!handle_) throw ESPIFOpenErrorSPI(path);
  // From here the destructor does not run on a throw: the handle is closed by hand.
  try {
    Require("GetPluginInfo");
    const auto getPluginInfo = reinterpret_cast<SpiGetPluginInfoFn>(Function("GetPluginInfo"));
    if (auto* setAllocator = reinterpret_cast<SpiSetAllocatorFn>(Function("SpiSetAllocator"))) {
      setAllocator(hostAlloc, hostRelease);
      hostAllocator_ = true;
    }
    spiFree_ = reinterpret_cast<SpiFreeFn>(Function("SpiFree"));
    auto info = [&](std::int32_t number) {
      std::array<char, 256> buf{};
      const std::int32_t n = getPluginInfo(number, buf.data(), 255);
      if (n <= 0) return std::string();
      return std::string(buf.data(),
                         strnlen(buf.data(), std::min(std::size_t(n), std::size_t(255))));
    };
    version_ = info(0);
    if (version_.empty()) throw ESPIInvalidSPI(path);
    name_ = info(1);
    // Pairs while both have text; a plug-in that never stops is cut off.
    for (std::int32_t i = 2; i < 2 + 2 * kMaxFormats; i += 2) {
      std::string filter = info(i), description = info(i + 1);
      if (filter.empty() || description.empty()) break;
      filters_.push_back(std::move(filter));
      descriptions_.push_back(std::move(description));
    }
  } catch (...) {
    ::dlclose(handle_);
    throw;
  }
}

TSPI::~TSPI() {
  ::dlclose(handle_);
}

std::unique_ptr<TSPI> TSPI::Load(const std::string& path) {
  // Loaded first as the base class to learn the version, then again as its class.
  const std::string version = TSPI(path).ApiVersion();
  if (version == "00IN") return std::make_unique<TInSPI>(path);
  if (version == "00AM") return std::make_unique<TAmSPI>(path);
  if (version == "00XN") return std::make_unique<TXnSPI>(path);
  return std::make_unique<TSPI>(path);
}

void* TSPI::Function(const char* name) const {
  return ::dlsym(handle_, name);
}

void TSPI::Require(const char* name) const {
  if (!Function(name)) throw ESPIInvalidAPI(name, path_);
}

bool TSPI::HandlesExtension(std::string_view extension) const {
  for (const std::string& filter : filters_) {
    std::string_view rest = filter;
    while (!rest.empty()) {
      const auto semicolon = rest.find(';');
      const std::string_view pattern = rest.substr(0, semicolon);
      const auto dot = pattern.rfind('.');
      if (dot != std::string_view::npos && equalsNoCase(pattern.substr(dot), extension))
        return true;
      if (semicolon == std::string_view::npos) break;
      rest.remove_prefix(semicolon + 1);
    }
  }
  return false;
}

std::size_t TSPI::BlockSize(const void* block) const {
  return hostAllocator_ ? hostBlockSize(block) : ::malloc_usable_size(const_cast<void*>(block));
}

void TSPI::Release(void* block) const {
  if (!block) return;
  if (hostAllocator_)
    hostRelease(block);
  else if (spiFree_)
    spiFree_(block);
  else
    std::free(block);
}

TLoaderSPI::TLoaderSPI(const std::string& path) : TSPI(path) {
  Require("IsSupported");
  isSupported_ = reinterpret_cast<SpiIsSupportedFn>(Function("IsSupported"));
}

bool TLoaderSPI::IsSupported(const std::string& path, const std::uint8_t* head) const {
  return isSupported_(path.c_str(), head) != 0;
}

TInSPI::TInSPI(const std::string& path) : TLoaderSPI(path) {
  Require("GetPictureInfo");
  Require("GetPicture");
  getPictureInfo_ = reinterpret_cast<SpiGetPictureInfoFn>(Function("GetPictureInfo"));
  getPicture_ = reinterpret_cast<SpiGetPictureFn>(Function("GetPicture"));
  getPreview_ = reinterpret_cast<SpiGetPictureFn>(Function("GetPreview"));
  setMemoryLimit_ = reinterpret_cast<SpiSetMemoryLimitFn>(Function("SpiSetMemoryLimit"));
}

bool TInSPI::GetPicture(TInSPIAbleData& job, int offset, bool preview,
                        const DecodeLimits& limits) const {
  if (!IsSupported(job.Path(), job.Header(offset))) return false;
  // A file by name with the offset as its length, or the file image from the offset on.
  const auto memory = job.Memory();
  if (!memory.empty() && memory.size() <= static_cast<std::size_t>(offset)) return false;
  const char* buf =
      memory.empty() ? job.Path().c_str() : reinterpret_cast<const char*>(memory.data() + offset);
  const std::intptr_t len =
      memory.empty() ? offset : static_cast<std::intptr_t>(memory.size() - offset);
  const std::uint32_t flag = memory.empty() ? SPI_INPUT_FILE : SPI_INPUT_MEMORY;

  if (setMemoryLimit_) setMemoryLimit_(limits.maxImageBytes);
  SpiPictureInfo picture{};
  getPictureInfo_(buf, len, flag, &picture);
  Release(picture.hInfo);
  for (SpiGetPictureFn get : {preview ? getPreview_ : nullptr, getPicture_}) {
    if (!get) continue;
    void* info = nullptr;
    void* bits = nullptr;
    const std::int32_t result = get(buf, len, flag, &info, &bits, progress, 0);
    if (result == SPI_OK && info && bits) {
      job.Take(*this, info, bits);
      return true;
    }
    // On an error both are taken as empty; what came back anyway is released.
    Release(info);
    Release(bits);
  }
  return false;
}

TAmSPI::TAmSPI(const std::string& path) : TLoaderSPI(path) {
  for (const char* name : {"GetArchiveInfo", "GetFileInfo", "GetFile"}) Require(name);
}

TInSPIAbleData::TInSPIAbleData(std::string path, std::span<const std::uint8_t> memory)
    : path_(std::move(path)), memory_(memory), header_(kHeaderBytes, 0) {
  // The first bytes of the file, zero past its end or where reading fails.
  if (!memory.empty()) {
    std::memcpy(header_.data(), memory.data(), std::min(memory.size(), header_.size()));
  } else {
    std::ifstream in(path_, std::ios::binary);
    in.read(reinterpret_cast<char*>(header_.data()), static_cast<std::streamsize>(header_.size()));
  }
}

std::span<const std::uint8_t> TInSPIAbleData::Info() const {
  if (!info_) return {};
  return {static_cast<const std::uint8_t*>(info_), owner_->BlockSize(info_)};
}

std::span<const std::uint8_t> TInSPIAbleData::Bits() const {
  if (!bits_) return {};
  return {static_cast<const std::uint8_t*>(bits_), owner_->BlockSize(bits_)};
}

void TInSPIAbleData::Take(const TSPI& owner, void* info, void* bits) {
  Reset();
  owner_ = &owner;
  info_ = info;
  bits_ = bits;
}

void TInSPIAbleData::Reset() {
  if (!owner_) return;
  owner_->Release(info_);
  owner_->Release(bits_);
  owner_ = nullptr;
  info_ = bits_ = nullptr;
}

Bitmap SpiBlocksToBitmap(std::span<const std::uint8_t> info, std::span<const std::uint8_t> bits,
                         const DecodeLimits& limits) {
  // The information block: a bitmap information header and its colour table, within the block.
  SpiBitmapInfoHeader head{};
  if (info.size() < sizeof head) throw Error(kCouldNotDecode);
  std::memcpy(&head, info.data(), sizeof head);
  if (head.biSize < sizeof head || head.biSize > info.size() || head.biWidth <= 0 ||
      head.biHeight == 0 || head.biHeight == INT32_MIN)
    throw Error(kCouldNotDecode);
  const int bitCount = head.biBitCount;
  if (bitCount != 1 && bitCount != 4 && bitCount != 8 && bitCount != 16 && bitCount != 24 &&
      bitCount != 32)
    throw Error(kCouldNotDecode);
  // Colours in use: 0 means all of them up to 8 bits and none above; bit fields have 3 masks.
  std::uint64_t colors = head.biClrUsed;
  if (bitCount <= 8 && colors == 0) colors = std::uint64_t{1} << bitCount;
  if (bitCount > 8) colors = head.biCompression == SPI_BI_BITFIELDS ? 3 : 0;
  const std::uint64_t tableBytes = head.biSize + 4 * colors;
  if (colors > 256 || tableBytes > info.size()) throw Error(kCouldNotDecode);
  const std::uint64_t rows = head.biHeight < 0 ? -std::int64_t{head.biHeight} : head.biHeight;
  const std::uint64_t stride = SPI_ROW_BYTES(head.biWidth, bitCount);
  if (rows > limits.maxImageBytes / stride || stride * rows > bits.size())
    throw Error(kCouldNotDecode);
  const std::uint64_t imageBytes = stride * rows;

  // As a bitmap file, read by the bitmap reader.
  std::vector<std::uint8_t> file(14 + tableBytes + imageBytes);
  const auto put32 = [&file](std::size_t at, std::uint32_t v) {
    for (int i = 0; i < 4; ++i) file[at + i] = static_cast<std::uint8_t>(v >> (8 * i));
  };
  file[0] = 'B';
  file[1] = 'M';
  put32(2, static_cast<std::uint32_t>(std::min<std::uint64_t>(file.size(), UINT32_MAX)));
  put32(10, static_cast<std::uint32_t>(14 + tableBytes));
  std::memcpy(file.data() + 14, info.data(), tableBytes);
  std::memcpy(file.data() + 14 + tableBytes, bits.data(), imageBytes);
  try {
    return ReadBmp(file, limits);
  } catch (const Error&) {
    throw Error(kCouldNotDecode);
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
    if (equalsNoCase(plugins_[i]->Path(), path)) return static_cast<int>(i);
  return -1;
}

void TSPIs::Add(std::unique_ptr<TSPI> plugin) {
  const TSPI& spi = *plugin;
  plugins_.push_back(std::move(plugin));
  if (!dynamic_cast<const TInSPI*>(&spi) || !OnPictureRegister) return;
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
          equalsNoCase(std::string_view(name).substr(name.size() - suffix.size()), suffix))
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
  TInSPIAbleData job(path, memory);
  // The plug-ins that name the extension first, each before the earlier ones; then the rest.
  const std::string extension = ExtractFileExt(path);
  std::vector<const TInSPI*> front, rest;
  for (const auto& spi : plugins_)
    if (const auto* in = dynamic_cast<const TInSPI*>(spi.get()))
      (!extension.empty() && in->HandlesExtension(extension) ? front : rest).push_back(in);
  std::reverse(front.begin(), front.end());
  front.insert(front.end(), rest.begin(), rest.end());
  for (const TInSPI* spi : front)
    for (int offset : {0, 128}) {
      if (offset == 128 && !MacBinary) break;
      if (!spi->GetPicture(job, offset, GraphicPreview, limits)) continue;
      try {
        return SpiBlocksToBitmap(job.Info(), job.Bits(), limits);
      } catch (const Error&) {
        job.Reset();  // blocks that do not make a picture: the next candidate is tried
      }
    }
  throw Error(kCouldNotDecode);
}

namespace {

// A graphic over one decode by the host's plug-ins.
class TSPIGraphic : public Graphic {
 public:
  explicit TSPIGraphic(const TSPIs& host) : host_(host) {}
  void loadFromFile(const std::string& path) override {
    bitmap_ = host_.Decode(path, {}, limits());
  }
  void loadFromMemory(std::span<const std::uint8_t> data) override {
    bitmap_ = host_.Decode({}, data, limits());
  }
  int width() const override { return bitmap_.width(); }
  int height() const override { return bitmap_.height(); }
  void draw(Bitmap& target, int x, int y) const override { drawBitmap24(bitmap_, target, x, y); }
  std::optional<Bitmap> releaseBitmap24() override { return std::exchange(bitmap_, Bitmap()); }

 private:
  const TSPIs& host_;
  Bitmap bitmap_;
};

// Loads through two candidates in turn, each freshly made: the plug-ins, then the bitmap
// reader; for ".bmp" the bitmap reader first. The one that loads is the image.
class TSPIBitmap : public Graphic {
 public:
  explicit TSPIBitmap(const TSPIs& host) : host_(host) {}
  void loadFromFile(const std::string& path) override {
    load(equalsNoCase(ExtractFileExt(path), ".bmp"), [&](Graphic& g) { g.loadFromFile(path); });
  }
  void loadFromMemory(std::span<const std::uint8_t> data) override {
    load(false, [&](Graphic& g) { g.loadFromMemory(data); });
  }
  int width() const override { return image_ ? image_->width() : 0; }
  int height() const override { return image_ ? image_->height() : 0; }
  void draw(Bitmap& target, int x, int y) const override {
    if (image_) image_->draw(target, x, y);
  }
  std::optional<Bitmap> releaseBitmap24() override {
    return image_ ? image_->releaseBitmap24() : std::nullopt;
  }

 private:
  void load(bool bmpFirst, const std::function<void(Graphic&)>& loadInto) {
    image_.reset();
    for (int attempt = 0; attempt < 2; ++attempt) {
      std::unique_ptr<Graphic> candidate;
      if ((attempt == 0) == bmpFirst)
        candidate = std::make_unique<BmpImage>();
      else
        candidate = std::make_unique<TSPIGraphic>(host_);
      candidate->setLimits(limits());
      candidate->OnWarning = OnWarning;
      try {
        loadInto(*candidate);
        image_ = std::move(candidate);
        return;
      } catch (const Error&) {
      }
    }
    throw Error(kCouldNotDecode);
  }

  const TSPIs& host_;
  std::unique_ptr<Graphic> image_;
};

}  // namespace

GraphicFactory SpiGraphicFactory(const TSPIs& host) {
  return [&host] { return std::make_unique<TSPIBitmap>(host); };
}

}  // namespace vexo
