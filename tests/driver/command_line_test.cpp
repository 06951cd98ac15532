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

// The parsed command line points into |args|, which the caller keeps alive.
ParseResult Parse(std::vector<std::string>* args, std::string* problem,
                  CommandLine* commandLine = nullptr) {
  args->insert(args->begin(), "sealtool");
  std::vector<char*> argv;
  for (std::string& word : *args) argv.push_back(word.data());
  CommandLine parsed{};
  const char* text = nullptr;
  const ParseResult result =
      ParseCommandLine(static_cast<int>(argv.size()), argv.data(), &parsed, &text);
  *problem = text != nullptr ? text : "";
  if (commandLine != nullptr) *commandLine = parsed;
  return result;
}

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
      {{"--aes-key", "pkcs11:object=a", "--", "--rsa-key", "out", "753", "1"}, ParseResult::kRun,
       "--rsa-key", nullptr, "pkcs11:object=a"},
      {{"-x", "out"}, ParseResult::kRun, "-x", nullptr, nullptr},
      {{"--unknown", "out"}, ParseResult::kRun, "--unknown", nullptr, nullptr},
      {{"in", "--rsa-key", "k"}, ParseResult::kRefused, nullptr, nullptr, nullptr},
      {{"--rsa-key"}, ParseResult::kMissingValue, nullptr, nullptr, nullptr},
      {{"--rsa-key", "k", "in"}, ParseResult::kSyntaxError, nullptr, "k", nullptr},
      {{"--help", "in", "out"}, ParseResult::kHelp, nullptr, nullptr, nullptr},
      {{"--version"}, ParseResult::kVersion, nullptr, nullptr, nullptr},
      {{"--rsa-key", "k", "--signature", "s", "in", "out"}, ParseResult::kRefused, nullptr, "k",
       nullptr},
      {{"--sign-later", "b", "--signature", "s", "in", "out"}, ParseResult::kRefused, nullptr,
       nullptr, nullptr},
  };
  for (const Case& c : cases) {
    CommandLine commandLine{};
    std::string problem;
    std::vector<std::string> args = c.args;
    const ParseResult result = Parse(&args, &problem, &commandLine);
    const std::string name = c.args.empty() ? "" : c.args.front();
    EXPECT_EQ(result, c.result) << name;
    if (result != ParseResult::kRun) continue;
    EXPECT_STREQ(commandLine.inputPath, c.input) << name;
    EXPECT_STREQ(commandLine.keys.rsaKey, c.rsaKey) << name;
    EXPECT_STREQ(commandLine.keys.aesKey, c.aesKey) << name;
  }
}

// A run takes only the options its mode reads, each once, before the paths:
// anything else is refused with the option's name and the reason.
TEST(CommandLineTest, OptionsTheRunDoesNotReadAreRefused) {
  struct Case {
    std::vector<std::string> args;
    const char* problem;  // null: the run goes ahead
  };
  const Case cases[] = {
      {{"--sign-later", "b", "in", "out", "742", "1"},
       "--sign-later needs RSA mode: chip 742, secure_boot 2; this run is aes-seal mode (chip 742, "
       "secure_boot 1)"},
      {{"--signature", "s", "in", "out", "753", "3"}, "--signature needs RSA mode"},
      {{"--rsa-key", "k", "in", "out", "775", "1"}, "--rsa-key needs RSA mode"},
      {{"--rsa-pub", "k", "in", "out", "753", "1"}, "--rsa-pub needs RSA mode"},
      {{"--seal-key", "k", "in", "out", "742", "2"}, "--seal-key needs AES-seal mode"},
      {{"--seal-key", "k", "in", "out", "753", "3"}, "--seal-key needs AES-seal mode"},
      {{"--aes-key", "k", "in", "out", "742", "0"}, "--aes-key needs a secure or key-record run"},
      {{"--aes-key", "k", "in", "out"}, "--aes-key needs a secure or key-record run"},
      {{"in", "out", "742", "2", "--rsa-key", "other"}, "--rsa-key after the input and output paths"},
      {{"in", "out", "742", "--", "2"}, "-- after the input and output paths"},
      {{"in", "--help"}, "--help after the input and output paths"},
      {{"--rsa-key", "a", "--rsa-key", "b", "in", "out", "742", "2"}, "--rsa-key is given twice"},
      {{"--aes-key", "a", "--seal-key", "b", "--aes-key", "a", "in", "out", "753", "1"},
       "--aes-key is given twice"},
      {{"--aes-key", "k", "in", "out", "753", "3"}, nullptr},
      {{"--aes-key", "k", "--seal-key", "s", "in", "out", "775", "1"}, nullptr},
      {{"--rsa-pub", "p", "--sign-later", "b", "--aes-key", "a", "in", "out", "742", "2"}, nullptr},
      {{"in", "out", "742", "2", "extra", "--unknown"}, nullptr},
      {{"--", "--rsa-key", "--signature", "753", "0"}, nullptr},
  };
  for (const Case& c : cases) {
    std::string problem;
    std::vector<std::string> args = c.args;
    const ParseResult result = Parse(&args, &problem);
    const std::string name = c.args.front() + " " + c.args[1];
    if (c.problem == nullptr) {
      EXPECT_EQ(result, ParseResult::kRun) << name << ": " << problem;
    } else {
      EXPECT_EQ(result, ParseResult::kRefused) << name;
      EXPECT_EQ(problem.rfind(c.problem, 0), 0u) << name << ": " << problem;
    }
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
