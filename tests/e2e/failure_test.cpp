// The failure matrix: every failure the tool knows, in every mode where it
// can happen. Each must print its exact message, end with its exit status,
// create no output, leave an existing output byte for byte as it was, and
// leave no temporary file behind.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <functional>

#include "e2e_support.h"
#include "secure_expectation.h"
#include "test_keys.h"

namespace sealtool::test {
namespace {

const char kUsage[] =
    "command syntax error!\nsealtool <input_bin> <output_bin> <chip id> <secure_boot>\n";
const char kBadKey[] = "AES-Key:\r\n failed\n  ! Please check aes.txt\n Key must AES-128bits\n\n";
const char kByteList[] =
    "0x00 0x11 0x22 0x33 0x44 0x55 0x66 0x77 0x88 0x99 0xaa 0xbb 0xcc 0xdd 0xee 0xff\n";
const char kNoPrivateKey[] =
    " failed\n  ! Could not open rsa_priv.txt\n  ! Please run rsa_genkey first\n\n";
const char kNoPublicKey[] =
    " failed\n  ! Could not open rsa_pub.txt\n  ! Please run rsa_genkey first\n\n";
const char kReadFailed2[] = " failed\n  ! mbedtls_mpi_read_file returned -2\n\n";

std::string Repeat(const std::string& line, int times) {
  std::string text;
  for (int i = 0; i < times; ++i) text += line;
  return text;
}

struct Mode {
  const char* name;
  std::int32_t chip;
  std::int32_t secureBoot;
};

const Mode kPlain{"Plain", 753, 0};
const Mode kKeyRecord{"KeyRecord", 753, 3};
const Mode kAesSeal{"AesSeal", 753, 1};
const Mode kRsa{"Rsa", 742, 2};
const std::vector<Mode> kAllModes = {kPlain, kKeyRecord, kAesSeal, kRsa};
const std::vector<Mode> kHeaderModes = {kPlain, kAesSeal, kRsa};
const std::vector<Mode> kKeyModes = {kKeyRecord, kAesSeal, kRsa};

// Changes a valid run's folder so the run fails; may start a writer process
// (returned, 0 for none) that the test reaps.
using Breakage = std::function<pid_t(const TempDir&, const Mode&)>;

struct MatrixCase {
  std::string name;
  Mode mode;
  Breakage breakage;
  std::string tail;  // the exact end of the console output
  int exitStatus;
  std::string outputPath = "out.bin";
  long fileSizeLimit = -1;
  std::vector<std::string> args;  // empty: the mode's usual four
};

void PrintTo(const MatrixCase& c, std::ostream* os) { *os << c.name; }

// What a run of the mode needs to succeed.
void PrepareValidRun(const TempDir& dir, const Mode& mode) {
  WriteBytes(dir.File("in.bin"), ExampleInput(mode.chip, 3));
  if (mode.secureBoot != 0) {
    WriteText(dir.File("aes.txt"), "#key\n" + HexKey(AesKey{1, 2, 3, 4, 5, 6, 7, 8, 9}, "") + "\n");
  }
  if (mode.chip == 742 && mode.secureBoot == 2) WriteTestRsaKeyFiles(dir.path(), 1);
}

Breakage WriteFile(const std::string& name, const std::string& text) {
  return [name, text](const TempDir& dir, const Mode&) {
    WriteText(dir.File(name), text);
    return pid_t{0};
  };
}

Breakage RemoveFile(const std::string& name) {
  return [name](const TempDir& dir, const Mode&) {
    std::remove(dir.File(name).c_str());
    return pid_t{0};
  };
}

// aes.txt becomes a symbolic link to target.
Breakage LinkKeyFile(const std::string& target) {
  return [target](const TempDir& dir, const Mode&) {
    std::remove(dir.File("aes.txt").c_str());
    symlink(target.c_str(), dir.File("aes.txt").c_str());
    return pid_t{0};
  };
}

Breakage Nothing() {
  return [](const TempDir&, const Mode&) { return pid_t{0}; };
}

// in.bin becomes a FIFO that a writer fills with more than one image.
pid_t StartPipeWriter(const TempDir& dir, const Mode& mode) {
  const std::string fifo = dir.File("in.bin");
  std::remove(fifo.c_str());
  if (mkfifo(fifo.c_str(), 0600) != 0) return 0;
  const Bytes image = ExampleInput(mode.chip, 3, 32768);
  const pid_t writer = fork();
  if (writer == 0) {
    signal(SIGPIPE, SIG_DFL);
    FILE* out = std::fopen(fifo.c_str(), "wb");
    std::fwrite(image.data(), 1, image.size(), out);
    std::fwrite(image.data(), 1, 100, out);
    std::fclose(out);
    _exit(0);
  }
  return writer;
}

std::string PrivLines(std::size_t keep) {
  const std::string text = RsaPrivateKeyText(TestRsaKey(1));
  std::size_t at = 0;
  for (std::size_t i = 0; i < keep; ++i) at = text.find('\n', at) + 1;
  return text.substr(0, at);
}

std::vector<MatrixCase> BuildMatrix() {
  std::vector<MatrixCase> cases;
  const auto add = [&cases](const std::string& kind, const std::vector<Mode>& modes,
                            const Breakage& breakage, const std::function<std::string(const Mode&)>& tail,
                            int status) {
    for (const Mode& mode : modes) {
      cases.push_back({kind + mode.name, mode, breakage, tail(mode), status, "out.bin", -1, {}});
    }
  };
  const auto tooLong = [](const Mode& m) {
    return Repeat("Serial error !! 'in.bin' exceed 16K bytes...\n", 10) +
           Format("read binary file error!, chip = %d\n", m.chip);
  };
  const auto fixed = [](const std::string& text) {
    return [text](const Mode&) { return text; };
  };

  cases.push_back({"NoArguments", kPlain, Nothing(), kUsage, 255, "out.bin", -1, {"-"}});
  cases.push_back({"OnlyOnePath", kPlain, Nothing(), kUsage, 255, "out.bin", -1, {"in.bin"}});
  // A group A image run as chip 0 has no marker where group B keeps it.
  cases.push_back({"GroupLayoutMismatch", kPlain, Nothing(), "Not valid boot code!, chip = 0\n",
                   255, "out.bin", -1, {"in.bin", "out.bin", "0", "1"}});
  add("MissingInput", kAllModes, RemoveFile("in.bin"),
      [](const Mode& m) {
        return Format("Can't open 'in.bin' !\nread binary file error!, chip = %d\n", m.chip);
      },
      255);
  add("InputOf32769Bytes", kAllModes, WriteFile("in.bin", std::string(32769, 'U')), tooLong, 255);
  add("LongInputFromAPipe", kAllModes, StartPipeWriter, tooLong, 255);
  add("BadBootMarker", kHeaderModes,
      [](const TempDir& dir, const Mode& mode) {
        Bytes image = ExampleInput(mode.chip, 3);
        std::swap(image[48], image[49]);
        WriteBytes(dir.File("in.bin"), image);
        return pid_t{0};
      },
      [](const Mode& m) { return Format("Not valid boot code!, chip = %d\n", m.chip); }, 255);
  add("BadKeyRecordMagic", {kKeyRecord},
      [](const TempDir& dir, const Mode& mode) {
        Bytes image = ExampleInput(mode.chip, 3);
        std::reverse(image.begin() + 112, image.begin() + 116);
        WriteBytes(dir.File("in.bin"), image);
        return pid_t{0};
      },
      fixed("Not valid wr key code!\n"), 255);
  const std::vector<std::pair<std::string, std::string>> badKeys = {
      {"EmptyKeyFile", ""},
      {"OnlyComments", "#one #two\n#three\n"},
      {"Key31Digits", std::string(31, 'a') + "\n"},
      {"Key33Digits", std::string(33, 'a') + "\n"},
      {"KeyBrokenByABlank", "0011223344556677 8899aabbccddeeff\n"},
      {"CommentWithABlank", "# my key\n00112233445566778899aabbccddeeff\n"},
      {"ByteListForm", kByteList},
      {"TokenOf1024", std::string(1024, 'e')},
      {"TokenOf5000", std::string(5000, 'f') + "\n"},
  };
  for (const auto& [kind, text] : badKeys) {
    add(kind, kKeyModes, WriteFile("aes.txt", text), fixed(kBadKey), 255);
  }
  // Only a key file that does not exist at all may fall back to the default
  // key; an endless one must not hold the run.
  add("DanglingKeyFileLink", kKeyModes, LinkKeyFile("no-such-key.txt"), fixed(kBadKey), 255);
  add("KeyFileIsAFolder", kKeyModes, LinkKeyFile("."), fixed(kBadKey), 255);
  add("EndlessKeyFile", kKeyModes, LinkKeyFile("/dev/zero"), fixed(kBadKey), 255);
  add("NoPrivateKey", {kRsa}, RemoveFile("rsa_priv.txt"), fixed(kNoPrivateKey), 255);
  add("PrivateKeyOfSixValues", {kRsa}, WriteFile("rsa_priv.txt", PrivLines(6)), fixed(kReadFailed2), 255);
  add("PrivateKeyLineTooLong", {kRsa}, WriteFile("rsa_priv.txt", std::string(3000, '1') + "\n"),
      fixed(" failed\n  ! mbedtls_mpi_read_file returned -8\n\n"), 255);
  add("NoPublicKey", {kRsa}, RemoveFile("rsa_pub.txt"), fixed(kNoPublicKey), 255);
  add("PublicKeyWithoutE", {kRsa},
      WriteFile("rsa_pub.txt", RsaPublicKeyText(TestRsaKey(1)).substr(0, 262)), fixed(kReadFailed2), 255);
  mbedtls_rsa_context small;
  mbedtls_rsa_init(&small, 0, 0);
  GenerateOrdinaryRsaKey(&small, 768, 1);
  const std::string smallPriv = RsaPrivateKeyText(small);
  mbedtls_rsa_free(&small);
  add("KeyOf768Bits", {kRsa}, WriteFile("rsa_priv.txt", smallPriv),
      fixed(" failed\n  ! N in rsa_priv.txt has 768 bits; it must be a 1024-bit modulus\n\n"), 255);
  add("RefusedRsaOperation", {kRsa},
      [](const TempDir& dir, const Mode&) {
        const RefusedRsaCase& refused = RefusedRsaImage();
        WriteBytes(dir.File("in.bin"), refused.input);
        WriteText(dir.File("rsa_priv.txt"), refused.privText);
        WriteText(dir.File("rsa_pub.txt"), refused.pubText);
        std::remove(dir.File("aes.txt").c_str());
        return pid_t{0};
      },
      [](const Mode&) { return RefusedRsaImage().message; }, 255);
  for (const Mode& mode : kAllModes) {
    MatrixCase uncreatable{std::string("OutputUncreatable") + mode.name, mode, Nothing(),
                           "Can't open 'no/such/dir/out.bin' !\nBIN error !\n", 1,
                           "no/such/dir/out.bin", -1, {}};
    cases.push_back(uncreatable);
    MatrixCase tooBig{std::string("OutputIncomplete") + mode.name, mode, Nothing(),
                      "Writing 'out.bin'...\nfile writing error !\nBIN error !\n", 1, "out.bin",
                      30000, {}};
    cases.push_back(tooBig);
  }
  return cases;
}

class FailureMatrixTest : public testing::TestWithParam<MatrixCase> {};

TEST_P(FailureMatrixTest, FailsLoudlyAndLeavesNoOutput) {
  const MatrixCase& c = GetParam();
  for (const bool outputExists : {false, true}) {
    TempDir dir;
    PrepareValidRun(dir, c.mode);
    const pid_t writer = c.breakage(dir, c.mode);
    const Bytes previous(1000, 0x42);
    if (outputExists) WriteBytes(dir.File("out.bin"), previous);
    const std::vector<std::string> before = dir.List();

    std::vector<std::string> args = c.args;
    if (args.empty()) {
      args = {"in.bin", c.outputPath, std::to_string(c.mode.chip), std::to_string(c.mode.secureBoot)};
    } else if (args == std::vector<std::string>{"-"}) {
      args.clear();
    }
    ProcessOptions options;
    options.fileSizeLimit = c.fileSizeLimit;
    const ProcessResult result = RunSealtool(dir, args, options);
    if (writer > 0) {
      kill(writer, SIGKILL);
      waitpid(writer, nullptr, 0);
    }
    EXPECT_EQ(result.exitStatus, c.exitStatus) << result.out;
    ASSERT_GE(result.out.size(), c.tail.size()) << result.out;
    EXPECT_EQ(result.out.substr(result.out.size() - c.tail.size()), c.tail);
    EXPECT_EQ(result.out.find("Save BIN OK."), std::string::npos);
    EXPECT_EQ(result.err, "");
    EXPECT_EQ(dir.List(), before) << "no output, no temporary file";
    if (outputExists) {
      EXPECT_EQ(ReadBytes(dir.File("out.bin")), previous);
    }
  }
}

INSTANTIATE_TEST_SUITE_P(Failures, FailureMatrixTest, testing::ValuesIn(BuildMatrix()),
                         [](const auto& info) { return info.param.name; });

TEST(PipeInputTest, WholeImageFromAPipeIsAccepted) {
  TempDir dir;
  const std::string fifo = dir.File("in.bin");
  ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
  const Bytes image = ExampleInput(753, 3, 32768);
  const pid_t writer = fork();
  if (writer == 0) {
    FILE* out = std::fopen(fifo.c_str(), "wb");
    std::fwrite(image.data(), 1, image.size(), out);
    std::fclose(out);
    _exit(0);
  }
  const ProcessResult result = RunSealtool(dir, {"in.bin", "out.bin", "753", "0"});
  waitpid(writer, nullptr, 0);
  EXPECT_EQ(result.exitStatus, 0) << result.out;
  std::string checksumLines;
  EXPECT_EQ(ReadBytes(dir.File("out.bin")), ExpectedPlainImage(image, 48, 6, &checksumLines));
}

}  // namespace
}  // namespace sealtool::test
