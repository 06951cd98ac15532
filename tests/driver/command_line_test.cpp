#include "driver/command_line.h"

#include <gtest/gtest.h>

#include <climits>
#include <string>
#include <vector>

namespace sealtool {
namespace {

TEST(CommandLineTest, NumbersConvertLikeAtoiAndClampOutOfRange) {
  struct Case {
    const char* text;
    std::int32_t value;
  };
  const Case cases[] = {
      {"742", 742},          {"  \t-5", -5},        {"+7", 7},
      {"12abc", 12},         {"abc", 0},            {"", 0},
      {"0x10", 0},           {"2147483647", INT_MAX}, {"-2147483648", INT_MIN},
      {"2147483648", INT_MAX}, {"-2147483649", INT_MIN},
      {"99999999999999999999999", INT_MAX}, {"-99999999999999999999999", INT_MIN},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(ParseDecimalLikeAtoi(c.text), c.value) << '"' << c.text << '"';
  }
}

TEST(CommandLineTest, MissingNumbersAreZero) {
  char program[] = "sealtool";
  char in[] = "in.bin";
  char out[] = "out.bin";
  char chip[] = "xyz";
  char* argv[] = {program, in, out, chip, nullptr};
  CommandLine commandLine{};
  const char* problem = nullptr;
  ASSERT_EQ(ParseCommandLine(3, argv, &commandLine, &problem), ParseResult::kRun);
  EXPECT_FALSE(commandLine.hasChip);
  EXPECT_FALSE(commandLine.hasSecureBoot);
  EXPECT_EQ(commandLine.chip, 0);
  ASSERT_EQ(ParseCommandLine(4, argv, &commandLine, &problem), ParseResult::kRun);
  EXPECT_TRUE(commandLine.hasChip);
  EXPECT_EQ(commandLine.chip, 0);
  EXPECT_EQ(ParseCommandLine(2, argv, &commandLine, &problem), ParseResult::kSyntaxError);
}

// Only the option words are options: every other first argument is the
// input path, as it was before there were options.
TEST(CommandLineTest, KeyOptionsComeFirstAndNothingElseIsAnOption) {
  struct Case {
    std::vector<std::string> args;
    ParseResult result;
    const char* input;
    const char* rsaKey;
    const char* aesKey;
  };
  const std::vector<Case> cases = {
      {{"in", "out"}, ParseResult::kRun, "in", nullptr, nullptr},
      {{"--rsa-key", "k", "in", "out", "742", "2"}, ParseResult::kRun, "in", "k", nullptr},
      {{"--aes-key", "pkcs11:object=a", "--", "--rsa-key", "out"}, ParseResult::kRun, "--rsa-key",
       nullptr, "pkcs11:object=a"},
      {{"-x", "out"}, ParseResult::kRun, "-x", nullptr, nullptr},
      {{"--unknown", "out"}, ParseResult::kRun, "--unknown", nullptr, nullptr},
      {{"in", "--rsa-key", "k"}, ParseResult::kRun, "in", nullptr, nullptr},
      {{"--rsa-key"}, ParseResult::kMissingValue, nullptr, nullptr, nullptr},
      {{"--rsa-key", "k", "in"}, ParseResult::kSyntaxError, nullptr, "k", nullptr},
      {{"--help", "in", "out"}, ParseResult::kHelp, nullptr, nullptr, nullptr},
      {{"--version"}, ParseResult::kVersion, nullptr, nullptr, nullptr},
      {{"--rsa-key", "k", "--signature", "s", "in", "out"}, ParseResult::kConflict, nullptr, "k",
       nullptr},
      {{"--sign-later", "b", "--signature", "s", "in", "out"}, ParseResult::kConflict, nullptr,
       nullptr, nullptr},
  };
  for (const Case& c : cases) {
    std::vector<std::string> words = {"sealtool"};
    words.insert(words.end(), c.args.begin(), c.args.end());
    std::vector<char*> argv;
    for (std::string& word : words) argv.push_back(word.data());
    CommandLine commandLine{};
    const char* problem = nullptr;
    const ParseResult result =
        ParseCommandLine(static_cast<int>(argv.size()), argv.data(), &commandLine, &problem);
    const std::string name = c.args.empty() ? "" : c.args.front();
    EXPECT_EQ(result, c.result) << name;
    if (result != ParseResult::kRun) continue;
    EXPECT_STREQ(commandLine.inputPath, c.input) << name;
    EXPECT_STREQ(commandLine.keys.rsaKey, c.rsaKey) << name;
    EXPECT_STREQ(commandLine.keys.aesKey, c.aesKey) << name;
  }
}

TEST(CommandLineTest, RunModeTable) {
  struct Case {
    std::int32_t chip, secureBoot;
    RunMode mode;
  };
  const Case cases[] = {
      {742, 0, RunMode::kPlain},     {0, 0, RunMode::kPlain},
      {742, 2, RunMode::kRsa},       {742, 3, RunMode::kAesSeal},
      {742, 1, RunMode::kAesSeal},   {742, -1, RunMode::kAesSeal},
      {753, 3, RunMode::kKeyRecord}, {0, 3, RunMode::kKeyRecord},
      {753, 2, RunMode::kAesSeal},   {775, 1, RunMode::kAesSeal},
      {731, 7, RunMode::kAesSeal},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(ChooseRunMode(c.chip, c.secureBoot), c.mode) << c.chip << "/" << c.secureBoot;
  }
  EXPECT_TRUE(IsSecureMode(RunMode::kRsa));
  EXPECT_TRUE(IsSecureMode(RunMode::kAesSeal));
  EXPECT_FALSE(IsSecureMode(RunMode::kPlain));
  EXPECT_FALSE(IsSecureMode(RunMode::kKeyRecord));
}

}  // namespace
}  // namespace sealtool
