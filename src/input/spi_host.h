// The image plug-in host: finds and loads "*.spi" plug-ins, registers the extensions of the input
// plug-ins in the format table, and decodes files through them.
#pragma once
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "core/error.h"
#include "core/graphic.h"
#include "input/images.h"
#include "vexo/susie.h"

namespace vexo {

// Failures of the plug-in host, with the host's own messages.
class ESPIError : public Error {
 public:
  using Error::Error;
};
// A library that cannot be loaded: "<path>:Susie Pluginがロードできませんでした".
class ESPIFOpenErrorSPI : public ESPIError {
 public:
  explicit ESPIFOpenErrorSPI(const std::string& path);
};
// A plug-in without a function its kind needs; ends the run.
class ESPIInvalidAPI : public ESPIError {
 public:
  ESPIInvalidAPI(const std::string& function, const std::string& path);
};
// A library that is no plug-in (it tells no API version).
class ESPIInvalidSPI : public ESPIError {
 public:
  explicit ESPIInvalidSPI(const std::string& path);
};
// A second host while one exists.
class ESPIDupCreateSPIs : public ESPIError {
 public:
  ESPIDupCreateSPIs();
};

// One loaded plug-in library; the class of its API version is chosen by Load. Each constructor
// loads the library and checks the functions its class needs.
class TSPI {
 public:
  // Loads the library as the class of its API version ("00IN" TInSPI, "00AM" TAmSPI, "00XN"
  // TXnSPI, else TSPI). Throws ESPIFOpenErrorSPI, ESPIInvalidAPI or ESPIInvalidSPI.
  static std::unique_ptr<TSPI> Load(const std::string& path);

  explicit TSPI(const std::string& path);  // needs GetPluginInfo
  virtual ~TSPI();
  TSPI(const TSPI&) = delete;
  TSPI& operator=(const TSPI&) = delete;

  const std::string& Path() const { return path_; }
  const std::string& ApiVersion() const { return version_; }
  const std::string& Name() const { return name_; }
  const std::vector<std::string>& Filters() const { return filters_; }
  const std::vector<std::string>& Descriptions() const { return descriptions_; }
  // Whether a filter names the extension (dot included), ASCII case ignored.
  bool HandlesExtension(std::string_view extension) const;

  // A block the plug-in returned: its size as far as the host can know it, and its release.
  std::size_t BlockSize(const void* block) const;
  void Release(void* block) const;

 protected:
  void* Function(const char* name) const;
  void Require(const char* name) const;  // throws ESPIInvalidAPI when the function is missing

 private:
  void* handle_ = nullptr;
  std::string path_, version_, name_;
  std::vector<std::string> filters_, descriptions_;
  SpiFreeFn spiFree_ = nullptr;
  bool hostAllocator_ = false;  // the plug-in allocates its blocks with the host's allocator
};

// The plug-ins that look at a file's first bytes: input and archive plug-ins.
class TLoaderSPI : public TSPI {
 public:
  explicit TLoaderSPI(const std::string& path);  // also needs IsSupported
  bool IsSupported(const std::string& path, const std::uint8_t* head) const;

 private:
  SpiIsSupportedFn isSupported_ = nullptr;
};

class TInSPIAbleData;

// An image input plug-in: the only kind that decodes and registers formats.
class TInSPI : public TLoaderSPI {
 public:
  explicit TInSPI(const std::string& path);  // also needs GetPictureInfo and GetPicture
  // Decodes the job's file at a header offset; true when the plug-in returned both blocks, which
  // the job then holds. With preview, GetPreview is tried before GetPicture.
  // The plug-in is told the image limit first.
  bool GetPicture(TInSPIAbleData& job, int offset, bool preview, const DecodeLimits& limits) const;

