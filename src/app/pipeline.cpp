#include "app/pipeline.h"

#include <pthread.h>
#include <sched.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cmath>
#include <condition_variable>
#include <deque>
#include <map>
#include <memory>
#include <mutex>
#include <system_error>
#include <thread>
#include <vector>

#include "app/convert.h"
#include "app/front_end.h"
#include "app/ini_file.h"
#include "app/naming.h"
#include "core/byte_io.h"
#include "core/pixel_memory.h"
#include "input/bmp.h"
#include "input/images.h"
#include "input/probe.h"
#include "input/spi_host.h"

namespace vexo {

namespace {

std::string withDelimiter(std::string folder) {
  if (!folder.empty() && folder.back() != '/') folder += '/';
  return folder;
}

std::string removeExtension(const std::string& path) {
  const auto slash = path.rfind('/');
  const auto dot = path.rfind('.');
  if (dot == std::string::npos || (slash != std::string::npos && dot < slash)) return path;
  return path.substr(0, dot);
}

std::string fileNameOf(const std::string& path) {
  const auto slash = path.rfind('/');
  return slash == std::string::npos ? path : path.substr(slash + 1);
}

// A file as the file system knows it, whatever path spelling or link led to it.
struct FileId {
  dev_t device;
  ino_t inode;
  bool operator==(const FileId&) const = default;
};

std::optional<FileId> fileIdOf(const std::string& path) {
  struct stat st {};
  if (::stat(path.c_str(), &st) != 0) return std::nullopt;
  return FileId{st.st_dev, st.st_ino};
}

// A file handed to the workers: its job, what it costs the memory window, how many outputs had
// been written when it was handed over, and its result once a worker has finished it.
struct Slot {
  ConvertJob job;
  std::uint64_t cost = 0;
  std::size_t writesSeen = 0;
  bool done = false;
  ConvertedFile result;
};

// Worker threads converting the slots queued to them. The run's thread keeps the slots; the
// workers only fill in results.
class Workers {
 public:
  Workers(int count, const ConvertContext& context) : context_(context) {
    // Signals go to the run's thread: its handlers ask the stop question and clean up.
    sigset_t blocked, old;
    sigemptyset(&blocked);
    for (int sig : {SIGINT, SIGTERM, SIGHUP, SIGQUIT}) sigaddset(&blocked, sig);
    pthread_sigmask(SIG_BLOCK, &blocked, &old);
    try {
      for (int i = 0; i < count; ++i) threads_.emplace_back([this] { work(); });
    } catch (const std::system_error&) {  // no more threads: the ones started do the work
    }
    pthread_sigmask(SIG_SETMASK, &old, nullptr);
  }

  bool empty() const { return threads_.empty(); }

  // Abandons whatever is still queued; a file being converted is finished and thrown away.
  ~Workers() {
    {
      std::lock_guard lock(mutex_);
      closing_ = true;
      queue_.clear();
    }
    wake_.notify_all();
    for (auto& t : threads_) t.join();
  }

  void submit(Slot& slot) {
    {
      std::lock_guard lock(mutex_);
      queue_.push_back(&slot);
      ++unfinished_;
    }
    wake_.notify_one();
  }

  // Files queued or being converted.
  int unfinished() {
    std::lock_guard lock(mutex_);
    return unfinished_;
  }

  // Waits until slot is done or another file has finished since seen (the caller may then hand
  // over more work); true once slot is done.
  bool waitFor(const Slot& slot, int& seen) {
    std::unique_lock lock(mutex_);
    finishedCv_.wait(lock, [&] { return slot.done || finished_ != seen; });
    seen = finished_;
    return slot.done;
  }

 private:
  void work() {
    for (;;) {
      Slot* slot;
      {
        std::unique_lock lock(mutex_);
        wake_.wait(lock, [&] { return closing_ || !queue_.empty(); });
        if (closing_) return;
        slot = queue_.front();
        queue_.pop_front();
      }
      ConvertedFile result = ConvertFile(slot->job, context_);
      {
        std::lock_guard lock(mutex_);
        slot->result = std::move(result);
        slot->done = true;
        --unfinished_;
        ++finished_;
      }
      finishedCv_.notify_all();
    }
  }

