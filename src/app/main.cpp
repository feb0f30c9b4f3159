// Entry: settings mode without arguments, conversion mode with them.
#include <unistd.h>

#include <charconv>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <iostream>
#include <memory>
#include <string>
#include <vector>

#include "app/command_line.h"
#include "app/front_end.h"
#include "app/ini_file.h"
#include "app/pipeline.h"
#include "core/byte_io.h"
#include "core/limits.h"
#include "input/images.h"

#ifdef VEXO_HAVE_GUI
#include "app/options/option_dialog.h"
#include "app/qt/application.h"
#include "app/qt/qt_front_end.h"
#endif

namespace {

constexpr const char* kUsage = R"(使い方: vexo [スイッチ] [ファイルまたはフォルダ ...]
Usage:  vexo [switches] [files or folders ...]

ファイルとフォルダ (サブフォルダを含む) の画像を一つの形式に変換します。
引数がなければ設定だけを行います。
Converts every image file given, and every file below the folders given, to one format.
Without arguments only the settings are shown.

スイッチ / switches ("-" または "/"; 大文字小文字は問わない / any case):
  -GJ -GB -GP -GG -GW -GE -GI -GX
                 出力形式: JPEG, BMP, PNG, GIF, WMF, EMF, ICO, ファイルごとに選択
                 output format: JPEG, BMP, PNG, GIF, WMF, EMF, icon, ask for each file
  -X:n -Y:n -Z:n 幅 / 高さ / 長辺を n ピクセルに (n% ならパーセント)。サイズ変更が設定で
                 有効なときだけ働きます
                 width / height / longer side to n pixels (n% for percent); takes effect when
                 resizing is on in the settings
  -Rn            回転角度 (90, 180, 270)。回転が設定で有効なときだけ働きます
                 angle (90, 180, 270); takes effect when rotation is on in the settings
  -M  -F         左右反転 / 上下反転   mirror / flip
  -S             終了後にレポートを表示   show the report
  -P             進行状況を隠す   hide the progress
  -D             変換の前に設定ダイアログを表示   show the options dialog first
  -ND -NF -NM -NP -NR -NS -NZ
                 設定を一つ無効にする (D, F, M, P, R=回転, S, Z=サイズ変更)
                 turn one setting off (D, F, M, P, R=rotate, S, Z=resize)

長いオプション / long options:
  --console      端末で実行する   run in the terminal
  --gui          ダイアログで実行する   run with the dialogs
  --jobs=N       同時に変換するファイル数 (既定: CPU の数; 1 で一つずつ)
                 files converted at once (default: one per processor; 1: one at a time)
  --memory-limit=MiB
                 一画像のメモリ上限 (既定 1024)。同時に変換する画像の合計もこの範囲に収める
                 memory limit of one image (default 1024); files converted at once share it
  --help         この説明   this help
  --version      バージョン   version

設定ファイル / settings: $XDG_CONFIG_HOME/vexo/Vexo.ini (~/.config/vexo/Vexo.ini)
)";

struct LongOptions {
  bool console = false, gui = false;
  int jobs = 0;
  std::string script;
};

[[noreturn]] void fail(const std::string& message) {
  std::cerr << "vexo: " << message << "\n"
            << "詳しくは vexo --help / see vexo --help\n";
  std::exit(2);
}

// Takes the long options out of argv. An argument that starts with "--" is a long option
// unless a file of exactly that name exists.
std::vector<std::string> takeLongOptions(int argc, char** argv, LongOptions& opts) {
  std::vector<std::string> rest;
  for (int i = 1; i < argc; ++i) {
    const std::string arg = argv[i];
    if (arg.rfind("--", 0) != 0 || arg.size() == 2 || vexo::isRegularFile(arg)) {
      rest.push_back(arg);
      continue;
    }
    const auto eq = arg.find('=');
    const std::string name = arg.substr(0, eq);
    const std::string value = eq == std::string::npos ? std::string() : arg.substr(eq + 1);
    if (name == "--help") {
      std::cout << kUsage;
      std::exit(0);
    } else if (name == "--version") {
      std::cout << "vexo " VEXO_VERSION "\n";
      std::exit(0);
    } else if (name == "--console") {
      opts.console = true;
    } else if (name == "--gui") {
      opts.gui = true;
    } else if (name == "--script") {
      // Answers for the scripted front end (used by the tests): a file, or "-" for stdin.
      try {
        auto bytes = vexo::readWholeFile(value == "-" ? "/dev/stdin" : value, 1 << 20);
        opts.script.assign(bytes.begin(), bytes.end());
        if (opts.script.empty()) opts.script.push_back('\n');  // an empty script still scripts
      } catch (const vexo::Error& e) {
        fail(e.what());
      }
    } else if (name == "--jobs") {
      int jobs = 0;
      auto [end, ec] = std::from_chars(value.data(), value.data() + value.size(), jobs);
      if (ec != std::errc() || end != value.data() + value.size() || jobs < 1 || jobs > 256)
        fail("--jobs needs a number of files from 1 to 256");
      opts.jobs = jobs;
    } else if (name == "--memory-limit") {
      unsigned long long mib = 0;
      auto [end, ec] = std::from_chars(value.data(), value.data() + value.size(), mib);
      if (ec != std::errc() || end != value.data() + value.size() || mib == 0 || mib > (1ull << 24))
        fail("--memory-limit needs a size in MiB");
      vexo::DecodeLimits::defaults().maxImageBytes = mib << 20;
    } else {
      fail("unknown option " + name);
    }
  }
  return rest;
}

