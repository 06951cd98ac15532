#include "driver/command_line.h"

#include <gtest/gtest.h>

#include <climits>

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
  ASSERT_TRUE(ParseCommandLine(3, argv, &commandLine));
  EXPECT_FALSE(commandLine.hasChip);
  EXPECT_FALSE(commandLine.hasSecureBoot);
  EXPECT_EQ(commandLine.chip, 0);
  ASSERT_TRUE(ParseCommandLine(4, argv, &commandLine));
  EXPECT_TRUE(commandLine.hasChip);
  EXPECT_EQ(commandLine.chip, 0);
  EXPECT_FALSE(ParseCommandLine(2, argv, &commandLine));
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
