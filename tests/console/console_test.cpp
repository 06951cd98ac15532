#include "console/console.h"

#include <gtest/gtest.h>

#include <string>

namespace sealtool {
namespace {

using testing::internal::CaptureStdout;
using testing::internal::GetCapturedStdout;

class ConsoleTest : public testing::Test {
 protected:
  void SetUp() override {
    StepFailure stale;
    TakeStepFailure(&stale);
  }
};

TEST_F(ConsoleTest, ASingleRunPrintsEverythingAsPrintfWould) {
  CaptureStdout();
  Say("AES-Key:\r\n");
  SaySecret("%02x ", 0xab);
  Say("\r\n");
  SayFailed("  ! Please check %s\n Key must AES-128bits\n\n", "aes.txt");
  EXPECT_EQ(GetCapturedStdout(), "AES-Key:\r\nab \r\n failed\n  ! Please check aes.txt\n Key must AES-128bits\n\n");
}

TEST_F(ConsoleTest, AQuietRunKeepsOnlyTheFailureAndItsHeading) {
  CaptureStdout();
  BeginQuietSteps();
  Say("SHA256: 0x1 0x2\r\n");
  Say("AES-Key:\r\n");
  SaySecret("%02x", 0x5c);
  Say("\r\n");
  SayFailed("  ! mbedtls_aes_crypt_cbc returned -0x%04x\n", 0x22);
  Say("  ! more of the reason\n\n");
  StepFailure failure;
  EndQuietSteps(&failure);
  EXPECT_EQ(GetCapturedStdout(), "") << "nothing reaches the console";
  EXPECT_TRUE(failure.failed);
  EXPECT_STREQ(failure.what, "AES-Key:") << "the key bytes and the blank line are no heading";
  EXPECT_STREQ(failure.reason, " failed\n  ! mbedtls_aes_crypt_cbc returned -0x0022\n  ! more of the reason\n\n");
}

TEST_F(ConsoleTest, KeyBytesAreNeverKept) {
  CaptureStdout();
  BeginQuietSteps();
  Say("AES-Key:\r\n");
  SaySecret("%s", "00112233445566778899aabbccddeeff");
  SayFailed("%s", "");
  SaySecret("%s", "ffeeddccbbaa99887766554433221100");
  StepFailure failure;
  EndQuietSteps(&failure);
  GetCapturedStdout();
  const std::string kept = std::string(failure.what) + failure.reason;
  EXPECT_EQ(kept.find("0011"), std::string::npos) << kept;
  EXPECT_EQ(kept.find("ffee"), std::string::npos) << kept;
}

TEST_F(ConsoleTest, WarningsPassWhileQuietAndARefusalIsAFailure) {
  CaptureStdout();
  BeginQuietSteps();
  SayWarning("  ! warning: the URI carries its PIN\n");
  SayRefused("Not valid boot code!, chip = %d\n", 753);
  StepFailure failure;
  EndQuietSteps(&failure);
  EXPECT_EQ(GetCapturedStdout(), "  ! warning: the URI carries its PIN\n");
  EXPECT_TRUE(failure.failed);
  EXPECT_STREQ(failure.what, "");
  EXPECT_STREQ(failure.reason, "Not valid boot code!, chip = 753\n");
}

TEST_F(ConsoleTest, AnImageThatSealsHasNoFailureAndALongMessageIsCutNotOverrun) {
  BeginQuietSteps();
  Say("%s\n", "ok");
  StepFailure none;
  EndQuietSteps(&none);
  EXPECT_FALSE(none.failed);

  const std::string path(5000, 'p');
  CaptureStdout();
  BeginQuietSteps();
  SayFailed("  ! Could not open %s\n\n", path.c_str());
  StepFailure failure;
  EndQuietSteps(&failure);
  GetCapturedStdout();
  EXPECT_EQ(std::string(failure.reason).size(), sizeof failure.reason - 1);
  EXPECT_EQ(std::string(failure.reason).rfind(" failed\n  ! Could not open ppp", 0), 0u);
}

}  // namespace
}  // namespace sealtool
