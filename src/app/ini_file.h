// TExtIniFile: the settings store. Holds the whole INI file in memory as sections of raw lines
// and writes it back in one piece (CR LF line ends, UTF-8).
#pragma once
#include <cstddef>
#include <functional>
#include <string>
#include <string_view>
#include <vector>

namespace vexo {

enum class TDefaultFolder { dfAppData = 0, dfApplication = 1, dfUser = 2, dfWindows = 3 };

// Window placement as SaveFormPlacement stores it.
struct FormPlacement {
  int flags = 0, show = 1, mx = -1, my = -1;
  int left = 0, top = 0, right = 0, bottom = 0;
  int state = 0;  // 0 normal, 1 minimised, 2 maximised
  int cwidth = 0, cheight = 0;
};

class TExtIniFile {
 public:
  // exeName: the executable's file name (its base name names the dfAppData folder and the
  // initial file); empty means the name of /proc/self/exe. The initial path is the
  // dfApplication folder followed by the base name and ".ini"; that file is read at once.
  explicit TExtIniFile(std::string exeName = {});
  // Writes the model back (even an empty one) when AutoUpdate is on and UpdateAtOnce is off.
  // OnUpdate is not raised from here: its owner may already be half destroyed.
  ~TExtIniFile();
  TExtIniFile(const TExtIniFile&) = delete;
  TExtIniFile& operator=(const TExtIniFile&) = delete;

  bool AutoUpdate = true;
  bool CaseSensitive = false;
  bool UpdateAtOnce = false;
  std::function<void()> OnLoad, OnUpdate;

  TDefaultFolder DefaultFolder() const { return defaultFolder_; }
  void SetDefaultFolder(TDefaultFolder folder);
  const std::string& FileName() const { return fileName_; }
  void SetFileName(const std::string& name);
  // Full path of the file: the folder of DefaultFolder followed by FileName.
  const std::string& Path() const { return path_; }

  void Reload();
  void UpdateFile();

  bool ReadBool(std::string_view section, std::string_view key, bool def) const;
  int ReadInteger(std::string_view section, std::string_view key, int def) const;
  unsigned ReadColor(std::string_view section, std::string_view key, unsigned def) const;
  std::string ReadString(std::string_view section, std::string_view key,
                         std::string_view def) const;
  void ReadStrings(std::string_view section, std::string_view key,
                   std::vector<std::string>& list) const;

  void WriteBool(std::string_view section, std::string_view key, bool value);
  void WriteInteger(std::string_view section, std::string_view key, int value);
  void WriteColor(std::string_view section, std::string_view key, unsigned value);
  void WriteString(std::string_view section, std::string_view key, std::string_view value);
  void WriteStrings(std::string_view section, std::string_view key,
                    const std::vector<std::string>& list);
  void DeleteKey(std::string_view section, std::string_view key);

  void SaveFormPlacement(std::string_view section, std::string_view name,
                         const FormPlacement& placement);
  // Returns left and top from name.left and name.top, each defaulting to the given value.
  void RestoreFormPosition(std::string_view section, std::string_view name, int& left,
                           int& top) const;

  // The whole model as it would be written (for tests).
  std::string Text() const;

 private:
  struct Section {
    std::string header;  // as in the file, brackets included
    std::vector<std::string> lines;
  };

  bool sameName(std::string_view a, std::string_view b) const;
  const Section* findSection(std::string_view name) const;
  Section* findSection(std::string_view name);
  Section& sectionFor(std::string_view name);  // found or appended
  // Index of the first line of the section named key, or -1.
  std::ptrdiff_t findLine(const Section& s, std::string_view key) const;
  const std::string* findValue(std::string_view section, std::string_view key) const;
  void store(std::string_view section, std::string_view key, std::string_view value);
  bool removeLine(Section& s, std::string_view key);
  // Removes the first line of each of key.0, key.1 ... whose index lies in [from, to).
  void removeItems(Section& s, std::string_view key, long long from, long long to);
  void afterChange();
  // Writes the model to path_; with onlyNonEmpty a model without sections writes nothing.
  // Failures are swallowed.
  void writeModel(bool onlyNonEmpty) noexcept;
  void changePath(TDefaultFolder folder, const std::string& fileName);

  std::string exeBase_;
  TDefaultFolder defaultFolder_ = TDefaultFolder::dfApplication;
  std::string fileName_;
  std::string path_;
  std::vector<Section> sections_;
  bool unreadable_ = false;  // the file exists but could not be read
};

// The folder that a TDefaultFolder value stands for, ending with "/" (empty for dfUser), created
// with its parents when missing. exeBase names the dfAppData sub-folder.
std::string DefaultFolderPath(TDefaultFolder folder, const std::string& exeBase);

// Folder of the running executable, ending with "/".
std::string ExecutableFolder();

}  // namespace vexo
