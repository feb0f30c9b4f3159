// One file's conversion up to its encoded output: load, edit and encode into memory. It depends
// on nothing of the files before it, so several files are converted at once on workers; naming,
// writing and the report stay with the run, in file order.
#pragma once
#include <optional>
#include <string>
#include <vector>

#include "app/command_line.h"
#include "core/bitmap.h"

namespace vexo {

class TExtIniFile;
class TImages;

// What every file of a run shares, read-only while workers run.
struct ConvertContext {
  const RunSettings& settings;  // Angle already made non-negative
  const TExtIniFile& ini;
  const TImages& images;
  bool carryExif, exifThumb;
};

struct ConvertJob {
  std::string path;
  int reader;  // index in the format table
  int format;  // output format, 0 to 6
};

// A file converted up to its name: the bytes of the output file, or for bitmap output the
// bitmap itself (written row by row without a copy), with what happened on the way.
struct ConvertedFile {
  std::string extension;  // ".jpg", ".bmp", ...
  std::vector<std::uint8_t> bytes;
  std::optional<Bitmap> bitmap;
  // Why the file failed before it had an output (its "[X] " line comes without a question).
  std::optional<std::string> failure;
  // Why its encoding failed; this counts only when a name is chosen, as a file skipped by the
  // collision policy is never encoded.
  std::optional<std::string> encodeFailure;
  std::vector<std::string> warnings;  // in the order the readers and writers gave them
};

ConvertedFile ConvertFile(const ConvertJob& job, const ConvertContext& context);

}  // namespace vexo