  const ConvertContext& context_;
  std::mutex mutex_;
  std::condition_variable wake_, finishedCv_;
  std::deque<Slot*> queue_;
  int unfinished_ = 0, finished_ = 0;
  bool closing_ = false;
  std::vector<std::thread> threads_;
};

// The processors this process may run on: the online cores, less any that taskset or a cpuset
// keeps it from.
int defaultJobs() {
  cpu_set_t set;
  if (sched_getaffinity(0, sizeof set, &set) == 0) return std::max(1, CPU_COUNT(&set));
  return static_cast<int>(std::max(1L, sysconf(_SC_NPROCESSORS_ONLN)));
}

// One run: the files in order, each converted on a worker ahead of its turn when it may be, and
// named, written and reported on this thread at its turn.
class Run {
 public:
  Run(RunSettings& settings, const FileList& files, const TExtIniFile& ini, RunFrontEnd& frontEnd,
      const TImages& images, int jobs)
      : settings_(settings),
        files_(files),
        frontEnd_(frontEnd),
        images_(images),
        outputFolder_(withDelimiter(ini.ReadString("Options", "Output", ""))),
        useOutput_(ini.ReadBool("Options", "UseOutput", false)),
        currentFormat_(settings.ImageType),
        namer_(ini.ReadInteger("Options", "Same", 1), frontEnd),
        context_{settings, ini, images, ini.ReadBool("Jpeg", "Exif", false),
                 ini.ReadBool("Jpeg", "ExifThumb", false)},
        jobs_(jobs > 0 ? jobs : defaultJobs()),
        memoryLimit_(DecodeLimits::defaults().maxImageBytes) {
    if (jobs_ > 1) workers_.emplace(jobs_, context_);
    if (workers_ && workers_->empty()) workers_.reset();
  }

  void convertAll() {
    for (std::size_t i = 0; i < files_.size(); ++i) {
      const std::string& path = files_[i];
      handOver();
      frontEnd_.Step(path);
      if (frontEnd_.Stopped()) break;

      const std::string shown = DisplayName(path);
      const int reader = images_.IndexOf(ExtractFileExt(path));
      if (reader < 0) {
        report_.push_back("[-] " + shown + "(未対応)");
        continue;
      }
      if (!formatKnown()) {
        int format = currentFormat_;
        const int answer = frontEnd_.AskFormat(path, format);
        if (answer == kSelectCancel) break;
        if (answer == kSelectSkip) continue;
        currentFormat_ = format;
        if (answer == kSelectAll) rememberAll_ = true;
      }
      // An output folder that is on but empty would mean the root folder: refuse it.
      if (useOutput_ && outputFolder_.empty()) {
        fail(path, "the output folder is not set");
        continue;
      }
      commit(path, take(i, reader));
      // A worker's pixels end here; this thread would keep them for images it never makes.
      if (workers_) pixel_memory::trim();
    }
  }

  const std::vector<std::string>& report() const { return report_; }

 private:
  // Whether the output format of later files is known before their turn.
  bool formatKnown() const { return settings_.ImageType != kFormatAsk || rememberAll_; }

  // Hands files after the current one to the workers while the window has room: at most jobs
  // files converting, one more finished and waiting, and their working bitmaps (as their headers
  // tell) within the memory limit. Files go in order; one that does not fit waits, and a file
  // larger than the whole window goes alone.
  void handOver() {
    if (!workers_ || !formatKnown() || (useOutput_ && outputFolder_.empty())) return;
    while (next_ < files_.size()) {
      const std::string& path = files_[next_];
      const int reader = images_.IndexOf(ExtractFileExt(path));
      if (reader < 0) {
        ++next_;
        continue;
      }
      if (slots_.size() > static_cast<std::size_t>(jobs_) || workers_->unfinished() >= jobs_)
        return;
      if (!nextCost_) {
        const auto extent = ProbeImageExtent(path);
        nextCost_ = extent ? WorkingBytes(*extent) : memoryLimit_;
      }
      if (!slots_.empty() && inFlightBytes_ + *nextCost_ > memoryLimit_) return;
      auto slot = std::make_unique<Slot>();
      slot->job = {path, reader, currentFormat_};
      slot->cost = *nextCost_;
      slot->writesSeen = written_.size();
      inFlightBytes_ += slot->cost;
      workers_->submit(*slot);
      slots_.emplace(next_++, std::move(slot));
      nextCost_.reset();
    }
  }

  // The result of file i: its worker's, once done, or converted here. A result read before an
  // earlier file of the run wrote over its source (or created it) is converted again.
  ConvertedFile take(std::size_t i, int reader) {
    const ConvertJob job{files_[i], reader, currentFormat_};
    auto found = slots_.find(i);
    if (found == slots_.end()) {
      // Not handed over yet: nothing after it is either, as files go in order.
      next_ = std::max(next_, i);
      if (!workers_ || !formatKnown()) {
        next_ = i + 1;
        return ConvertFile(job, context_);
      }
      handOver();
      found = slots_.find(i);
      if (found == slots_.end()) return ConvertFile(job, context_);
    }
    Slot& slot = *found->second;
    while (!workers_->waitFor(slot, finishedSeen_)) handOver();
    ConvertedFile result = std::move(slot.result);
    const std::size_t writesSeen = slot.writesSeen;
    inFlightBytes_ -= slot.cost;
    slots_.erase(found);
    if (writesSeen < written_.size()) {
      if (const auto id = fileIdOf(job.path);
          id && std::find(written_.begin() + static_cast<std::ptrdiff_t>(writesSeen),
                          written_.end(), *id) != written_.end())
        return ConvertFile(job, context_);
    }
    return result;
  }

