// The plug-in host with plug-ins built for it: loading and its failures, registration, the
// candidate order, the MacBinary offset, and blocks whose sizes lie.
#include "input/spi_host.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <string>
#include <vector>

#include "support/reference.h"

namespace vexo {
namespace {

const std::string kDir = VEXO_TEST_SPI_DIR "/";

// A TST1 file: signature, width, height, RGB pixels top-down.
std::vector<std::uint8_t> tst(int w, int h, std::size_t prefix = 0) {
  std::vector<std::uint8_t> file(prefix, 0);
  for (char c : std::string("TST1")) file.push_back(static_cast<std::uint8_t>(c));
  file.push_back(static_cast<std::uint8_t>(w));
  file.push_back(static_cast<std::uint8_t>(h));
  for (int i = 0; i < w * h; ++i)
    for (int c = 0; c < 3; ++c) file.push_back(static_cast<std::uint8_t>(i * 40 + c * 7));
  return file;
}

TEST(SpiHost, LoadsAndRegistersFromTheRight) {
  TSPIs host;
  std::vector<std::string> registered;
  host.OnPictureRegister = [&](const TSPI&, const std::string& description,
                               const std::string& extension) {
    registered.push_back(extension + "=" + description);
  };
  host.Search(kDir + "good.spi");
  ASSERT_EQ(host.Count(), 1);
  EXPECT_EQ(host.Items(0).ApiVersion(), "00IN");
  EXPECT_EQ(registered, (std::vector<std::string>{"ts2=Test image", "tst=Test image"}));
  host.Search(kDir + "good.spi");  // the same path is loaded once, a copy elsewhere again
  EXPECT_EQ(host.IndexOf(kDir + "good.spi"), 0);
  const int loaded = host.Count();
  test::TempDir copy;
  std::filesystem::copy_file(kDir + "good.spi", copy.file("good.spi"));
  host.Search(copy.file("*.spi"));
  EXPECT_EQ(host.Count(), loaded + 1);
  EXPECT_EQ(host.Items(loaded).Path(), copy.file("good.spi"));
}

TEST(SpiHost, BuiltInReadersKeepTheirExtensions) {
  TImages images;
  const int jpeg = images.IndexOf(".jpg");
  TSPIs host;
  host.OnPictureRegister = [&](const TSPI&, const std::string&, const std::string& extension) {
    images.Add("." + extension, SpiGraphicFactory(host));
  };
  host.Search(kDir + "claimsjpg.spi");
  EXPECT_EQ(images.Count(), TImages().Count() + 1);
  EXPECT_EQ(images.IndexOf(".jpg"), jpeg);
}

TEST(SpiHost, MissingDescriptionRegistersNothing) {
  TSPIs host;
  int calls = 0;
  host.OnPictureRegister = [&](const TSPI&, const std::string&, const std::string&) { ++calls; };
  host.Search(kDir + "nodescription.spi");
  EXPECT_EQ(host.Count(), 1);
  EXPECT_EQ(calls, 0);
}

TEST(SpiHost, PluginWithoutInfoEndsTheRunWithItsMessage) {
  TSPIs host;
  try {
    host.Search(kDir + "noinfo.spi");
    FAIL() << "no exception";
  } catch (const ESPIInvalidAPI& e) {
    EXPECT_EQ(std::string(e.what()),
              "GetPluginInfoは[" + kDir + "noinfo.spi]では使えないSusie Plugin APIです");
  }
}

TEST(SpiHost, OneHostAtATime) {
  TSPIs host;
  EXPECT_THROW(TSPIs(), ESPIDupCreateSPIs);
}

struct DecodeCase {
  std::string plugin;
  std::size_t prefix;
  bool macBinary;
  bool decodes;
};
void PrintTo(const DecodeCase& c, std::ostream* os) {
  *os << c.plugin;
}

class SpiDecode : public ::testing::TestWithParam<DecodeCase> {};

TEST_P(SpiDecode, ChecksEveryBlock) {
  const DecodeCase& c = GetParam();
  test::TempDir dir;
  const std::string path = dir.file("a.tst");
  test::writeFile(path, tst(3, 2, c.prefix));
  TSPIs host;
  host.MacBinary = c.macBinary;
  host.Search(kDir + c.plugin + ".spi");
  if (!c.decodes) {
    EXPECT_THROW(host.Decode(path, {}, DecodeLimits::defaults()), Error);
    return;
  }
  const Bitmap bitmap = host.Decode(path, {}, DecodeLimits::defaults());
  ASSERT_EQ(bitmap.width(), 3);
  ASSERT_EQ(bitmap.height(), 2);
}

INSTANTIATE_TEST_SUITE_P(Plugins, SpiDecode,
                         ::testing::Values(DecodeCase{"good", 0, true, true},
                                           DecodeCase{"topdown", 0, true, true},
                                           DecodeCase{"good", 128, true, true},
                                           DecodeCase{"good", 128, false, false},
                                           DecodeCase{"hostile", 0, true, false},
                                           DecodeCase{"nullblocks", 0, true, false}),
                         [](const auto& p) {
                           return p.param.plugin + (p.param.prefix ? "MacBinary" : "") +
                                  (p.param.macBinary ? "" : "Off");
                         });

// A bitmap file that also holds a 1 x 1 TST1 picture at the MacBinary offset: the bitmap reader
// reads 16 x 4, the plug-in 1 x 1. Which one is tried first depends on the extension.
struct OrderCase {
  std::string name;
  int width;
};
void PrintTo(const OrderCase& c, std::ostream* os) {
  *os << c.name;
}

class SpiBitmapOrder : public ::testing::TestWithParam<OrderCase> {};

TEST_P(SpiBitmapOrder, BmpExtensionTriesTheBitmapReaderFirst) {
  std::vector<std::uint8_t> file(54 + 48 * 4, 0x80);
  const std::uint32_t fields[] = {static_cast<std::uint32_t>(file.size()), 0, 54, 40, 16, 4};
  file[0] = 'B';
  file[1] = 'M';
  for (int i = 0; i < 6; ++i)
    for (int b = 0; b < 4; ++b) file[2 + 4 * i + b] = static_cast<std::uint8_t>(fields[i] >> 8 * b);
  std::fill(file.begin() + 26, file.begin() + 54, 0);
  file[26] = 1;   // planes
  file[28] = 24;  // bits
  const std::vector<std::uint8_t> picture = tst(1, 1);
  std::copy(picture.begin(), picture.end(), file.begin() + 128);

  test::TempDir dir;
  const std::string path = dir.file(GetParam().name);
  test::writeFile(path, file);
  TSPIs host;
  host.Search(kDir + "good.spi");
  const auto graphic = SpiGraphicFactory(host)();
  graphic->loadFromFile(path);
  EXPECT_EQ(graphic->width(), GetParam().width);
}

INSTANTIATE_TEST_SUITE_P(Extensions, SpiBitmapOrder,
                         ::testing::Values(OrderCase{"a.BMP", 16}, OrderCase{"a.bmp", 16},
                                           OrderCase{"a.tst", 1}, OrderCase{"a.dat", 1},
                                           OrderCase{"noextension", 1}),
                         [](const auto& p) {
                           std::string name = p.param.name;
                           std::replace(name.begin(), name.end(), '.', '_');
                           return name;
                         });

}  // namespace
}  // namespace vexo
