// The image plug-in host: finds and loads "*.spi" plug-ins, registers the extensions of the input
// plug-ins in the format table, and decodes files through them.
#pragma once
#include <functional>
#include <memory>
#include <mutex>
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

// One loaded plug-in library.
class TSPI {
 public:
  enum class Kind { kOther, kInput, kArchive, kExport };

  // Loads the library and reads its information; throws ESPIFOpenErrorSPI, ESPIInvalidAPI or
  // ESPIInvalidSPI.
  static std::unique_ptr<TSPI> Load(const std::string& path);
  ~TSPI();
  TSPI(const TSPI&) = delete;
  TSPI& operator=(const TSPI&) = delete;

  const std::string& Path() const { return path_; }
  const std::string& ApiVersion() const { return version_; }
  const std::string& Name() const { return name_; }
  Kind kind() const { return kind_; }
  const std::vector<std::string>& Filters() const { return filters_; }
  const std::vector<std::string>& Descriptions() const { return descriptions_; }
  // Whether a filter names the extension (dot included), ASCII case ignored.
  bool HandlesExtension(std::string_view extension) const;

  // Decodes a file (or a file image in memory) at a header offset into a 24-bit bitmap; nothing
  // when the plug-in declines or fails. Every size it returns is checked against its blocks.
  std::optional<Bitmap> Decode(const std::string& path, std::span<const std::uint8_t> memory,
                               std::span<const std::uint8_t> header, int offset,
                               const DecodeLimits& limits) const;

 private:
  TSPI() = default;

  void* handle_ = nullptr;
  std::string path_, version_, name_;
  Kind kind_ = Kind::kOther;
  std::vector<std::string> filters_, descriptions_;
  SpiGetPluginInfoFn getPluginInfo_ = nullptr;
  SpiIsSupportedFn isSupported_ = nullptr;
  SpiGetPictureInfoFn getPictureInfo_ = nullptr;
  SpiGetPictureFn getPicture_ = nullptr;
  SpiGetPictureFn getPreview_ = nullptr;
  SpiFreeFn spiFree_ = nullptr;
  bool hostAllocator_ = false;  // the plug-in allocates its blocks with the host's allocator
};

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

  // Decodes a file through the input plug-ins: those naming its extension first. One call at a
  // time: plug-ins are not re-entrant. Throws Error "Susie Plugins could not decode".
  Bitmap Decode(const std::string& path, std::span<const std::uint8_t> memory,
                const DecodeLimits& limits) const;

 private:
  std::vector<std::unique_ptr<TSPI>> plugins_;
  mutable std::mutex decoding_;
};

// The format table's class for the plug-ins' extensions: reads through the host, with the
// bitmap reader as the other candidate (tried first for ".bmp"). The host outlives the graphics.
GraphicFactory SpiGraphicFactory(const TSPIs& host);

// The folders searched for "*.spi" by the options: $SUSIE_PLUGIN_PATH, the program's
// ../lib/vexo/plugins and its own folder, the current folder, /usr/lib, /etc.
std::vector<std::string> PluginFolders(const std::vector<TSPISearchOption>& options);

}  // namespace vexo
