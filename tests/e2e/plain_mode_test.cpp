// Whole runs of the built tool in plain mode: console text, exit status and
// output bytes, worked out independently of the tool's code.
#include <gtest/gtest.h>

#include "e2e_support.h"

namespace sealtool::test {
namespace {

struct PlainCase {
  const char* name;
  std::int32_t chip;
  std::size_t bootHeader;
  unsigned dramCount;
};

void PrintTo(const PlainCase& c, std::ostream* os) { *os << c.name; }

class PlainModeTest : public testing::TestWithParam<PlainCase> {};

TEST_P(PlainModeTest, WritesMarkerCountAndChecksum) {
  const PlainCase& c = GetParam();
  TempDir dir;
  const Bytes input = ExampleInput(c.chip);
  WriteBytes(dir.File("in.bin"), input);
  const std::string chipArg = std::to_string(c.chip);

  const ProcessResult result = RunSealtool(dir, {"in.bin", "out.bin", chipArg, "0"});

  std::string checksumLines;
  const Bytes expected = ExpectedPlainImage(input, c.bootHeader, c.dramCount, &checksumLines);
  EXPECT_EQ(result.exitStatus, 0);
  EXPECT_EQ(result.out, StartLines(chipArg, "0", "in.bin", input.size()) +
                            ExampleDescribeLines(c.chip) + checksumLines + WriteLines("out.bin") +
                            "Save BIN OK.\nAll OK.\n");
  EXPECT_EQ(result.err, "");
  EXPECT_EQ(ReadBytes(dir.File("out.bin")), expected);
  EXPECT_EQ(dir.List(), (std::vector<std::string>{"in.bin", "out.bin"}));
}

INSTANTIATE_TEST_SUITE_P(
    Chips, PlainModeTest,
    testing::Values(PlainCase{"Chip742", 742, 48, 6}, PlainCase{"Chip753", 753, 48, 6},
                    PlainCase{"Chip764", 764, 48, 6}, PlainCase{"Chip775", 775, 48, 6},
                    PlainCase{"Chip0", 0, 64, 4}, PlainCase{"Chip731", 731, 64, 4},
                    PlainCase{"Chip760", 760, 64, 4}),
    [](const testing::TestParamInfo<PlainCase>& info) { return std::string(info.param.name); });

TEST(PlainModeRunTest, TwoArgumentsMeanChipZeroPlainModeGroupB) {
  TempDir dir;
  const Bytes input = ExampleInput(0);
  WriteBytes(dir.File("in.bin"), input);
  const ProcessResult result = RunSealtool(dir, {"in.bin", "out.bin"});
  std::string checksumLines;
  const Bytes expected = ExpectedPlainImage(input, 64, 4, &checksumLines);
  EXPECT_EQ(result.exitStatus, 0);
  EXPECT_EQ(result.out, StartLines("", "", "in.bin", input.size()) + ExampleDescribeLines(0) +
                            checksumLines + WriteLines("out.bin") + "Save BIN OK.\nAll OK.\n");
  EXPECT_EQ(ReadBytes(dir.File("out.bin")), expected);
}

TEST(PlainModeRunTest, ChipWithoutDigitsIsZeroAndExtraArgumentsAreIgnored) {
  TempDir dir;
  const Bytes input = ExampleInput(0);
  WriteBytes(dir.File("in.bin"), input);
  const ProcessResult result =
      RunSealtool(dir, {"in.bin", "out.bin", "chip742", "0junk", "extra", "more"});
  std::string checksumLines;
  const Bytes expected = ExpectedPlainImage(input, 64, 4, &checksumLines);
  EXPECT_EQ(result.exitStatus, 0);
  EXPECT_EQ(result.out, StartLines("chip742", "0junk", "in.bin", input.size()) +
                            ExampleDescribeLines(0) + checksumLines + WriteLines("out.bin") +
                            "Save BIN OK.\nAll OK.\n");
  EXPECT_EQ(ReadBytes(dir.File("out.bin")), expected);
}

TEST(PlainModeRunTest, ShortInputIsZeroFilledToAWholeImage) {
  // 100 bytes: marker at 48, and a table that the zero fill ends at once.
  TempDir dir;
  Bytes input(100, 0);
  input[48] = 0x55;
  input[49] = 0xAA;
  input[56] = 0x77;  // DRAM count field: low byte replaced
  input[57] = 0xB5;  // high nibble 0xB kept, low nibble cleared
  WriteBytes(dir.File("in.bin"), input);
  const ProcessResult result = RunSealtool(dir, {"in.bin", "out.bin", "753"});
  Bytes expected = PaddedImage(input);
  expected[56] = 0x00;
  expected[57] = 0xB0;
  const std::string checksumLines = ApplyReferenceChecksum(expected, 48);
  EXPECT_EQ(result.exitStatus, 0);
  EXPECT_EQ(result.out,
            StartLines("753", "", "in.bin", 100) +
                "\nconfig ram count 0x0\n\n==Display binary file info== Begin!!!\n"
                "VersionNumber: 77,B5,00,00\n==Display binary file info== End\n\n"
                "total_bin_size after padding:32768, Dram param number:0\n\n" +
                checksumLines + WriteLines("out.bin") + "Save BIN OK.\nAll OK.\n");
  EXPECT_EQ(ReadBytes(dir.File("out.bin")), expected);
}

TEST(PlainModeRunTest, MarkerOnlyImageGivesTheKnownChecksum) {
  TempDir dir;
  Bytes input(32768, 0);
  input[64] = 0x55;
  input[65] = 0xAA;
  WriteBytes(dir.File("in.bin"), input);
  const ProcessResult result = RunSealtool(dir, {"in.bin", "out.bin", "0", "0"});
  EXPECT_EQ(result.exitStatus, 0);
  EXPECT_NE(result.out.find("##ui32BinDataSumValue: 0x08008A55\nCheckSum: 0x75AB\n\n"),
            std::string::npos);
  const Bytes out = ReadBytes(dir.File("out.bin"));
  ASSERT_EQ(out.size(), 32768u);
  EXPECT_EQ(out[66], 0xAB);
  EXPECT_EQ(out[67], 0x75);
}

TEST(PlainModeRunTest, LongCountsPrintInFullAndStoreTwelveBits) {
  // 4097 one-word entries (opcode 2) from the table on, in a full image.
  TempDir dir;
  Bytes input(32768, 0);
  input[48] = 0x55;
  input[49] = 0xAA;
  for (std::size_t at = 64; at < 64 + 4 * 4097; at += 4) {
    input[at + 3] = 0x02;
  }
  WriteBytes(dir.File("in.bin"), input);
  const ProcessResult result = RunSealtool(dir, {"in.bin", "out.bin", "742"});
  EXPECT_EQ(result.exitStatus, 0);
  EXPECT_NE(result.out.find("\nconfig ram count 0x1001\n"), std::string::npos);
  EXPECT_NE(result.out.find("Dram param number:4097\n\n"), std::string::npos);
  const Bytes out = ReadBytes(dir.File("out.bin"));
  ASSERT_EQ(out.size(), 32768u);
  EXPECT_EQ(out[56], 0x01);
  EXPECT_EQ(out[57], 0x00);
}

TEST(PlainModeRunTest, OutputMayReplaceTheInput) {
  TempDir dir;
  const Bytes input = ExampleInput(753);
  WriteBytes(dir.File("image.bin"), input);
  const ProcessResult result = RunSealtool(dir, {"image.bin", "image.bin", "753", "0"});
  std::string checksumLines;
  EXPECT_EQ(result.exitStatus, 0);
  EXPECT_EQ(ReadBytes(dir.File("image.bin")), ExpectedPlainImage(input, 48, 6, &checksumLines));
  EXPECT_EQ(dir.List(), std::vector<std::string>{"image.bin"});
}

}  // namespace
}  // namespace sealtool::test
