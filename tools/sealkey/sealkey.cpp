// sealkey: the key files of sealtool's RSA mode: make them, bring a PEM or
// DER key in, take it out again, tell a key's id, check a key.
#include <cstdio>
#include <cstring>

#include "platform/process_guard.h"
#include "key_report.h"
#include "key_store.h"
#include "key_transfer.h"
#include "helper_report.h"
#include "keyring_report.h"
#include "keys/key_handle.h"
#include "token_report.h"

namespace {

using sealkey::KeyToolOutcome;

// The one place the outcome of a run becomes sealkey's exit status.
int ExitStatus(KeyToolOutcome outcome) {
  switch (outcome) {
    case KeyToolOutcome::kDone:
      return 0;
    case KeyToolOutcome::kCheckFailed:
      return 1;
    case KeyToolOutcome::kUnreadable:
      break;
  }
  return 2;
}

constexpr char kUsage[] =
    "usage: sealkey generate [--force] [--aes]\n"
    "       sealkey import FILE [--pass-file F | --pass-env VAR] [--force]\n"
    "       sealkey export [--private] [--format pem|der] [--pkcs1] [--out FILE] [--force]\n"
    "                      [--pass-file F | --pass-env VAR] [KEYFILE]\n"
    "       sealkey id [--json] [REF | IMAGE]\n"
    "       sealkey check [--json] [rsa_priv.txt | helper:PROGRAM[?key=NAME]]\n"
    "       sealkey token-check [--json] URI\n"
    "       sealkey keyring [--json] KEYRING\n"
    "       sealkey keyring KEYRING --add REF --name NAME --use development|production\n"
    "                       [--status active|retired|revoked] [--note TEXT]\n"
    "       sealkey --help | --version\n"
    "\n"
    "  generate  rsa_priv.txt and rsa_pub.txt (and with --aes aes.txt) in the working\n"
    "            directory: RSA-1024, E = 65537, N's top byte 0xFF (as rsa_genkey)\n"
    "  import    a PEM or DER RSA-1024 private key, PKCS#1 or PKCS#8, encrypted or\n"
    "            not, into rsa_priv.txt and rsa_pub.txt; warns when its modulus makes\n"
    "            RSA mode refuse more than 1 image in 256\n"
    "  export    rsa_pub.txt as a SubjectPublicKeyInfo (or --pkcs1 RSAPublicKey), PEM\n"
    "            or DER; with --private rsa_priv.txt as PKCS#8 (or --pkcs1), to --out\n"
    "            only, encrypted (PBES2, AES-256) when a passphrase is given\n"
    "  id        both key ids of rsa_pub.txt, a PEM or DER key, a pkcs11: URI, a\n"
    "            helper: or a sealed RSA image: SHA-256 of the 160 header bytes of N\n"
    "            and E, and of the DER SubjectPublicKeyInfo; for an AES key (aes.txt,\n"
    "            in a token, behind a helper) its check value: the first 3 bytes of\n"
    "            AES-128-ECB of a zero block\n"
    "  check     N = P Q, D, DP, DQ, QP and E of rsa_priv.txt (and rsa_pub.txt beside\n"
    "            it), its size, N's top byte and the share of images it refuses; for\n"
    "            a helper: its public key, a trial of each operation, and per mode\n"
    "            whether it can seal (exit 1 when a mode of its kind cannot)\n"
    "  token-check  the module, token and key of a pkcs11: URI, its flags, the\n"
    "            mechanisms each mode needs, a trial of each operation, and per\n"
    "            mode whether it can seal (exit 1 when a mode of the key cannot)\n"
    "  keyring   checks a keyring file (exit 1 when malformed: the field is named)\n"
    "            and lists its keys; with --add, adds the key REF names, its id\n"
    "            worked out here (an RSA key's SubjectPublicKeyInfo key id, an AES\n"
    "            key's check value); a name or id held already is refused\n"
    "\n"
    "Passphrases come from --pass-file (its first line), --pass-env (a variable's\n"
    "name) or a prompt on the terminal, never from the command line. Files are\n"
    "written beside their names and moved into place together; an existing file\n"
    "is replaced only with --force.\n"
    "\n"
    "Exit status: 0 done; 1 a check failed, a key was refused, or a file exists\n"
    "(give --force); 2 bad usage, unreadable input or a wrong passphrase.\n";

struct Arguments {
  const char* command = nullptr;
  const char* operand = nullptr;
  bool force = false;
  bool aes = false;
  bool json = false;
  sealkey::ExportOptions exportOptions;
  sealkey::KeyringAddition addition;
};

enum class Parse { kRun, kHelpShown, kBadUsage };

Parse Usage(const char* problem, const char* word) {
  std::fprintf(stderr, "sealkey: %s '%s'\n%s", problem, word, kUsage);
  return Parse::kBadUsage;
}

// Takes the value of the option at argv[*i]; false when there is none.
bool TakeValue(int argc, char** argv, int* i, const char** value) {
  if (*i + 1 >= argc) return false;
  *value = argv[++*i];
  return true;
}

bool ParseFormat(const char* text, sealkey::KeyFormat* format) {
  if (std::strcmp(text, "pem") == 0) {
    *format = sealkey::KeyFormat::kPem;
  } else if (std::strcmp(text, "der") == 0) {
    *format = sealkey::KeyFormat::kDer;
  } else {
    return false;
  }
  return true;
}

// One option of a subcommand; false for a word that is none, or lacks its value.
bool ParseOption(int argc, char** argv, int* i, Arguments* args) {
  const char* word = argv[*i];
  sealkey::ExportOptions& out = args->exportOptions;
  const char* value = nullptr;
  if (std::strcmp(word, "--force") == 0) {
    args->force = out.force = true;
  } else if (std::strcmp(word, "--aes") == 0) {
    args->aes = true;
  } else if (std::strcmp(word, "--json") == 0) {
    args->json = true;
  } else if (std::strcmp(word, "--private") == 0) {
    out.privateKey = true;
  } else if (std::strcmp(word, "--pkcs1") == 0) {
    out.pkcs1 = true;
  } else if (std::strcmp(word, "--format") == 0) {
    return TakeValue(argc, argv, i, &value) && ParseFormat(value, &out.format);
  } else if (std::strcmp(word, "--out") == 0) {
    return TakeValue(argc, argv, i, &out.out);
  } else if (std::strcmp(word, "--pass-file") == 0) {
    return TakeValue(argc, argv, i, &out.passphrase.file);
  } else if (std::strcmp(word, "--pass-env") == 0) {
    return TakeValue(argc, argv, i, &out.passphrase.environment);
  } else if (std::strcmp(word, "--add") == 0) {
    return TakeValue(argc, argv, i, &args->addition.ref);
  } else if (std::strcmp(word, "--name") == 0) {
    return TakeValue(argc, argv, i, &args->addition.name);
  } else if (std::strcmp(word, "--use") == 0) {
    return TakeValue(argc, argv, i, &args->addition.use);
  } else if (std::strcmp(word, "--status") == 0) {
    return TakeValue(argc, argv, i, &args->addition.status);
  } else if (std::strcmp(word, "--note") == 0) {
    return TakeValue(argc, argv, i, &args->addition.note);
  } else {
    return false;
  }
  return true;
}

// The options each subcommand takes, by name.
bool OptionFits(const char* command, const char* option) {
  static const struct {
    const char* command;
    const char* options;
  } kOptions[] = {
      {"generate", " --force --aes "},
      {"import", " --force --pass-file --pass-env "},
      {"export", " --private --format --pkcs1 --out --force --pass-file --pass-env "},
      {"id", " --json "},
      {"check", " --json "},
      {"token-check", " --json "},
      {"keyring", " --json --add --name --use --status --note "},
  };
  for (const auto& entry : kOptions) {
    if (std::strcmp(entry.command, command) != 0) continue;
    char needle[32];
    std::snprintf(needle, sizeof needle, " %s ", option);
    return std::strstr(entry.options, needle) != nullptr;
  }
  return false;
}

// True when the option word at argv[last] (or before its value) was given
// earlier: the second would quietly win.
bool GivenBefore(char** argv, int last, const char* word) {
  int count = 0;
  for (int i = 2; i <= last; ++i) count += std::strcmp(argv[i], word) == 0 ? 1 : 0;
  return count > 1;
}

// Bad usage is said before kBadUsage returns.
Parse ParseArguments(int argc, char** argv, Arguments* args) {
  if (argc < 2) {
    std::fprintf(stderr, "sealkey: no command given\n%s", kUsage);
    return Parse::kBadUsage;
  }
  args->command = argv[1];
  if (std::strcmp(args->command, "--help") == 0 || std::strcmp(args->command, "help") == 0) {
    std::fputs(kUsage, stdout);
    return Parse::kHelpShown;
  }
  if (std::strcmp(args->command, "--version") == 0) {
    std::printf("sealkey %s\n", SEALTOOL_VERSION);
    return Parse::kHelpShown;
  }
  if (!OptionFits(args->command, "--json") && !OptionFits(args->command, "--force")) {
    return Usage("unknown command", args->command);
  }
  for (int i = 2; i < argc; ++i) {
    const char* word = argv[i];
    if (std::strcmp(word, "--help") == 0) {
      std::fputs(kUsage, stdout);
      return Parse::kHelpShown;
    }
    if (word[0] == '-' && word[1] != '\0') {
      if (!OptionFits(args->command, word) || !ParseOption(argc, argv, &i, args)) {
        return Usage("bad option", word);
      }
      if (GivenBefore(argv, i, word)) return Usage("an option given twice, once only:", word);
      continue;
    }
    if (args->operand != nullptr) return Usage("one operand only, not", word);
    args->operand = word;
  }
  const sealkey::PassphraseSource& passphrase = args->exportOptions.passphrase;
  if (passphrase.file != nullptr && passphrase.environment != nullptr) {
    return Usage("one passphrase source only: --pass-file or", "--pass-env");
  }
  if (std::strcmp(args->command, "import") == 0 && args->operand == nullptr) {
    return Usage("import needs a key file", "");
  }
  if (std::strcmp(args->command, "token-check") == 0 && args->operand == nullptr) {
    return Usage("token-check needs a pkcs11: URI", "");
  }
  if (std::strcmp(args->command, "keyring") == 0 && args->operand == nullptr) {
    return Usage("keyring needs the keyring file", "");
  }
  const sealkey::KeyringAddition& addition = args->addition;
  const bool adding = addition.ref != nullptr;
  if (!adding && (addition.name != nullptr || addition.use != nullptr || addition.status != nullptr ||
                  addition.note != nullptr)) {
    return Usage("--name, --use, --status and --note go with", "--add");
  }
  if (adding && args->json) return Usage("--json shows a keyring, it does not go with", "--add");
  if (std::strcmp(args->command, "generate") == 0 && args->operand != nullptr) {
    return Usage("generate takes no operand, not", args->operand);
  }
  return Parse::kRun;
}

KeyToolOutcome Run(const Arguments& args) {
  const char* command = args.command;
  if (std::strcmp(command, "generate") == 0) {
    return sealkey::GenerateKeyFiles("sealkey", args.force, args.aes) ? KeyToolOutcome::kDone
                                                                      : KeyToolOutcome::kCheckFailed;
  }
  if (std::strcmp(command, "import") == 0) {
    return sealkey::ImportKey(args.operand, args.exportOptions.passphrase, args.force);
  }
  if (std::strcmp(command, "export") == 0) return sealkey::ExportKey(args.operand, args.exportOptions);
  if (std::strcmp(command, "id") == 0) return sealkey::ShowKeyIds(args.operand, args.json);
  if (std::strcmp(command, "token-check") == 0) return sealkey::CheckTokenKey(args.operand, args.json);
  if (std::strcmp(command, "keyring") == 0) {
    return args.addition.ref != nullptr ? sealkey::AddToKeyring(args.operand, args.addition)
                                        : sealkey::ShowKeyring(args.operand, args.json);
  }
  if (args.operand != nullptr && sealtool::KeySourceOf(args.operand) == &sealtool::kHelperKeySource) {
    return sealkey::CheckHelperKey(args.operand, args.json);
  }
  return sealkey::CheckKeyFile(args.operand, args.json);
}

}  // namespace

int main(int argc, char** argv) {
  if (!sealtool::GuardProcess()) return ExitStatus(KeyToolOutcome::kUnreadable);
  Arguments args;
  switch (ParseArguments(argc, argv, &args)) {
    case Parse::kRun:
      return ExitStatus(Run(args));
    case Parse::kHelpShown:
      return ExitStatus(KeyToolOutcome::kDone);
    case Parse::kBadUsage:
      break;
  }
  return ExitStatus(KeyToolOutcome::kUnreadable);
}
