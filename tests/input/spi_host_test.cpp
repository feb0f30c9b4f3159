// The plug-in host with plug-ins built for it: loading and its failures, registration, the
// candidate order, the MacBinary offset, and blocks whose sizes lie.
#include "input/spi_host.h"

#include <gtest/gtest.h>

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
  host.Search(kDir + "good.spi");  // the same path is loaded once
  EXPECT_EQ(host.Count(), 1);
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
void PrintTo(const DecodeCase& c, std::ostream* os) { *os << c.plugin; }

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

}  // namespace
}  // namespace vexo
