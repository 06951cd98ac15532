// Every failure a run can meet before or while writing: the exact message,
// the exit status, and that the output is neither created nor changed and
// no temporary file is left behind.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <functional>

#include "e2e_support.h"
#include "test_keys.h"

namespace sealtool::test {
namespace {

const char kBanner[] = "sealtool version : 2018-0316-1.0003\r\n";
const char kUsage[] =
    "command syntax error!\nsealtool <input_bin> <output_bin> <chip id> <secure_boot>\n";
const char kBadKey[] = " failed\n  ! Please check aes.txt\n Key must AES-128bits\n\n";
const char kByteList[] =
    "0x00 0x11 0x22 0x33 0x44 0x55 0x66 0x77 0x88 0x99 0xaa 0xbb 0xcc 0xdd 0xee 0xff\n";

std::string Repeat(const std::string& line, int times) {
  std::string text;
  for (int i = 0; i < times; ++i) text += line;
  return text;
}

struct FailureCase {
  const char* name;
  std::vector<std::string> args;
  std::function<void(const TempDir&)> setup;
  std::string expectedOut;
  int exitStatus;
  long fileSizeLimit = -1;
};

void PrintTo(const FailureCase& c, std::ostream* os) { *os << c.name; }

void WriteExample(const TempDir& dir, std::int32_t chip) {
  WriteBytes(dir.File("in.bin"), ExampleInput(chip));
}

std::function<void(const TempDir&)> Example(std::int32_t chip) {
  return [chip](const TempDir& dir) { WriteExample(dir, chip); };
}

std::function<void(const TempDir&)> ExampleWithAesText(std::int32_t chip, std::string text) {
  return [chip, text](const TempDir& dir) {
    WriteExample(dir, chip);
    WriteText(dir.File("aes.txt"), text);
  };
}

std::string Reading(std::size_t size = 24576) {
  return "Reading 'in.bin'...\n" + Format("file size = %zu\n", size);
}

std::vector<FailureCase> ImageFailures() {
  const std::string tooLong =
      Repeat("Serial error !! 'in.bin' exceed 16K bytes...\n", 10) +
      "read binary file error!, chip = 753\n";
  return {
      {"NoArguments", {}, [](const TempDir&) {}, kUsage, 255},
      {"OnlyOnePath", {"in.bin"}, Example(753), kUsage, 255},
      {"MissingInput", {"in.bin", "out.bin", "753", "0"}, [](const TempDir&) {},
       std::string(kBanner) + "chip version [KX73753]\nsecure boot: 0\n"
           "Can't open 'in.bin' !\nread binary file error!, chip = 753\n",
       255},
      {"InputOneByteTooLong", {"in.bin", "out.bin", "753", "0"},
       [](const TempDir& dir) { WriteBytes(dir.File("in.bin"), Bytes(32769, 0x55)); },
       std::string(kBanner) + "chip version [KX73753]\nsecure boot: 0\nReading 'in.bin'...\n" +
           tooLong,
       255},
      {"BadBootMarker", {"in.bin", "out.bin", "753", "0"},
       [](const TempDir& dir) {
         Bytes image = ExampleInput(753);
         image[48] = 0xAA;
         image[49] = 0x55;
         WriteBytes(dir.File("in.bin"), image);
       },
       std::string(kBanner) + "chip version [KX73753]\nsecure boot: 0\n" + Reading() +
           "Not valid boot code!, chip = 753\n",
       255},
      {"GroupLayoutMismatch", {"in.bin", "out.bin", "0", "1"}, Example(753),
       std::string(kBanner) + "chip version [KX730]\nsecure boot: 1\n" + Reading() +
           "Not valid boot code!, chip = 0\n",
       255},
      {"OutputDirectoryMissing", {"in.bin", "no/such/dir/out.bin", "753", "0"}, Example(753),
       "", 1},
      {"OutputTooLargeForTheFileSizeLimit", {"in.bin", "out.bin", "753", "0"}, Example(753), "",
       1, 30000},
  };
}

std::vector<FailureCase> KeyFailures() {
  Bytes noMagic = ExampleInput(753);
  noMagic[112] = 0x04;
  noMagic[115] = 0x15;
  return {
      {"BadKeyRecordMagic", {"in.bin", "out.bin", "753", "3"},
       [noMagic](const TempDir& dir) { WriteBytes(dir.File("in.bin"), noMagic); },
       std::string(kBanner) + "chip version [KX73753]\nsecure boot: 3\n" + Reading() +
           "Not valid wr key code!\n",
       255},
      {"KeyRecordShortKey", {"in.bin", "out.bin", "753", "3"},
       ExampleWithAesText(753, "0011223344556677\n"),
       std::string(kBanner) + "chip version [KX73753]\nsecure boot: 3\n" + Reading() +
           "=>Secure program key\n=>[2019-07-12-01234-05.01.04]\nAES-Key:\r\n" + kBadKey,
       255},
      {"KeyRecordByteListForm", {"in.bin", "out.bin", "753", "3"},
       ExampleWithAesText(753, kByteList),
       std::string(kBanner) + "chip version [KX73753]\nsecure boot: 3\n" + Reading() +
           "=>Secure program key\n=>[2019-07-12-01234-05.01.04]\nAES-Key:\r\n" + kBadKey,
       255},
      {"AesSealByteListForm", {"in.bin", "out.bin", "753", "1"}, ExampleWithAesText(753, kByteList),
       "", 255},
      {"RsaByteListForm", {"in.bin", "out.bin", "742", "2"}, ExampleWithAesText(742, kByteList),
       "", 255},
      {"AesSealOverlongToken", {"in.bin", "out.bin", "0", "1"},
       ExampleWithAesText(0, std::string(4096, 'f')), "", 255},
      {"KeyRecordCommentWithBlank", {"in.bin", "out.bin", "0", "3"},
       ExampleWithAesText(0, "# my key\n00112233445566778899aabbccddeeff\n"),
       std::string(kBanner) + "chip version [KX730]\nsecure boot: 3\n" + Reading() +
           "=>Secure program key\n=>[2019-07-12-01234-05.01.04]\nAES-Key:\r\n" + kBadKey,
       255},
  };
}

class FailureTest : public testing::TestWithParam<FailureCase> {};

TEST_P(FailureTest, FailsLoudlyAndLeavesNoOutput) {
  const FailureCase& c = GetParam();
  for (const bool outputExists : {false, true}) {
    TempDir dir;
    c.setup(dir);
    const bool plainOutput = c.args.size() >= 2 && c.args[1] == "out.bin";
    const Bytes previous(1000, 0x42);
    if (outputExists && plainOutput) {
      WriteBytes(dir.File("out.bin"), previous);
    }
    const std::vector<std::string> before = dir.List();
    ProcessOptions options;
    options.fileSizeLimit = c.fileSizeLimit;
    const ProcessResult result = RunSealtool(dir, c.args, options);

    EXPECT_EQ(result.exitStatus, c.exitStatus) << result.out;
    if (!c.expectedOut.empty()) {
      EXPECT_EQ(result.out, c.expectedOut);
    } else if (c.exitStatus == 255) {
      const std::string tail = std::string("AES-Key:\r\n") + kBadKey;
      ASSERT_GE(result.out.size(), tail.size());
      EXPECT_EQ(result.out.substr(result.out.size() - tail.size()), tail);
    }
    EXPECT_EQ(result.err, "");
    EXPECT_EQ(dir.List(), before) << "no output and no temporary file";
    if (outputExists && plainOutput) {
      EXPECT_EQ(ReadBytes(dir.File("out.bin")), previous);
    }
  }
}

INSTANTIATE_TEST_SUITE_P(Image, FailureTest, testing::ValuesIn(ImageFailures()),
                         [](const auto& info) { return std::string(info.param.name); });
INSTANTIATE_TEST_SUITE_P(Keys, FailureTest, testing::ValuesIn(KeyFailures()),
                         [](const auto& info) { return std::string(info.param.name); });

// The write failures' text ends with the writer's lines and "BIN error !".
TEST(WriteFailureTest, MessagesOfTheWriter) {
  TempDir dir;
  WriteExample(dir, 753);
  const ProcessResult missingDir =
      RunSealtool(dir, {"in.bin", "no/such/dir/out.bin", "753", "0"});
  EXPECT_EQ(missingDir.exitStatus, 1);
  const std::string cannotOpen = "Can't open 'no/such/dir/out.bin' !\nBIN error !\n";
  ASSERT_GE(missingDir.out.size(), cannotOpen.size());
  EXPECT_EQ(missingDir.out.substr(missingDir.out.size() - cannotOpen.size()), cannotOpen);
  EXPECT_NE(missingDir.out.find("CheckSum: 0x"), std::string::npos);

  ProcessOptions limited;
  limited.fileSizeLimit = 30000;
  const ProcessResult tooBig = RunSealtool(dir, {"in.bin", "out.bin", "753", "0"}, limited);
  EXPECT_EQ(tooBig.exitStatus, 1);
  const std::string writeError = "Writing 'out.bin'...\nfile writing error !\nBIN error !\n";
  ASSERT_GE(tooBig.out.size(), writeError.size());
  EXPECT_EQ(tooBig.out.substr(tooBig.out.size() - writeError.size()), writeError);
  EXPECT_EQ(dir.List(), std::vector<std::string>{"in.bin"});
}

TEST(PipeInputTest, LongInputFromAPipeIsRefused) {
  for (const std::size_t size : {std::size_t{32768}, std::size_t{32769}, std::size_t{100000}}) {
    TempDir dir;
    const std::string fifo = dir.File("in.bin");
    ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
    const pid_t writer = fork();
    if (writer == 0) {
      signal(SIGPIPE, SIG_DFL);
      FILE* out = std::fopen(fifo.c_str(), "wb");
      Bytes image = PaddedImage(ExampleInput(753));
      image.resize(size, 0x02);
      std::fwrite(image.data(), 1, image.size(), out);
      std::fclose(out);
      _exit(0);
    }
    const ProcessResult result = RunSealtool(dir, {"in.bin", "out.bin", "753", "0"});
    kill(writer, SIGKILL);
    waitpid(writer, nullptr, 0);
    if (size == 32768) {
      EXPECT_EQ(result.exitStatus, 0) << result.out;
      continue;
    }
    EXPECT_EQ(result.exitStatus, 255);
    EXPECT_EQ(result.out,
              std::string(kBanner) + "chip version [KX73753]\nsecure boot: 0\nReading 'in.bin'...\n" +
                  Repeat("Serial error !! 'in.bin' exceed 16K bytes...\n", 10) +
                  "read binary file error!, chip = 753\n");
    EXPECT_EQ(dir.List(), std::vector<std::string>{"in.bin"});
  }
}

}  // namespace
}  // namespace sealtool::test