  void fail(const std::string& path, const std::string& reason) {
    report_.push_back("[X] " + DisplayName(path));
    frontEnd_.FileFailed(path, reason);
  }

  // Names, writes and reports a converted file. The name is resolved only now, after every
  // earlier file has been written, so numbering and questions are those of a one-file-at-a-time
  // run. An existing file is replaced only when the naming chose to overwrite it.
  void commit(const std::string& path, ConvertedFile result) {
    for (const auto& message : result.warnings) frontEnd_.FileWarning(path, message);
    if (result.failure) return fail(path, *result.failure);
    const std::string base = removeExtension(useOutput_ ? outputFolder_ + fileNameOf(path) : path);
    try {
      const std::string name = namer_.ResolveOutputName(base, result.extension);
      if (name.empty()) {
        report_.push_back("[S] " + DisplayName(path));
        return;
      }
      if (result.encodeFailure) return fail(path, *result.encodeFailure);
      AtomicFile out(name);
      if (result.bitmap)
        WriteBmp(*result.bitmap, out);
      else
        out.write(result.bytes);
      out.commit(namer_.replacing());
      if (const auto id = fileIdOf(name)) written_.push_back(*id);
      report_.push_back("[O] " + DisplayName(path) + " -> " + DisplayName(name));
    } catch (const std::exception& e) {
      fail(path, e.what());
    }
  }

  RunSettings& settings_;
  const FileList& files_;
  RunFrontEnd& frontEnd_;
  const TImages& images_;
  std::string outputFolder_;
  bool useOutput_;
  int currentFormat_;
  bool rememberAll_ = false;
  OutputNamer namer_;
  ConvertContext context_;
  int jobs_;
  std::uint64_t memoryLimit_;
  std::vector<std::string> report_;

  std::size_t next_ = 0;                                // the next file to hand to the workers
  std::optional<std::uint64_t> nextCost_;               // its working bitmap's size, once probed
  std::map<std::size_t, std::unique_ptr<Slot>> slots_;  // files handed over, by position
  std::uint64_t inFlightBytes_ = 0;
  int finishedSeen_ = 0;         // files the workers had finished when last looked
  std::vector<FileId> written_;  // every output written so far, in order
  std::optional<Workers> workers_;
};

}  // namespace

Size2 ResizeTarget(int width, int height, const RunSettings& settings) {
  double factor;
  if (settings.SizeUnit != 0) {
    factor = settings.Size / 100.0;
  } else {
    const int reference = settings.MaxSize == 0   ? (width > height ? width : height)
                          : settings.MaxSize == 1 ? width
                                                  : height;
    factor = static_cast<double>(settings.Size) / reference;
    if (factor > 1) factor = 1;
  }
  auto scale = [factor](int side) {
    const long double v = static_cast<long double>(side) * static_cast<long double>(factor);
    const long double t = std::trunc(v);
    const int n = t >= 2147483647.0L ? 2147483647 : t <= 0 ? 0 : static_cast<int>(t);
    return n == 0 ? 1 : n;
  };
  return {scale(width), scale(height)};
}

bool RunConversion(RunSettings& settings, const FileList& files, TExtIniFile& ini,
                   RunFrontEnd& frontEnd, const TImages& images, int jobs) {
  if (settings.Rotate && settings.Angle < 0) settings.Angle += 360;
  frontEnd.Prepare(static_cast<int>(files.size()), settings.HideProgress);
  // The plug-ins of the searched folders, and of the configured folder when "Susie" is on, add
  // their extensions to this run's format table, after the built-in entries.
  TImages runImages = images;
  TSPIs plugins;
  plugins.OnPictureRegister = [&](const TSPI&, const std::string&, const std::string& extension) {
    runImages.Add("." + extension, SpiGraphicFactory(plugins));
  };
  try {
    plugins.Search("*.spi");
    const std::string folder = ini.ReadString("Options", "Plugin", "");
    if (ini.ReadBool("Options", "Susie", false) && !folder.empty() && isDirectory(folder))
      plugins.Search(folder + (folder.back() == '/' ? "" : "/") + "*.spi");
  } catch (const ESPIInvalidAPI& e) {
    frontEnd.Close();
    frontEnd.RunFailed(e.what());
    return false;
  }
  if (!settings.HideProgress) frontEnd.Show();
  std::vector<std::string> report;
  {
    Run run(settings, files, ini, frontEnd, runImages, jobs);
    run.convertAll();
    report = run.report();
  }  // workers still converting after a stop end here, before the window closes
  pixel_memory::trim();
  frontEnd.Close();
  if (settings.Report) frontEnd.ShowReport(report);
  return true;
}

}  // namespace vexo
