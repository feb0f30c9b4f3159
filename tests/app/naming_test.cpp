#include "app/naming.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>

#include "app/front_end.h"
#include "support/reference.h"

namespace vexo {
namespace {

namespace fs = std::filesystem;

// Answers overwrite questions from a list and counts them.
class Answers : public RunFrontEnd {
 public:
  explicit Answers(std::vector<int> answers) : answers_(std::move(answers)) {}
  void Prepare(int, bool) override {}
  void Step(const std::string&) override {}
  bool Stopped() const override { return false; }
  int AskFormat(const std::string&, int&) override { return kSelectOk; }
  int AskOverwrite(const std::string&) override { return answers_.at(asked++); }
  void ShowReport(const std::vector<std::string>&) override {}
  std::size_t asked = 0;

 private:
  std::vector<int> answers_;
};

class Naming : public ::testing::Test {
 protected:
  std::string base(const std::string& name) const { return (dir_ / name).string(); }
  void touch(const std::string& name) const { std::ofstream(dir_ / name) << "x"; }
  test::TempDir temp_;
  const fs::path& dir_ = temp_.path();
};

TEST_F(Naming, PoliciesOnACollision) {
  touch("a.jpg");
  touch("a_1.jpg");
  struct Row {
    int policy;
    std::vector<int> answers;
    std::vector<std::string> expected;  // results of three calls, relative to the folder
    std::size_t asked;
  } rows[] = {
      {kSaveAsOther, {}, {"a_2.jpg", "a_2.jpg", "a_2.jpg"}, 0},
      {kOverwrite, {}, {"a.jpg", "a.jpg", "a.jpg"}, 0},
      {9, {}, {"a.jpg", "a.jpg", "a.jpg"}, 0},  // any other policy overwrites
      {kAsk, {kAnswerRename, kAnswerOverwrite, kAnswerSkip}, {"a_2.jpg", "a.jpg", ""}, 3},
      {kAsk, {kAnswerRenameAll}, {"a_2.jpg", "a_2.jpg", "a_2.jpg"}, 1},
      {kAsk, {kAnswerOverwrite, kAnswerOverwriteAll}, {"a.jpg", "a.jpg", "a.jpg"}, 2},
  };
  for (const auto& r : rows) {
    Answers fe(r.answers);
    OutputNamer namer(r.policy, fe);
    for (const auto& want : r.expected) {
      const std::string got = namer.ResolveOutputName(base("a"), ".jpg");
      EXPECT_EQ(got, want.empty() ? "" : base(want)) << "policy " << r.policy;
      EXPECT_EQ(namer.replacing(), want == "a.jpg");
    }
    EXPECT_EQ(fe.asked, r.asked) << "policy " << r.policy;
  }
}

TEST_F(Naming, OnlyFilesCollide) {
  fs::create_directory(dir_ / "b.bmp");
  Answers fe({});
  OutputNamer namer(kAsk, fe);
  EXPECT_EQ(namer.ResolveOutputName(base("b"), ".bmp"), base("b.bmp"));
  EXPECT_EQ(fe.asked, 0u);
  fs::create_directory(dir_ / "c_1.png");
  touch("c.png");
  EXPECT_EQ(OutputNamer::NumberedName(base("c"), ".png"), base("c_1.png"));
}

}  // namespace
}  // namespace vexo
