// The conversion pipeline: every entry of the file list becomes one output file and one line of
// the report.
#pragma once
#include <string>

#include "app/command_line.h"

namespace vexo {

class RunFrontEnd;
class TExtIniFile;
class TImages;

// Converts up to jobs files at once (0: one per processor; 1: one file after the other on this
// thread). Whatever jobs is, the files written, their names and bytes, the questions and the
// report are those of converting one file after the other. False when the run could not start
// (a plug-in that lacks a function its kind needs); the front end has said why.
bool RunConversion(RunSettings& settings, const FileList& files, TExtIniFile& ini,
                   RunFrontEnd& frontEnd, const TImages& images, int jobs = 0);

// New width and height for the resize step: the factor as a double, each side multiplied in
// extended precision, truncated, and raised to 1 when it came out 0. Pixel targets never enlarge.
struct Size2 {
  int width, height;
  bool operator==(const Size2&) const = default;
};
Size2 ResizeTarget(int width, int height, const RunSettings& settings);

// The file name of a path for report lines, as valid UTF-8: a name in another encoding (a
// Shift_JIS name copied from Windows) is converted when it decodes as such, otherwise each
// invalid byte shows as U+FFFD.
std::string DisplayName(const std::string& path);

}  // namespace vexo
