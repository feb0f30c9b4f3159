#include "app/ini_file.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <optional>
#include <string>
#include <vector>

namespace vexo {
namespace {

namespace fs = std::filesystem;

std::string readFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

void writeFile(const std::string& path, const std::string& bytes) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out << bytes;
}

// Every test gets its own XDG_CONFIG_HOME (not yet existing) under a fresh temporary folder.
class IniFileTest : public ::testing::Test {
 protected:
  void SetUp() override {
    std::string tmpl = (fs::temp_directory_path() / "vexo-ini-XXXXXX").string();
    ASSERT_NE(::mkdtemp(tmpl.data()), nullptr);
    root_ = tmpl;
    if (const char* old = std::getenv("XDG_CONFIG_HOME")) oldXdg_ = old;
    config_ = root_ + "/config";
    ::setenv("XDG_CONFIG_HOME", config_.c_str(), 1);
    folder_ = config_ + "/vexo/";
    ini_ = folder_ + "Vexo.ini";
  }
  void TearDown() override {
    std::error_code ec;
    fs::permissions(folder_, fs::perms::owner_all, ec);
    fs::remove_all(root_, ec);
    if (oldXdg_)
      ::setenv("XDG_CONFIG_HOME", oldXdg_->c_str(), 1);
    else
      ::unsetenv("XDG_CONFIG_HOME");
  }

  // The program's own set-up: folder first, file name second.
  static void open(TExtIniFile& ini) {
    ini.SetDefaultFolder(TDefaultFolder::dfAppData);
    ini.SetFileName("Vexo.ini");
  }
  // Writes a settings file, then returns a store that has read it.
  std::unique_ptr<TExtIniFile> storeWith(const std::string& text) {
    fs::create_directories(folder_);
    writeFile(ini_, text);
    auto ini = std::make_unique<TExtIniFile>("vexo");
    open(*ini);
    return ini;
  }

