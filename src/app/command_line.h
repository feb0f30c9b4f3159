// The run settings that the command line may override, and the list of input files.
#pragma once
#include <string>
#include <vector>

namespace vexo {

class TExtIniFile;

// Output format index of "Options" "ImageType".
enum OutputFormat : int {
  kFormatJpeg = 0,
  kFormatBitmap = 1,
  kFormatPng = 2,
  kFormatGif = 3,
  kFormatWmf = 4,
  kFormatEmf = 5,
  kFormatIcon = 6,
  kFormatAsk = 7,
};

struct RunSettings {
  bool Report = false;
  bool ChangeSize = false;
  int MaxSize = 0;  // 0 the longer side, 1 the width, 2 the height
  int Size = 100;
  int SizeUnit = 1;  // 0 pixels, 1 percent
  bool Rotate = false;
  int Angle = 0;
  int ImageType = kFormatJpeg;
  bool ShowDlg = false;
  bool HideProgress = false;
  bool Mirror = false;
  bool Flip = false;
};

using FileList = std::vector<std::string>;

RunSettings ReadRunSettings(const TExtIniFile& ini);

// Walks the arguments in order: switches override fields of settings, folders add their files,
// any other argument is appended to files. Never clears files.
void ParseCommandLine(const std::vector<std::string>& args, RunSettings& settings, FileList& files);

// Every file below a folder: entries sorted by name (ASCII letters without case, then bytes),
// subfolders walked depth first where they sort, hidden files included, and a folder reached
// twice through links walked once.
FileList CollectFolderFiles(const std::string& folder);

// Orders names as folder listings are walked: ASCII letters compared without case, ties by bytes.
bool FolderNameLess(const std::string& a, const std::string& b);

}  // namespace vexo