 private:
  SpiSetMemoryLimitFn setMemoryLimit_ = nullptr;
  SpiGetPictureInfoFn getPictureInfo_ = nullptr;
  SpiGetPictureFn getPicture_ = nullptr;
  SpiGetPictureFn getPreview_ = nullptr;
};

class TAmSPI : public TLoaderSPI {
 public:
  explicit TAmSPI(const std::string& path);  // also needs GetArchiveInfo, GetFileInfo, GetFile
};

class TXnSPI : public TSPI {
 public:
  using TSPI::TSPI;
};

// One decode: the file (by name, or its image in memory), its first bytes, and the two blocks
// the plug-in that decoded it returned, released with the job.
class TInSPIAbleData {
 public:
  static constexpr std::size_t kHeaderBytes = SPI_HEADER_SIZE + 128;  // room for MacBinary

  TInSPIAbleData(std::string path, std::span<const std::uint8_t> memory);
  ~TInSPIAbleData() { Reset(); }
  TInSPIAbleData(const TInSPIAbleData&) = delete;
  TInSPIAbleData& operator=(const TInSPIAbleData&) = delete;

  const std::string& Path() const { return path_; }
  std::span<const std::uint8_t> Memory() const { return memory_; }
  const std::uint8_t* Header(int offset) const { return header_.data() + offset; }
  // The blocks, each as long as the host can vouch for.
  std::span<const std::uint8_t> Info() const;
  std::span<const std::uint8_t> Bits() const;

  void Take(const TSPI& owner, void* info, void* bits);  // both non-null
  void Reset();                                          // releases the blocks

 private:
  std::string path_;
  std::span<const std::uint8_t> memory_;
  std::vector<std::uint8_t> header_;
  const TSPI* owner_ = nullptr;
  void* info_ = nullptr;
  void* bits_ = nullptr;
};

// Turns a plug-in's information and pixel blocks into a 24-bit bitmap, checking every size they
// state against their lengths first. Throws Error "Susie Plugins could not decode".
Bitmap SpiBlocksToBitmap(std::span<const std::uint8_t> info, std::span<const std::uint8_t> bits,
                         const DecodeLimits& limits);

enum class TSPISearchOption { spsSusieDir, spsAppDir, spsCurrentDir, spsSystemDir, spsWindowsDir };

class TSPIs {
 public:
  TSPIs();  // throws ESPIDupCreateSPIs while another host exists
  ~TSPIs();
  TSPIs(const TSPIs&) = delete;
  TSPIs& operator=(const TSPIs&) = delete;

  std::vector<TSPISearchOption> SearchOptions = {TSPISearchOption::spsSusieDir,
                                                 TSPISearchOption::spsAppDir};
  bool MacBinary = true;
  bool GraphicPreview = false;
  // Called for each extension (without the dot) of an input plug-in's formats.
  std::function<void(const TSPI&, const std::string& description, const std::string& extension)>
      OnPictureRegister;

  // Loads the plug-ins matching mask ("folder/*.spi", or "*.spi" for the searched folders).
  void Search(const std::string& mask);
  int Count() const { return static_cast<int>(plugins_.size()); }
  const TSPI& Items(int index) const { return *plugins_.at(static_cast<std::size_t>(index)); }
  int IndexOf(std::string_view path) const;
  void Add(std::unique_ptr<TSPI> plugin);
  void Clear() { plugins_.clear(); }

  // Decodes a file (memory empty) or a file image through the input plug-ins, those naming its
  // extension first. One call at a time: plug-ins are not re-entrant. Throws Error "Susie Plugins
  // could not decode".
  Bitmap Decode(const std::string& path, std::span<const std::uint8_t> memory,
                const DecodeLimits& limits) const;

 private:
  std::vector<std::unique_ptr<TSPI>> plugins_;
  mutable std::mutex decoding_;
};

// The format table's class for the plug-ins' extensions (TSPIBitmap): reads through the host,
// with the bitmap reader as the other candidate, tried first for ".bmp". The host outlives the
// graphics.
GraphicFactory SpiGraphicFactory(const TSPIs& host);

// The folders searched for "*.spi" by the options: $SUSIE_PLUGIN_PATH, the program's
// ../lib/vexo/plugins and its own folder, the current folder, /usr/lib, /etc.
std::vector<std::string> PluginFolders(const std::vector<TSPISearchOption>& options);

}  // namespace vexo