  std::string root_, config_, folder_, ini_;
  std::optional<std::string> oldXdg_;
};

TEST_F(IniFileTest, FirstRunCreatesFolderAtOnceAndEmptyFileOnDestruction) {
  ASSERT_FALSE(fs::exists(config_));
  {
    TExtIniFile ini("vexo");
    ini.SetDefaultFolder(TDefaultFolder::dfAppData);
    EXPECT_TRUE(fs::is_directory(folder_));  // created with its missing parent
    EXPECT_EQ(ini.Path(), folder_);          // no file name yet: reads nothing
    ini.SetFileName("Vexo.ini");
    EXPECT_EQ(ini.Path(), ini_);
    EXPECT_EQ(ini.ReadInteger("Jpeg", "Compress", 75), 75);
    EXPECT_FALSE(fs::exists(ini_));  // an empty store creates no file while switching
  }
  ASSERT_TRUE(fs::is_regular_file(ini_));
  EXPECT_EQ(fs::file_size(ini_), 0u);
}

TEST_F(IniFileTest, InitialPathIsExecutableFolderAndBaseName) {
  TExtIniFile named("/usr/local/bin/tool.bin");
  named.AutoUpdate = false;
  EXPECT_EQ(named.Path(), ExecutableFolder() + "tool.ini");
  named.SetDefaultFolder(TDefaultFolder::dfAppData);
  EXPECT_EQ(named.Path(), config_ + "/tool/");

  TExtIniFile self;  // base name of this test program
  self.AutoUpdate = false;
  const std::string exe = fs::read_symlink("/proc/self/exe").string();
  EXPECT_EQ(self.Path(), ExecutableFolder() + fs::path(exe).stem().string() + ".ini");
  EXPECT_EQ(ExecutableFolder(), fs::path(exe).parent_path().string() + "/");
}

TEST_F(IniFileTest, DefaultFolders) {
  EXPECT_EQ(DefaultFolderPath(TDefaultFolder::dfUser, "vexo"), "");
  EXPECT_EQ(DefaultFolderPath(TDefaultFolder::dfWindows, "vexo"), "/etc/");
  EXPECT_EQ(DefaultFolderPath(TDefaultFolder::dfAppData, "vexo"), folder_);
  // Without XDG_CONFIG_HOME the folder is ~/.config.
  const char* oldHome = std::getenv("HOME");
  std::string savedHome = oldHome ? oldHome : "";
  ::unsetenv("XDG_CONFIG_HOME");
  ::setenv("HOME", root_.c_str(), 1);
  EXPECT_EQ(DefaultFolderPath(TDefaultFolder::dfAppData, "vexo"), root_ + "/.config/vexo/");
  EXPECT_TRUE(fs::is_directory(root_ + "/.config/vexo"));
  if (oldHome) ::setenv("HOME", savedHome.c_str(), 1);
}

TEST_F(IniFileTest, BoolForms) {
  struct Row {
    const char* stored;  // nullptr: key missing
    bool def, expected;
  };
  const Row rows[] = {{"1", false, true},     {"TRUE", false, true}, {"true", false, true},
                      {"tRuE", false, true},  {"yes", true, false},  {"", true, false},
                      {"0", true, false},     {"2", true, false},    {" 1", true, false},
                      {"true ", true, false}, {nullptr, true, true}, {nullptr, false, false}};
  for (const Row& r : rows) {
    SCOPED_TRACE(r.stored ? r.stored : "(missing)");
    auto ini = storeWith(r.stored ? std::string("[Options]\r\nReport=") + r.stored + "\r\n"
                                  : std::string("[Options]\r\nOther=1\r\n"));
    ini->AutoUpdate = false;
    EXPECT_EQ(ini->ReadBool("Options", "Report", r.def), r.expected);
  }
}

TEST_F(IniFileTest, IntegerForms) {
  struct Row {
    const char* stored;
    int expected;  // -7 is the default passed in
  };
  const Row rows[] = {{"75", 75},
                      {"0x20", 32},
                      {"0X20", 32},
                      {"$20", 32},
                      {"$ff", 255},
                      {"-90", -90},
                      {"+5", 5},
                      {"0", 0},
                      {"abc", -7},
                      {"", -7},
                      {"12abc", -7},
                      {" 5", -7},
                      {"5 ", -7},
                      {"0x", -7},
                      {"$", -7},
                      {"0x1G", -7},
                      {"-", -7},
                      {"99999999999", -7},
                      {"2147483647", 2147483647},
                      {"-2147483648", -2147483647 - 1},
                      {"2147483648", -7},
                      {"-2147483649", -7},
                      {"$FFFFFFFF", -1},
                      {"$7FFFFFFF", 2147483647},
                      {"$100000000", -7},
                      {"0x0000000010", 16},
                      {"1.5", -7},
                      {"-0x10", -7}};
  for (const Row& r : rows) {
    SCOPED_TRACE(r.stored);
    auto ini = storeWith(std::string("[Jpeg]\r\nCompress=") + r.stored + "\r\n");
    ini->AutoUpdate = false;
    EXPECT_EQ(ini->ReadInteger("Jpeg", "Compress", -7), r.expected);
  }
}

TEST_F(IniFileTest, ColourForms) {
  auto ini = storeWith("[GIF]\r\nA=$FFFFFFFF\r\nB=0x20000000\r\nC=16777215\r\nD=-1\r\nE=junk\r\n");
  ini->AutoUpdate = false;
  EXPECT_EQ(ini->ReadColor("GIF", "A", 0), 0xFFFFFFFFu);
  EXPECT_EQ(ini->ReadColor("GIF", "B", 0), 0x20000000u);
  EXPECT_EQ(ini->ReadColor("GIF", "C", 0), 0x00FFFFFFu);
  EXPECT_EQ(ini->ReadColor("GIF", "D", 0), 0xFFFFFFFFu);
  EXPECT_EQ(ini->ReadColor("GIF", "E", 0x20000000u), 0x20000000u);
  EXPECT_EQ(ini->ReadColor("GIF", "missing", 0xFEDCBA98u), 0xFEDCBA98u);

  ini->WriteColor("PNG", "TransColor", 0x00FFFFFFu);
  ini->WriteColor("PNG", "Other", 0xabcdef12u);
  ini->WriteColor("PNG", "Auto", 0x20000000u);
  EXPECT_EQ(ini->ReadString("PNG", "TransColor", ""), "$00FFFFFF");
  EXPECT_EQ(ini->ReadString("PNG", "Other", ""), "$ABCDEF12");
  EXPECT_EQ(ini->ReadColor("PNG", "Other", 0), 0xABCDEF12u);
  EXPECT_EQ(ini->ReadColor("PNG", "Auto", 0), 0x20000000u);
}

TEST_F(IniFileTest, ScalarWritesRoundTrip) {
  TExtIniFile ini("vexo");
  open(ini);
  ini.WriteBool("Options", "Report", true);
  ini.WriteBool("Options", "Mirror", false);
  ini.WriteInteger("Options", "Angle", -90);
  ini.WriteInteger("Options", "Min", -2147483647 - 1);
  ini.WriteString("Options", "Output", "/home/u/out");
  EXPECT_EQ(ini.Text(),
            "[Options]\r\nReport=1\r\nMirror=0\r\nAngle=-90\r\nMin=-2147483648\r\n"
            "Output=/home/u/out\r\n\r\n");
  EXPECT_EQ(ini.ReadInteger("Options", "Min", 0), -2147483647 - 1);
  // Overwriting keeps the line's place.
  ini.WriteInteger("Options", "Report", 0);
  EXPECT_EQ(ini.Text(),
            "[Options]\r\nReport=0\r\nMirror=0\r\nAngle=-90\r\nMin=-2147483648\r\n"
            "Output=/home/u/out\r\n\r\n");
}

TEST_F(IniFileTest, CaseInsensitiveUnlessCaseSensitive) {
  auto ini = storeWith("[options]\r\nreport=1\r\n");
  ini->AutoUpdate = false;
  EXPECT_TRUE(ini->ReadBool("Options", "Report", false));
  EXPECT_TRUE(ini->ReadBool("[OPTIONS]", "REPORT", false));
  // A write through other case changes the existing line and keeps its spelling.
  ini->WriteBool("OPTIONS", "Report", false);
  EXPECT_EQ(ini->Text(), "[options]\r\nreport=0\r\n\r\n");

  ini->CaseSensitive = true;
  EXPECT_TRUE(ini->ReadBool("Options", "report", true));   // section differs
  EXPECT_TRUE(ini->ReadBool("options", "Report", true));   // key differs
  EXPECT_FALSE(ini->ReadBool("options", "report", true));  // exact
  ini->WriteBool("Options", "report", true);
  EXPECT_EQ(ini->Text(), "[options]\r\nreport=0\r\n\r\n[Options]\r\nreport=1\r\n\r\n");
}

TEST_F(IniFileTest, ShortLinesAndLinesBeforeFirstSectionVanishOnRewrite) {
  auto ini = storeWith(
      "junk before any section\r\nk=v\r\n\r\n[Options]\r\n; a comment\r\nx\r\n\r\n"
      "Size=5\r\n \r\n# another comment\r\n[Jpeg]\r\nComment=hi\r\n\r\n\r\n");
  ini->UpdateFile();
  EXPECT_EQ(readFile(ini_),
            "[Options]\r\n; a comment\r\nSize=5\r\n# another comment\r\n\r\n"
            "[Jpeg]\r\nComment=hi\r\n\r\n");
}

TEST_F(IniFileTest, LineEndingsReadAlikeAndWriteCrLf) {
  const std::string expected = "[A]\r\nk=1\r\nj=2\r\n\r\n[B]\r\nm=3\r\n\r\n";
  const char* inputs[] = {"[A]\nk=1\nj=2\n[B]\nm=3\n", "[A]\rk=1\rj=2\r[B]\rm=3\r",
                          "[A]\r\nk=1\r\nj=2\r\n[B]\r\nm=3\r\n", "[A]\r\nk=1\nj=2\r[B]\n\rm=3",
                          "[A]\n\nk=1\r\r\nj=2\n\r\n[B]\r\n\r\nm=3"};
  for (const char* input : inputs) {
    SCOPED_TRACE(::testing::PrintToString(std::string(input)));
    auto ini = storeWith(input);
    EXPECT_EQ(ini->ReadInteger("A", "j", 0), 2);
    EXPECT_EQ(ini->ReadInteger("B", "m", 0), 3);
    ini.reset();  // destruction writes the model back
    EXPECT_EQ(readFile(ini_), expected);
  }
}

TEST_F(IniFileTest, DuplicateSectionIsKeptButNeverFound) {
  const std::string text = "[A]\r\nk=1\r\n\r\n[a]\r\nk=2\r\nj=3\r\n\r\n";
  auto ini = storeWith(text);
  EXPECT_EQ(ini->ReadString("A", "k", "-"), "1");
  EXPECT_EQ(ini->ReadString("a", "j", "-"), "-");
  ini->WriteString("A", "j", "x");  // goes into the first section
  EXPECT_EQ(ini->Text(), "[A]\r\nk=1\r\nj=x\r\n\r\n[a]\r\nk=2\r\nj=3\r\n\r\n");
}

TEST_F(IniFileTest, EqualsSignsAndBlanksAreKept) {
  auto ini = storeWith("[S]\r\nk=a=b\r\nname = value \r\n=empty name\r\nplain line\r\n");
  ini->AutoUpdate = false;
  EXPECT_EQ(ini->ReadString("S", "k", ""), "a=b");
  EXPECT_EQ(ini->ReadString("S", "name ", ""), " value ");
  EXPECT_EQ(ini->ReadString("S", "name", "def"), "def");
  EXPECT_EQ(ini->ReadString("S", "", "def"), "empty name");
  EXPECT_EQ(ini->ReadString("S", "plain line", "def"), "def");  // no "=": not a key
  ini->WriteString("S", "k", "x=y=z");
  EXPECT_EQ(ini->ReadString("S", "k", ""), "x=y=z");
  ini->WriteString("S", " new", " padded ");
  EXPECT_EQ(ini->ReadString("S", " new", ""), " padded ");
  EXPECT_EQ(ini->Text(),
            "[S]\r\nk=x=y=z\r\nname = value \r\n=empty name\r\nplain line\r\n new= padded \r\n"
            "\r\n");
}

TEST_F(IniFileTest, EmptyStringMovesKeyToEndOfSection) {
  auto ini = storeWith("[S]\r\na=1\r\nb=2\r\nc=3\r\n[T]\r\nz=9\r\n");
  ini->AutoUpdate = false;
  ini->WriteString("S", "a", "");
  ini->WriteString("S", "new", "");
  EXPECT_EQ(ini->Text(), "[S]\r\nb=2\r\nc=3\r\na=\r\nnew=\r\n\r\n[T]\r\nz=9\r\n\r\n");
  EXPECT_EQ(ini->ReadString("S", "a", "def"), "");  // present, empty
}

TEST_F(IniFileTest, NewSectionsGetBracketsWhereMissing) {
  struct Row {
    const char* name;
    const char* header;
  };
  const Row rows[] = {{"Options", "[Options]"},
                      {"[Options]", "[Options]"},
                      {"[Options", "[Options]"},
                      {"Options]", "[Options]"},
                      {"", "[]"}};
  for (const Row& r : rows) {
    SCOPED_TRACE(r.name);
    TExtIniFile ini("vexo");
    ini.AutoUpdate = false;
    open(ini);
    ini.WriteInteger(r.name, "k", 1);
    EXPECT_EQ(ini.Text(), std::string(r.header) + "\r\nk=1\r\n\r\n");
    EXPECT_EQ(ini.ReadInteger(r.header, "k", 0), 1);
  }
}

TEST_F(IniFileTest, SectionsAndKeysKeepFirstWrittenOrder) {
  TExtIniFile ini("vexo");
  open(ini);
  ini.WriteInteger("Options", "Same", 1);
  ini.WriteInteger("Jpeg", "Compress", 75);
  ini.WriteBool("Options", "Report", true);
  ini.WriteInteger("Options", "Same", 2);
  EXPECT_EQ(ini.Text(), "[Options]\r\nSame=2\r\nReport=1\r\n\r\n[Jpeg]\r\nCompress=75\r\n\r\n");
}

TEST_F(IniFileTest, ListOfTwoOverListOfFive) {
  TExtIniFile ini("vexo");
  open(ini);
  ini.WriteStrings("History", "Out", {"/a", "/b", "/c", "/d", "/e"});
  ini.WriteStrings("History", "Out", {"/x", "/y"});
  EXPECT_EQ(ini.Text(), "[History]\r\nOut=LIST\r\nOut.count=2\r\nOut.0=/x\r\nOut.1=/y\r\n\r\n");
  std::vector<std::string> list{"stale"};
  ini.ReadStrings("History", "Out", list);
  EXPECT_EQ(list, (std::vector<std::string>{"/x", "/y"}));
  ini.WriteStrings("History", "Out", {});
  ini.ReadStrings("History", "Out", list);
  EXPECT_TRUE(list.empty());
  EXPECT_EQ(ini.Text(), "[History]\r\nOut=LIST\r\nOut.count=0\r\n\r\n");
}

TEST_F(IniFileTest, ReadStringsSkipsMissingItemsAndIgnoresHugeCounts) {
  auto ini = storeWith(
      "[H]\r\nOut=LIST\r\nOut.count=2000000000\r\nOut.5=five\r\nout.0=zero\r\nOut.0=dup\r\n"
      "Out.05=padded\r\nOut.x=no\r\nOut.2000000000=over\r\nOther.1=no\r\n");
  ini->AutoUpdate = false;
  std::vector<std::string> list;
  ini->ReadStrings("H", "Out", list);
  EXPECT_EQ(list, (std::vector<std::string>{"zero", "five"}));
  ini->ReadStrings("H", "Missing", list);
  EXPECT_TRUE(list.empty());

  // The huge stored count is met by one pass, and the item above it stays.
  ini->WriteStrings("H", "Out", {"a"});
  EXPECT_EQ(ini->Text(),
            "[H]\r\nOut=LIST\r\nOut.count=1\r\nout.0=a\r\nOut.0=dup\r\nOut.05=padded\r\n"
            "Out.x=no\r\nOut.2000000000=over\r\nOther.1=no\r\n\r\n");
}

TEST_F(IniFileTest, DeleteKeyRemovesCompoundSubKeys) {
  struct Row {
    const char* marker;
    std::vector<std::string> subKeys;
  };
  const Row rows[] = {
      {"FORM",
       {"k.flags", "k.show", "k.state", "k.mx", "k.my", "k.left", "k.top", "k.right", "k.bottom",
        "k.cwidth", "k.cheight"}},
      {"form", {"k.left", "k.cheight"}},
      {"FONT",
       {"k.charset", "k.color", "k.height", "k.name", "k.pitch", "k.b", "k.i", "k.u", "k.s"}},
      {"Bounds", {"k.left", "k.top", "k.width", "k.height"}},
      {"LIST", {"k.count", "k.0", "k.1", "k.2"}},
  };
  for (const Row& r : rows) {
    SCOPED_TRACE(r.marker);
    TExtIniFile ini("vexo");
    ini.AutoUpdate = false;
    open(ini);
    ini.WriteString("S", "before", "1");
    ini.WriteString("S", "k", r.marker);
    for (const std::string& sub : r.subKeys)
      ini.WriteString("S", sub, sub == "k.count" ? "3" : "v");
    ini.WriteString("S", "k.other", "kept");
    ini.WriteString("S", "k.3", "kept");  // beyond a list's count
    ini.DeleteKey("S", "k");
    EXPECT_EQ(ini.Text(), "[S]\r\nbefore=1\r\nk.other=kept\r\nk.3=kept\r\n\r\n");
  }
}

TEST_F(IniFileTest, DeleteKeyOfPlainValueAndMissingKey) {
  auto ini = storeWith("[S]\r\nk=FORMS\r\nk.left=1\r\nj=2\r\n");
  ini->AutoUpdate = false;
  ini->DeleteKey("S", "missing");
  ini->DeleteKey("Nowhere", "k");
  ini->DeleteKey("S", "K");
  EXPECT_EQ(ini->Text(), "[S]\r\nk.left=1\r\nj=2\r\n\r\n");
}

TEST_F(IniFileTest, FormPlacementSavedInOrderAndPositionRestored) {
  TExtIniFile ini("vexo");
  open(ini);
  FormPlacement p;
  p.flags = 2;
  p.show = 1;
  p.mx = -1;
  p.my = -32000;
  p.left = 100;
  p.top = 50;
  p.right = 600;
  p.bottom = 450;
  p.state = 2;
  p.cwidth = 492;
  p.cheight = 373;
  ini.SaveFormPlacement("Restore", "frmOption", p);
  EXPECT_EQ(ini.Text(),
            "[Restore]\r\nfrmOption=FORM\r\nfrmOption.flags=2\r\nfrmOption.show=1\r\n"
            "frmOption.mx=-1\r\nfrmOption.my=-32000\r\nfrmOption.left=100\r\nfrmOption.top=50\r\n"
            "frmOption.right=600\r\nfrmOption.bottom=450\r\nfrmOption.state=2\r\n"
            "frmOption.cwidth=492\r\nfrmOption.cheight=373\r\n\r\n");
  int left = 7, top = 8;
  ini.RestoreFormPosition("Restore", "frmOption", left, top);
  EXPECT_EQ(left, 100);
  EXPECT_EQ(top, 50);
  left = 7;
  top = 8;
  ini.RestoreFormPosition("Restore", "other", left, top);
  EXPECT_EQ(left, 7);
  EXPECT_EQ(top, 8);
}

TEST_F(IniFileTest, UpdateAtOnceWritesEveryChangeAndNotOnDestruction) {
  int updates = 0;
  {
    TExtIniFile ini("vexo");
    open(ini);
    ini.UpdateAtOnce = true;
    ini.OnUpdate = [&] { ++updates; };
    ini.WriteInteger("Jpeg", "Compress", 80);
    EXPECT_EQ(readFile(ini_), "[Jpeg]\r\nCompress=80\r\n\r\n");
    ini.WriteStrings("History", "Out", {"/a"});
    EXPECT_EQ(readFile(ini_),
              "[Jpeg]\r\nCompress=80\r\n\r\n[History]\r\nOut=LIST\r\nOut.count=1\r\n"
              "Out.0=/a\r\n\r\n");
    ini.DeleteKey("Jpeg", "Compress");
    EXPECT_EQ(readFile(ini_),
              "[Jpeg]\r\n\r\n[History]\r\nOut=LIST\r\nOut.count=1\r\nOut.0=/a\r\n\r\n");
    EXPECT_EQ(updates, 3);
    writeFile(ini_, "[Changed]\r\nby=someone else\r\n");
  }
  EXPECT_EQ(readFile(ini_), "[Changed]\r\nby=someone else\r\n");
}

TEST_F(IniFileTest, AutoUpdateOffWritesNothing) {
  {
    TExtIniFile ini("vexo");
    ini.AutoUpdate = false;
    open(ini);
    ini.WriteInteger("Jpeg", "Compress", 80);
  }
  EXPECT_FALSE(fs::exists(ini_));
}

TEST_F(IniFileTest, ChangingFileNameWritesTheOldFileFirst) {
  {
    TExtIniFile ini("vexo");
    open(ini);
    ini.WriteInteger("Jpeg", "Compress", 80);
    ini.SetFileName("Other.ini");
    EXPECT_EQ(readFile(ini_), "[Jpeg]\r\nCompress=80\r\n\r\n");
    EXPECT_EQ(ini.FileName(), "Other.ini");
    EXPECT_EQ(ini.ReadInteger("Jpeg", "Compress", 75), 75);  // the new file was read
    ini.WriteInteger("Jpeg", "Compress", 60);
    ini.AutoUpdate = false;
    ini.SetFileName("Vexo.ini");  // no write-back now
    EXPECT_EQ(ini.ReadInteger("Jpeg", "Compress", 75), 80);
  }
  EXPECT_FALSE(fs::exists(folder_ + "Other.ini"));
}

TEST_F(IniFileTest, OnLoadAndReloadSeeTheFile) {
  fs::create_directories(folder_);
  writeFile(ini_, "[Options]\r\nSize=5\r\n");
  TExtIniFile ini("vexo");
  ini.AutoUpdate = false;
  int loads = 0;
  ini.OnLoad = [&] { ++loads; };
  ini.SetDefaultFolder(TDefaultFolder::dfAppData);
  EXPECT_EQ(loads, 0);  // the folder itself is no file
  ini.SetFileName("Vexo.ini");
  EXPECT_EQ(loads, 1);
  EXPECT_EQ(ini.ReadInteger("Options", "Size", 100), 5);
  writeFile(ini_, "[Options]\r\nSize=7\r\n");
  ini.Reload();
  EXPECT_EQ(loads, 2);
  EXPECT_EQ(ini.ReadInteger("Options", "Size", 100), 7);
}

TEST_F(IniFileTest, SecondStoreReadsWhatTheFirstWrote) {
  {
    TExtIniFile dialog("vexo");
    open(dialog);
    dialog.WriteString("Jpeg", "Comment", "caf\xc3\xa9 =)");
    dialog.WriteStrings("History", "Out", {"/one", "/two"});
  }
  TExtIniFile driver("vexo");
  open(driver);
  EXPECT_EQ(driver.ReadString("Jpeg", "Comment", ""), "caf\xc3\xa9 =)");
  std::vector<std::string> list;
  driver.ReadStrings("History", "Out", list);
  EXPECT_EQ(list, (std::vector<std::string>{"/one", "/two"}));
}

TEST_F(IniFileTest, NonUtf8BytesSurviveRoundTrip) {
  const std::string value = "\xff\xfe\x80 abc \xc3(\x82\x8a\xa0\xe3";
  const std::string text = "[S]\r\nk=" + value + "\r\n\r\n";
  {
    auto ini = storeWith(text);
    EXPECT_EQ(ini->ReadString("S", "k", ""), value);
  }
  EXPECT_EQ(readFile(ini_), text);
  {
    TExtIniFile ini("vexo");
    open(ini);
    ini.WriteString("S", "j", value);
  }
  EXPECT_EQ(readFile(ini_), "[S]\r\nk=" + value + "\r\nj=" + value + "\r\n\r\n");
}

TEST_F(IniFileTest, LeadingByteOrderMarkIsIgnored) {
  auto ini = storeWith("\xEF\xBB\xBF[Options]\r\nSize=5\r\n");
  EXPECT_EQ(ini->ReadInteger("Options", "Size", 100), 5);
}

TEST_F(IniFileTest, UnwritablePlacesAreSkippedSilently) {
  // A path through a regular file can never be written, whoever runs the test.
  writeFile(root_ + "/plain", "x");
  TExtIniFile ini("vexo");
  ini.SetDefaultFolder(TDefaultFolder::dfUser);
  ini.SetFileName(root_ + "/plain/Vexo.ini");
  ini.WriteInteger("Jpeg", "Compress", 80);
  EXPECT_NO_THROW(ini.UpdateFile());
  EXPECT_EQ(ini.ReadInteger("Jpeg", "Compress", 75), 80);  // the model is kept
  EXPECT_EQ(readFile(root_ + "/plain"), "x");
}  // destruction fails quietly too

TEST_F(IniFileTest, ReadOnlyFolderIsSkippedSilently) {
  if (::geteuid() == 0) GTEST_SKIP() << "permissions do not bind root";
  fs::create_directories(folder_);
  writeFile(ini_, "[Options]\r\nSize=5\r\n");
  ::chmod(folder_.c_str(), 0500);
  {
    TExtIniFile ini("vexo");
    open(ini);
    ini.WriteInteger("Options", "Size", 9);
    EXPECT_NO_THROW(ini.UpdateFile());
  }  // destruction fails quietly too
  ::chmod(folder_.c_str(), 0700);
  EXPECT_EQ(readFile(ini_), "[Options]\r\nSize=5\r\n");
  EXPECT_EQ(std::distance(fs::directory_iterator(folder_), fs::directory_iterator()), 1);
}

TEST_F(IniFileTest, UnreadableFileGivesDefaults) {
  if (::geteuid() == 0) GTEST_SKIP() << "permissions do not bind root";
  auto ini = storeWith("[Options]\r\nSize=5\r\n");
  ini->AutoUpdate = false;
  ::chmod(ini_.c_str(), 0200);
  ini->Reload();
  EXPECT_EQ(ini->ReadInteger("Options", "Size", 100), 100);
  EXPECT_EQ(ini->Text(), "");
}

TEST_F(IniFileTest, SymbolicLinkIsWrittenThrough) {
  fs::create_directories(folder_);
  const std::string target = root_ + "/dotfiles.ini";
  writeFile(target, "[Options]\r\nSize=5\r\n");
  fs::create_symlink(target, ini_);
  {
    TExtIniFile ini("vexo");
    open(ini);
    ini.WriteInteger("Options", "Size", 6);
  }
  EXPECT_TRUE(fs::is_symlink(ini_));
  EXPECT_EQ(readFile(target), "[Options]\r\nSize=6\r\n\r\n");
}

}  // namespace
}  // namespace vexo

namespace vexo {
namespace {

// Settings that could not be read are never replaced by the empty model on write-back.
TEST_F(IniFileTest, UnreadableFileIsNotOverwrittenOnDestruction) {
  fs::create_directories(folder_);
  { std::ofstream(ini_) << "[Options]\r\nSize=5\r\n"; }
  fs::resize_file(ini_, (std::uintmax_t{65} << 20));  // over the store's size limit: unreadable
  {
    TExtIniFile ini("vexo");
    open(ini);
    EXPECT_EQ(ini.ReadInteger("Options", "Size", 100), 100);
  }
  EXPECT_EQ(fs::file_size(ini_), std::uintmax_t{65} << 20);
}

}  // namespace
}  // namespace vexo