int settingsMode() {
  vexo::TExtIniFile ini;
  ini.SetDefaultFolder(vexo::TDefaultFolder::dfAppData);
  ini.SetFileName("Vexo.ini");
  std::cout << "設定ファイル / settings file: " << ini.Path() << "\n"
            << "設定ダイアログには画面が必要です。ファイルを直接編集するか、画面のある環境で"
               " vexo を引数なしで起動してください (キーは README を参照)。\n"
            << "The options dialog needs a display: edit the file directly (the keys are listed"
               " in the README), or start vexo without arguments on a desktop.\n";
  return 0;
}

// Whether the run shows the dialogs: built with them, not --console, and a display (--gui
// without one says so and goes on in the terminal).
bool useDialogs(const LongOptions& opts) {
#ifdef VEXO_HAVE_GUI
  if (opts.console) return false;
  if (vexo::DisplayAvailable()) return true;
  if (opts.gui) std::cerr << "vexo: ダイアログには画面が必要です / the dialogs need a display\n";
  return false;
#else
  if (opts.gui && !opts.console)
    std::cerr << "vexo: このビルドにはダイアログがありません / no dialogs in this build\n";
  return false;
#endif
}

// A run ended by a signal leaves no temporary output behind.
void onFatalSignal(int sig) {
  vexo::RemovePendingOutputs();
  ::signal(sig, SIG_DFL);
  ::raise(sig);
}

}  // namespace

int main(int argc, char** argv) {
  for (int sig : {SIGTERM, SIGHUP, SIGQUIT}) ::signal(sig, onFatalSignal);
  LongOptions opts;
  const std::vector<std::string> args = takeLongOptions(argc, argv, opts);
  const bool dialogs = opts.script.empty() && useDialogs(opts);
#ifdef VEXO_HAVE_GUI
  std::unique_ptr<vexo::Application> app;
  int qtArgc = 1;  // Qt sees no argument of ours (a file named -display is a file); it keeps
                   // a reference to the count for the application's whole life
  if (dialogs) {
    app = std::make_unique<vexo::Application>(qtArgc, argv);
  }
  if (args.empty()) {
    if (!dialogs) return settingsMode();
    vexo::TfrmOption dialog;
    dialog.exec();
    return 0;
  }
#else
  if (args.empty()) return settingsMode();
#endif

  vexo::TImages images;
  vexo::TExtIniFile ini;
  ini.SetDefaultFolder(vexo::TDefaultFolder::dfAppData);
  ini.SetFileName("Vexo.ini");
  vexo::RunSettings settings = vexo::ReadRunSettings(ini);
  vexo::FileList files;
  vexo::ParseCommandLine(args, settings, files);

  if (settings.ShowDlg) {
#ifdef VEXO_HAVE_GUI
    if (dialogs) {
      // Confirmed: the settings just saved apply, with the command line's switches on top.
      // Cancelled: the run goes on with the settings read before.
      int result = vexo::kOptionCancel;
      {
        vexo::TfrmOption dialog;
        result = dialog.exec();
      }
      if (result == vexo::kOptionSet) {
        ini.Reload();
        settings = vexo::ReadRunSettings(ini);
        files.clear();
        vexo::ParseCommandLine(args, settings, files);
      }
    }
#endif
    if (!dialogs)
      std::cerr << "vexo: 設定ダイアログには画面が必要です。今の設定で変換します / the options"
                   " dialog needs a display; converting with the current settings\n";
  }

  bool ran = true;
  auto run = [&](vexo::RunFrontEnd& frontEnd) {
    ran = vexo::RunConversion(settings, files, ini, frontEnd, images, opts.jobs);
  };
  if (!opts.script.empty()) {
    run(*vexo::MakeScriptedFrontEnd(opts.script));
#ifdef VEXO_HAVE_GUI
  } else if (dialogs) {
    vexo::RunWithDialogs(run);
#endif
  } else {
    run(*vexo::MakeTerminalFrontEnd());
  }
  return ran ? 0 : 1;
}
