#include "ReleaseCheck.h"

#include "package/Rollout.h"

#include <chrono>

void checkRelease(const std::filesystem::path& file, const std::vector<std::vector<signing::TrustedSignature>>& signatures,
                  Findings& findings) {
  if (const auto rollout = parseRolloutAnnouncement(signing::linesAfterFirst(file.string(), 64 << 10)))
    findings.ok((rollout->percent ? "a rollout gives the build to " + std::to_string(rollout->percent) + " % of players"
                                  : std::string("the rollout is halted: only players who have the build keep it")) +
                "; the others keep '" + rollout->previousLine + "'");
  const auto now = std::chrono::duration_cast<std::chrono::seconds>(std::chrono::system_clock::now().time_since_epoch());
  for (const auto& byKey : signatures) {
    const signing::TrustedSignature* newest = signing::newestOf(byKey);
    const auto expires = newest ? signing::commentTime(newest->trustedComment, "expires") : std::nullopt;
    if (!expires) continue;
    const std::string when = signing::utcText(*expires);
    if (*expires <= now.count())
      findings.problem("the announcement expired at " + when +
                       ": launchers take it for no answer and keep their build; renew it with --renew");
    else if (*expires - now.count() < 7 * 86400)
      findings.note("the announcement expires at " + when + "; renew it with --renew before then");
    else
      findings.ok("the announcement is valid until " + when);
    return;
  }
}
