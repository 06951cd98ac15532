#include "token_report.h"

#include <cstdio>
#include <string>
#include <vector>

#include "console/console.h"
#include "release/json_document.h"
#include "keys/key_handle.h"
#include "token/pkcs11_token.h"
#include "token/token_check.h"

namespace sealkey {
namespace {

using sealtool::Answer;
using sealtool::DumpJson;
using sealtool::Json;
using sealtool::TokenKeyFacts;
using sealtool::TokenKeyKind;
using sealtool::Trial;
using sealtool::TrialResult;

// One mode the key's kind serves, and whether it can seal.
struct ModeVerdict {
  const char* mode;
  const char* role;
  bool canSeal;
  std::string reason;
};

// A trial that is needed and was not done is the reason a mode cannot seal.
ModeVerdict VerdictOf(const char* mode, const char* role, const TrialResult& trial) {
  return {mode, role, trial.outcome == Trial::kDone, trial.outcome == Trial::kDone ? "" : trial.text};
}

std::vector<ModeVerdict> Verdicts(const TokenKeyFacts& facts) {
  if (facts.kind == TokenKeyKind::kRsaPrivate) {
    return {VerdictOf("RSA", "signing key", facts.signature)};
  }
  if (facts.kind == TokenKeyKind::kAesSecret) {
    return {VerdictOf("RSA", "body key", facts.encryption),
            VerdictOf("AES-seal", "body or seal key", facts.encryption),
            VerdictOf("key-record", "user key", facts.wrapping)};
  }
  return {};
}

const char* KindName(TokenKeyKind kind) {
  switch (kind) {
    case TokenKeyKind::kRsaPrivate:
      return "RSA private key";
    case TokenKeyKind::kAesSecret:
      return "AES secret key";
    case TokenKeyKind::kOther:
      break;
  }
  return "a key of no seal mode";
}

const char* AnswerText(Answer answer) {
  return answer == Answer::kYes ? "yes" : answer == Answer::kNo ? "no" : "not stated";
}

Json AnswerJson(Answer answer) {
  return answer == Answer::kUnknown ? Json(nullptr) : Json(answer == Answer::kYes);
}

const char* TrialText(Trial trial) {
  return trial == Trial::kDone ? "done" : trial == Trial::kFailed ? "failed" : "not tried";
}

struct Mechanism {
  const char* name;
  bool offered;
};

std::vector<Mechanism> MechanismsOf(const TokenKeyFacts& facts) {
  if (facts.kind == TokenKeyKind::kRsaPrivate) return {{"RSA-X-509 sign", facts.offersRawRsaSign}};
  return {{"AES-CBC encrypt", facts.offersAesCbcEncrypt},
          {"AES-ECB encrypt", facts.offersAesEcbEncrypt},
          {"AES-ECB wrap", facts.offersAesEcbWrap},
          {"AES-CBC wrap", facts.offersAesCbcWrap}};
}

std::vector<const TrialResult*> TrialsOf(const TokenKeyFacts& facts) {
  if (facts.kind == TokenKeyKind::kRsaPrivate) return {&facts.signature};
  if (facts.kind == TokenKeyKind::kAesSecret) return {&facts.encryption, &facts.wrapping};
  return {};
}

void PrintText(const char* uri, const TokenKeyFacts& facts, const std::vector<ModeVerdict>& verdicts) {
  std::printf("key:         %s\n", sealtool::KeyRefForDisplay(uri).text);
  std::printf("module:      %s (%s)\n", facts.moduleFile, facts.moduleDescription);
  std::printf("token:       %s (%s, %s, serial %s)\n", facts.token.label, facts.token.manufacturer,
              facts.token.model, facts.token.serial);
  if (facts.bits != 0) {
    std::printf("kind:        %s, %zu bits\n", KindName(facts.kind), facts.bits);
  } else {
    std::printf("kind:        %s, size not stated\n", KindName(facts.kind));
  }
  std::printf("flags:       sign %s, encrypt %s, wrap %s, sensitive %s, extractable %s\n",
              AnswerText(facts.sign), AnswerText(facts.encrypt), AnswerText(facts.wrap),
              AnswerText(facts.sensitive), AnswerText(facts.extractable));
  for (const Mechanism& mechanism : MechanismsOf(facts)) {
    std::printf("mechanism:   %s: %s\n", mechanism.name, mechanism.offered ? "offered" : "not offered");
  }
  for (const TrialResult* trial : TrialsOf(facts)) {
    std::printf("trial:       %s: %s\n", TrialText(trial->outcome), trial->text);
  }
  for (const ModeVerdict& verdict : verdicts) {
    if (verdict.canSeal) {
      std::printf("%s mode (%s): can seal\n", verdict.mode, verdict.role);
    } else {
      std::printf("%s mode (%s): cannot seal: %s\n", verdict.mode, verdict.role, verdict.reason.c_str());
    }
  }
  if (verdicts.empty()) std::printf("no seal mode uses a key of this kind\n");
}

void PrintJson(const char* uri, const TokenKeyFacts& facts, const std::vector<ModeVerdict>& verdicts) {
  Json report;
  report["key"] = sealtool::KeyRefForDisplay(uri).text;
  report["module"] = {{"file", facts.moduleFile}, {"description", facts.moduleDescription}};
  report["token"] = {{"label", facts.token.label}, {"manufacturer", facts.token.manufacturer},
                     {"model", facts.token.model}, {"serial", facts.token.serial}};
  report["kind"] = facts.kind == TokenKeyKind::kRsaPrivate ? "rsa-private"
                   : facts.kind == TokenKeyKind::kAesSecret ? "aes-secret" : "other";
  report["bits"] = facts.bits != 0 ? Json(facts.bits) : Json(nullptr);
  report["flags"] = {{"sign", AnswerJson(facts.sign)}, {"encrypt", AnswerJson(facts.encrypt)},
                     {"wrap", AnswerJson(facts.wrap)}, {"sensitive", AnswerJson(facts.sensitive)},
                     {"extractable", AnswerJson(facts.extractable)}};
  report["mechanisms"] = Json::object();
  for (const Mechanism& mechanism : MechanismsOf(facts)) report["mechanisms"][mechanism.name] = mechanism.offered;
  report["trials"] = Json::array();
  for (const TrialResult* trial : TrialsOf(facts)) {
    report["trials"].push_back({{"outcome", TrialText(trial->outcome)}, {"text", trial->text}});
  }
  report["modes"] = Json::array();
  for (const ModeVerdict& verdict : verdicts) {
    report["modes"].push_back({{"mode", verdict.mode}, {"role", verdict.role}, {"can_seal", verdict.canSeal},
                               {"reason", verdict.canSeal ? Json(nullptr) : Json(verdict.reason)}});
  }
  std::fputs(DumpJson(report).c_str(), stdout);
}

// The token code says what went wrong on standard output, as sealtool's
// runs want; here the report owns standard output, so its messages go to
// standard error for the time of the lookup.
class StdoutToStderr {
 public:
  StdoutToStderr() { sealtool::SayOnStandardError(true); }
  ~StdoutToStderr() { sealtool::SayOnStandardError(false); }
  StdoutToStderr(const StdoutToStderr&) = delete;
  StdoutToStderr& operator=(const StdoutToStderr&) = delete;
};

}  // namespace

KeyToolOutcome CheckTokenKey(const char* uri, bool json) {
  if (sealtool::KeySourceOf(uri) != &sealtool::kTokenKeySource) {
    std::fprintf(stderr, "sealkey: token-check needs a pkcs11: URI, not '%s'\n",
                 sealtool::KeyRefForDisplay(uri).text);
    return KeyToolOutcome::kUnreadable;
  }
  static TokenKeyFacts facts;
  bool found = false;
  {
    const StdoutToStderr quiet;
    found = sealtool::CheckTokenKey(uri, &facts);
    sealtool::CloseTokens();
  }
  if (!found) return KeyToolOutcome::kUnreadable;
  const std::vector<ModeVerdict> verdicts = Verdicts(facts);
  if (json) {
    PrintJson(uri, facts, verdicts);
  } else {
    PrintText(uri, facts, verdicts);
  }
  bool all = !verdicts.empty();
  for (const ModeVerdict& verdict : verdicts) all = all && verdict.canSeal;
  return all ? KeyToolOutcome::kDone : KeyToolOutcome::kCheckFailed;
}

}  // namespace sealkey
