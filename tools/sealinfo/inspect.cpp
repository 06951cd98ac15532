#include "inspect.h"

#include <cstdio>
#include <cstring>
#include <initializer_list>
#include <iterator>

#include "checks.h"
#include "image/layout.h"
#include "mode_detection.h"

namespace sealtool::inspect {
namespace {

// A detected sealed mode stands only when a digest, seal or signature could
// be checked; when none could, the image may as well be a damaged plain one.
bool SealJudged(const Report& report) {
  for (std::size_t i = 0; i < report.checkCount; ++i) {
    const Check& check = report.checks[i];
    const bool cryptographic = check.id == CheckId::kImageDigest ||
                               check.id == CheckId::kDigestSeal ||
                               check.id == CheckId::kRsaSignature;
    if (cryptographic && check.verdict != Verdict::kNotVerifiable) return true;
  }
  return false;
}

// A seal, checked, that opens: the mode that made it is settled.
bool SealVerifies(const Report& report) {
  for (std::size_t i = 0; i < report.checkCount; ++i) {
    const Check& check = report.checks[i];
    const bool seal = check.id == CheckId::kDigestSeal || check.id == CheckId::kRsaSignature;
    if (seal && check.verdict == Verdict::kOk) return true;
  }
  return false;
}

void ClearVerdicts(Report* report) {
  report->checkCount = 0;
  report->warningCount = 0;
  report->hasKeyIds = false;
}

void CheckAsMode(const std::uint8_t* image, const InspectOptions& options, RunMode mode,
                 Report* report) {
  ClearVerdicts(report);
  report->mode = mode;
  RunChecksOfMode(image, options, report);
  IdentifyKey(image, options, report);
  if (SignsWithRsa(mode) && report->chip != kRsaChip) {
    AddCheck(report, CheckId::kMode, Verdict::kFailed, "RSA mode is chip %d's only",
             static_cast<int>(kRsaChip));
  }
}

// Checks the image as the mode its bytes point to. Whenever the evidence
// leaves several modes possible and no seal settles it, the mode check says
// so: a sealed image whose checksum was made to hold is never passed as
// plain.
void DetectAndCheckMode(const std::uint8_t* image, const InspectOptions& options,
                        Report* report) {
  const ModeEvidence evidence = WeighModeEvidence(image, report->chip, options.input,
                                                  WrapsUserKey(image, options, report->chip));
  if (!evidence.checksumHolds) {
    CheckAsMode(image, options, evidence.sealed, report);
    if (!SealJudged(*report)) {
      AddCheck(report, CheckId::kMode, Verdict::kNotVerifiable,
               "the image could be %s, or a plain or key-record image whose checksum does not "
               "hold: no seal could be verified (give --mode, --input, --assume-zero or other keys)",
               RunModeName(evidence.sealed));
    }
    return;
  }
  if (evidence.sealingBytes) {
    CheckAsMode(image, options, evidence.sealed, report);
    if (SealVerifies(*report)) return;
    CheckAsMode(image, options, evidence.unsealed, report);
    AddCheck(report, CheckId::kMode, Verdict::kNotVerifiable,
             "the image could be %s, or %s whose seal does not verify (bytes %zu-%zu hold what "
             "sealing writes): give --mode or --expect-key",
             evidence.alternatives != nullptr ? evidence.alternatives
                                              : RunModeName(evidence.unsealed),
             RunModeName(evidence.sealed), kRsaSignatureOffset, kBodyAreaOffset - 1);
    return;
  }
  CheckAsMode(image, options, evidence.unsealed, report);
  if (evidence.alternatives != nullptr) {
    AddCheck(report, CheckId::kMode, Verdict::kNotVerifiable, "the image could be %s: give --mode",
             evidence.alternatives);
  }
}

void InspectAsChip(const std::uint8_t* image, const InspectOptions& options, std::int32_t chip,
                   Report* report) {
  std::memset(report, 0, sizeof *report);
  report->chip = chip;
  report->chipDetected = !options.chipGiven;
  report->layout = SelectChipLayout(chip);
  DescribeHeader(image, report);
  report->modeDetected = !options.modeGiven;
  if (report->modeDetected) {
    DetectAndCheckMode(image, options, report);
  } else {
    CheckAsMode(image, options, options.mode, report);
  }
}

// Better outcomes first: ok, then unverified, then failed.
int OutcomeRank(const Report& report) {
  switch (ReportOutcome(report)) {
    case Outcome::kOk: return 0;
    case Outcome::kUnverified: return 1;
    default: return 2;
  }
}

// Chips whose images differ within their group: group A's seal differently,
// and chip 731 walks the DRAM table of group B in its own way.
constexpr std::int32_t kGroupAChips[] = {753, 775, 742, 764};
constexpr std::int32_t kGroupBChips[] = {0, 731};

// The marker tells the group, not which of its chips. Every chip of the
// group that behaves differently is tried: a seal that verifies settles the
// chip; otherwise a verdict that would rest on the guess alone (ok as one
// chip, not as another) is only unverified.
void InspectAssumedChip(const std::uint8_t* image, const InspectOptions& options, std::int32_t likeliest,
                        Report* report) {
  static Report candidate;
  static Report best;
  InspectAsChip(image, options, likeliest, report);
  if (SealVerifies(*report)) return;
  best = *report;
  std::int32_t disagreeing = likeliest;
  const bool groupA = ChipGroupOf(likeliest) == ChipGroup::kA;
  const std::int32_t* chips = groupA ? kGroupAChips : kGroupBChips;
  const std::size_t chipCount = groupA ? std::size(kGroupAChips) : std::size(kGroupBChips);
  for (std::size_t i = 0; i < chipCount; ++i) {
    const std::int32_t chip = chips[i];
    if (chip == likeliest) continue;
    InspectAsChip(image, options, chip, &candidate);
    if (SealVerifies(candidate)) {
      *report = candidate;
      return;
    }
    if (OutcomeRank(candidate) != OutcomeRank(*report)) disagreeing = chip;
    if (OutcomeRank(candidate) < OutcomeRank(best)) best = candidate;
  }
  // A best verdict that is not ok already says why it is not.
  *report = best;
  if (disagreeing == likeliest || ReportOutcome(best) != Outcome::kOk) return;
  const std::int32_t other = best.chip == likeliest ? disagreeing : likeliest;
  AddCheck(report, CheckId::kChip, Verdict::kNotVerifiable,
           "the chip is assumed from the marker: every check passes as chip %d but not as chip "
           "%d; give --chip",
           static_cast<int>(best.chip), static_cast<int>(other));
}

}  // namespace

bool InspectImage(const std::uint8_t* image, const InspectOptions& options, Report* report) {
  if (options.chipGiven) {
    InspectAsChip(image, options, options.chip, report);
    return true;
  }
  std::int32_t chip = 0;
  if (!DetectChip(image, &chip)) {
    std::memset(report, 0, sizeof *report);
    return false;
  }
  InspectAssumedChip(image, options, chip, report);
  return true;
}

Outcome ReportOutcome(const Report& report) {
  Outcome outcome = Outcome::kOk;
  for (std::size_t i = 0; i < report.checkCount; ++i) {
    if (report.checks[i].verdict == Verdict::kFailed) return Outcome::kFailed;
    if (report.checks[i].verdict == Verdict::kNotVerifiable) outcome = Outcome::kUnverified;
  }
  return outcome;
}

int ReportExitStatus(const Report& report) {
  switch (ReportOutcome(report)) {
    case Outcome::kOk: return 0;
    case Outcome::kFailed: return 1;
    default: return 3;
  }
}

const char* OutcomeName(Outcome outcome) {
  switch (outcome) {
    case Outcome::kOk: return "ok";
    case Outcome::kFailed: return "FAILED";
    default: return "unverified";
  }
}

const char* CheckName(CheckId id) {
  switch (id) {
    case CheckId::kBodyKey: return "body key";
    case CheckId::kImageDigest: return "image digest";
    case CheckId::kDigestSeal: return "digest seal";
    case CheckId::kClearedBytes: return "cleared bytes";
    case CheckId::kRsaSignature: return "rsa signature";
    case CheckId::kPublicKey: return "public key";
    case CheckId::kChecksum: return "checksum";
    case CheckId::kDramCount: return "dram count";
    case CheckId::kWrappedKey: return "wrapped key";
    case CheckId::kInput: return "input";
    case CheckId::kExpectedKey: return "expected key";
    case CheckId::kChip: return "chip";
    case CheckId::kKeyring: return "keyring";
    default: return "mode";
  }
}

const char* VerdictName(Verdict verdict) {
  switch (verdict) {
    case Verdict::kOk: return "ok";
    case Verdict::kFailed: return "FAILED";
    default: return "not verifiable";
  }
}

}  // namespace sealtool::inspect
