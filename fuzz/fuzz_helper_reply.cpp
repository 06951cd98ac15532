// What a key helper answers: the judgement of a run (exit, length, input
// read) and the reader of rsa-public-key's answer. A judged-whole answer
// came from a clean exit with exactly the expected length and the input
// read; a public key that reads is N and E above zero and reads again the
// same once written out as the helper should have written it.
#include <cstdint>
#include <cstring>
#include <string>

#include <mbedtls/bignum.h>

#include "fuzz_support.h"
#include "keys/helper_reply.h"

namespace {

constexpr std::size_t kRoom = 32768;

void CheckJudgement(sealtool::fuzz::InputReader* reader) {
  sealtool::ProgramResult result{};
  result.end = static_cast<sealtool::ProgramEnd>(reader->Byte() % 4);
  result.status = reader->Byte() - 128;
  result.outputSize = static_cast<std::size_t>(reader->U16()) * (reader->Byte() % 2 + 1u);
  result.inputLeft = reader->Byte() % 3;
  const std::size_t expectations[] = {0, 16, 128, reader->U16()};
  const std::size_t expected = expectations[reader->Byte() % 4];
  if (sealtool::JudgeHelperAnswer(result, expected, kRoom) != sealtool::HelperAnswer::kWhole) return;
  const bool length = expected != 0 ? result.outputSize == expected
                                    : result.outputSize > 0 && result.outputSize < kRoom;
  if (result.end != sealtool::ProgramEnd::kExited || result.status != 0 || result.inputLeft != 0 || !length) {
    __builtin_trap();
  }
}

void CheckPublicKey(const std::string& text) {
  mbedtls_mpi n, e, n2, e2;
  for (mbedtls_mpi* value : {&n, &e, &n2, &e2}) mbedtls_mpi_init(value);
  const char* why = "";
  if (sealtool::ParsePublicKeyReply(text.data(), text.size(), &n, &e, &why)) {
    if (mbedtls_mpi_cmp_int(&n, 0) <= 0 || mbedtls_mpi_cmp_int(&e, 0) <= 0) __builtin_trap();
    char nHex[1200];
    char eHex[1200];
    std::size_t length = 0;
    if (mbedtls_mpi_write_string(&n, 16, nHex, sizeof nHex, &length) != 0 ||
        mbedtls_mpi_write_string(&e, 16, eHex, sizeof eHex, &length) != 0) {
      __builtin_trap();
    }
    const std::string again = std::string("N = ") + nHex + "\r\nE = " + eHex + "\r\n";
    if (!sealtool::ParsePublicKeyReply(again.data(), again.size(), &n2, &e2, &why) ||
        mbedtls_mpi_cmp_mpi(&n, &n2) != 0 || mbedtls_mpi_cmp_mpi(&e, &e2) != 0) {
      __builtin_trap();
    }
  } else if (why == nullptr || *why == '\0') {
    __builtin_trap();
  }
  for (mbedtls_mpi* value : {&n, &e, &n2, &e2}) mbedtls_mpi_free(value);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  sealtool::fuzz::InputReader reader{data, size};
  CheckJudgement(&reader);
  CheckPublicKey(reader.Rest());
  return 0;
}
