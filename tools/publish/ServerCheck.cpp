#include "ServerCheck.h"

#include "Files.h"
#include "Findings.h"
#include "PackageLayout.h"
#include "RangeCheck.h"
#include "ReleaseCheck.h"
#include "VersionLine.h"
#include "BuildTree.h"
#include "selfupdate/LauncherVersion.h"
#include "package/CurlPtr.h"
#include "package/Download.h"
#include "package/Patch.h"
#include "package/ZipPtr.h"
#include "version/VersionInfo.h"

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <memory>
#include <optional>
#include <stdexcept>
#include <vector>

namespace fs = std::filesystem;

namespace {

// A transfer slower than a byte a second for this long is given up. The launcher has no
// such limit and would wait for ever, which the report then says.
constexpr long stallSeconds = 30;

class CurlLibrary {
 public:
  CurlLibrary() { curl_global_init(CURL_GLOBAL_DEFAULT); }
  ~CurlLibrary() { curl_global_cleanup(); }
  CurlLibrary(const CurlLibrary&) = delete;
  CurlLibrary& operator=(const CurlLibrary&) = delete;
};

// A private folder for the downloaded files, removed with everything in it.

// What one check is about: the server asked, the line it announces, and where its files go.
struct CheckContext {
  const std::string& serverUrl;
  const std::string& line;
  const ScratchFolder& scratch;
};

struct Answer {
  CURLcode result = CURLE_OK;
  long status = 0;
  std::string detail;  // libcurl's own words on a failure, such as which certificate check failed
  std::string host;
};

// The launcher's request and its write function, with a limit on a stalled transfer.
Answer fetchLikeTheLauncher(const std::string& url, const fs::path& file) {
  CurlPtr handle(curl_easy_init());
  FilePtr out(std::fopen(file.c_str(), "wb"));
  if (!handle || !out) return {CURLE_FAILED_INIT, 0, "cannot start a transfer", hostOf(url)};
  char detail[CURL_ERROR_SIZE];
  setUpRequest(handle.get(), url.c_str(), detail);
  curl_easy_setopt(handle.get(), CURLOPT_WRITEFUNCTION, writeToFile);
  curl_easy_setopt(handle.get(), CURLOPT_WRITEDATA, out.get());
  curl_easy_setopt(handle.get(), CURLOPT_LOW_SPEED_LIMIT, 1L);
  curl_easy_setopt(handle.get(), CURLOPT_LOW_SPEED_TIME, stallSeconds);
  Answer answer;
  answer.result = curl_easy_perform(handle.get());
  curl_easy_getinfo(handle.get(), CURLINFO_RESPONSE_CODE, &answer.status);
  answer.detail = *detail ? detail : curl_easy_strerror(answer.result);
  const char* host = nullptr;
  curl_easy_getinfo(handle.get(), CURLINFO_EFFECTIVE_URL, &host);
  answer.host = hostOf(host ? host : url);
  return answer;
}

std::string statusMeaning(long status, const std::string& takenFor) {
  if (status >= 300 && status < 400) return " (a redirect, which the launcher does not follow)";
  if (status >= 400) return " (an error page, which the launcher would take for " + takenFor + ")";
  return " (not 200)";
}

std::string transferFailure(CURLcode result) {
  if (result == CURLE_OPERATION_TIMEDOUT)
    return "stopped sending for " + std::to_string(stallSeconds) + " s; the launcher would wait for it for ever";
  return std::string("broke off (") + curl_easy_strerror(result) + ")";
}

// False when what arrived is not the answer a working server gives.
bool reportAnswer(const std::string& what, const Answer& answer, const std::string& takenFor, Findings& findings) {
  if (answer.result == CURLE_PEER_FAILED_VERIFICATION) {
    findings.problem("the certificate of " + answer.host + " does not verify (" + answer.detail +
                     "), so the launcher gets nothing and keeps the installed build");
    return false;
  }
  if (answer.status == 0) {
    findings.problem(what + " could not be fetched (" + answer.detail + ")");
    return false;
  }
  if (answer.status != 200) {
    findings.problem(what + " answers " + std::to_string(answer.status) + statusMeaning(answer.status, takenFor));
    return false;
  }
  if (answer.result != CURLE_OK) {
    findings.problem(what + " answers 200 but the transfer " + transferFailure(answer.result));
    return false;
  }
  return true;
}

std::string readVersionLine(const fs::path& file) {
  // Binary, as the launcher reads it, but far enough to name a long line's true length.
  std::ifstream in(file, std::ios::binary);
  return readFirstLine(in, 4096);
}

// The version line the launcher would go on with, or empty when it would stop here.
std::string checkVersionFile(const std::string& serverUrl, const ScratchFolder& scratch, Findings& findings) {
  const fs::path file = scratch / "latest_version.txt";
  const Answer answer = fetchLikeTheLauncher(serverUrl + "latest_version.txt", file);
  const bool answered = reportAnswer("latest_version.txt", answer, "the file", findings);
  if (answer.status == 0) return {};
  const std::string line = readVersionLine(file);
  const LineVerdict verdict = judgeVersionLine(line);
  if (answered && (verdict.fault == LineFault::None || verdict.fault == LineFault::Month))
    findings.ok("latest_version.txt answers 200 with the version line '" + line + "'");
  if (verdict.fault != LineFault::None) findings.problem(verdict.reason);
  return verdict.fault == LineFault::None || verdict.fault == LineFault::Month ? line : std::string();
}

using Signatures = std::vector<signing::TrustedSignature>;

std::string byKey(const CheckedKey& key) { return "key '" + key.name + "'"; }

Signatures checkSignatures(const ScratchFolder& scratch, const std::string& line, const CheckedKey& key,
                           Findings& findings) {
  const std::string name = parseVersionLine(line)->packageFile;
  auto signatures =
      signing::findPublisherSignatures(signing::linesAfterFirst(scratch / "latest_version.txt"), name, {key.key});
  if (!signatures.empty())
    findings.ok("latest_version.txt carries a signature by " + byKey(key) + " for '" + name + "'");
  else
    findings.problem("latest_version.txt carries no signature by " + byKey(key) + " that names '" + name +
                     "', so launchers built with that key alone keep their installed build");
  return signatures;
}

void checkDigest(const fs::path& file, const Signatures& signatures, const CheckedKey& key, Findings& findings) {
  const auto digest = signing::digestOfFile(file.string());
  if (digest && signing::signsDigest(signatures, *digest))
    findings.ok("the package matches its signature by " + byKey(key));
  else
    findings.problem("the package does not match its signature by " + byKey(key) +
                     ", so launchers built with that key alone refuse to unpack it");
}

// A launcher that checks signatures never replaces itself with one that checks none.
void reportCarriedTrust(const std::string& system, const std::string& keys, Findings& findings) {
  std::string ids;
  for (const std::string& line : keysFileLines(keys))
    for (const signing::PublicKey& key : signing::parsePublicKeys(line))
      ids += (ids.empty() ? "" : ", ") + signing::keyIdText(key.id);
  if (!ids.empty())
    findings.ok("the " + system + " launcher the build carries checks publisher signatures by the keys " + ids);
  else
    findings.problem("the " + system + " launcher the build carries checks no publisher signature (its " +
                     launcherKeysFileName + " names no key), so launchers that check them refuse it");
}

std::string withoutPlainScheme(const std::string& url) { return url.starts_with("http://") ? url.substr(7) : url; }

// Players who install a build whose launcher asks another server are stranded unless that
// server announces this build already.
void reportCarriedServer(const std::string& system, const std::string& carried, const CheckContext& check,
                         Findings& findings) {
  const std::string who = "the " + system + " launcher the build carries asks " + carried;
  if (withoutPlainScheme(carried) == withoutPlainScheme(check.serverUrl)) return findings.ok(who + ", this server");
  const fs::path file = check.scratch / "moved_version.txt";
  const Answer answer = fetchLikeTheLauncher(carried + "latest_version.txt", file);
  if (answer.status != 200 || answer.result != CURLE_OK)
    return findings.problem(who + ", whose latest_version.txt " +
                            (answer.status ? "answers " + std::to_string(answer.status) : "cannot be fetched (" + answer.detail + ")") +
                            ", so the players it reaches see \"Error: Failed to contact server.\" at every start; "
                            "fill that server and check it before publishing here");
  const std::string line = readVersionLine(file);
  if (line != check.line)
    return findings.problem(who + ", which announces '" + line + "', not '" + check.line +
                            "', so the players it reaches go on to that build");
  findings.ok(who + ", which announces '" + line + "' too");
}

void reportCarriedLaunchers(zip_t* archive, const CheckContext& check, bool checkTrust, Findings& findings) {
  for (const std::string system : {"linux", "windows"}) {
    const std::string folder = std::string(packageTopFolder) + "/launcher/" + system + "/";
    if (zip_name_locate(archive, (folder + launcherVersionFileName).c_str(), 0) < 0) continue;
    if (checkTrust) reportCarriedTrust(system, readSmallEntry(archive, (folder + launcherKeysFileName).c_str(), 4096).value_or(""), findings);
    const auto server = readSmallEntry(archive, (folder + launcherServerFileName).c_str(), 4096);
    const std::vector<std::string> lines = server ? keysFileLines(*server) : std::vector<std::string>{};
    if (lines.size() != 1)
      findings.note("the " + system + " launcher the build carries does not name its server (its " + launcherServerFileName +
                    " is missing or holds no one address)");
    // Each host of a list may serve a start, so each must announce the build.
    for (const std::string& address : lines.size() == 1 ? serverAddresses(lines.front()) : std::vector<std::string>{}) {
      if (const std::string problem = serverUrlProblem(address); !problem.empty())
        findings.problem("the " + system + " launcher the build carries names the server '" + address + "': " + problem);
      else
        reportCarriedServer(system, address, check, findings);
    }
  }
}

void checkPackage(const CheckContext& check, const std::vector<CheckedKey>& keys,
                  const std::vector<Signatures>& signatures, Findings& findings) {
  const auto& [serverUrl, line, scratch] = check;
  const std::string name = parseVersionLine(line)->packageFile;
  const fs::path file = scratch / "package.zip";
  const Answer answer = fetchLikeTheLauncher(encodeSpaces(serverUrl + name), file);
  const bool answered = reportAnswer("'" + name + "'", answer, "the package", findings);
  if (answer.status == 0) return;
  for (std::size_t k = 0; k < keys.size(); ++k)
    if (!signatures[k].empty()) checkDigest(file, signatures[k], keys[k], findings);

  int error = 0;
  // Opened as the launcher opens it, so the same files count as archives.
  ZipPtr archive(zip_open(file.c_str(), 0, &error));
  if (!archive) {
    findings.problem("the package does not open as a zip archive, so the launcher stops with 'Failed to open archive'");
    return;
  }
  if (answered) {
    findings.ok("'" + name + "' answers 200 with a zip archive of " + std::to_string(fs::file_size(file)) + " bytes");
    checkRanges(encodeSpaces(serverUrl + name), fs::file_size(file), findings);
  }
  reportLayout(archive.get(), findings);
  reportCarriedLaunchers(archive.get(), check, !keys.empty(), findings);
}

std::optional<PatchManifest> readPatchManifest(const fs::path& file) {
  int error = 0;
  const ZipPtr archive(zip_open(file.c_str(), ZIP_RDONLY, &error));
  return archive ? readPatchManifest(archive.get()) : std::nullopt;
}

// The launchers of a key that does not sign the patch in file download the whole build.
void noteKeysThatDoNotSign(const std::string& lines, const PatchAnnouncement& patch, const fs::path& file,
                           const std::vector<CheckedKey>& keys, Findings& findings) {
  const auto digest = signing::digestOfFile(file.string());
  for (const CheckedKey& key : keys) {
    const auto signatures = signing::findPublisherSignatures(lines, patch.file, {key.key});
    if (signatures.empty() || !digest || !signing::signsDigest(signatures, *digest))
      findings.note("'" + patch.file + "' is not signed by " + byKey(key) +
                    ", so launchers built with that key alone download the whole build instead");
  }
}

// Each patch as a launcher with its base installed would take it: present, signed by each
// key given, and a manifest from that base to this line whose files are all there.
void checkPatches(const std::string& serverUrl, const std::string& line, const ScratchFolder& scratch,
                  const std::vector<CheckedKey>& keys, Findings& findings) {
  const std::string lines = signing::linesAfterFirst(scratch / "latest_version.txt", 64 << 10);
  for (const PatchAnnouncement& patch : parsePatchAnnouncements(lines)) {
    if (const auto base = parseVersionLine(patch.baseLine);
        base && patch.file != patchFileName(patch.baseLine, line)) {
      findings.problem("'" + patch.file + "' is not named '" + patchFileName(patch.baseLine, line) +
                       "', so launchers ignore it and download the whole package");
      continue;
    }
    const fs::path file = scratch / "patch.zip";
    const Answer answer = fetchLikeTheLauncher(encodeSpaces(serverUrl + patch.file), file);
    if (!reportAnswer("'" + patch.file + "'", answer, "the patch", findings)) continue;
    noteKeysThatDoNotSign(lines, patch, file, keys, findings);
    const auto manifest = readPatchManifest(file);
    if (!manifest || manifest->fromLine != patch.baseLine || manifest->toLine != line) {
      findings.problem("'" + patch.file + "' holds no patch from '" + patch.baseLine + "' to '" + line +
                       "', so launchers on that build download the whole package instead");
      continue;
    }
    findings.ok("'" + patch.file + "' patches '" + patch.baseLine + "' (" + std::to_string(manifest->files.size()) +
                " files, " + std::to_string(fs::file_size(file)) + " bytes)");
  }
}

}  // namespace

std::string serverUrlProblem(const std::string& serverUrl) {
  std::string_view rest = serverUrl;
  for (const std::string_view scheme : {"https://", "http://"})
    if (rest.starts_with(scheme)) rest.remove_prefix(scheme.size());
  if (rest.empty() || rest.front() == '/' || rest.back() != '/' || rest.find("://") != std::string::npos)
    return "the server address must have a launcher's form host[:port][/path]/ or https://host[:port][/path]/, "
           "e.g. 127.0.0.1:8470/";
  return {};
}

int checkServer(const std::string& serverUrl, const std::vector<CheckedKey>& keys) {
  const CurlLibrary curl;
  const ScratchFolder scratch("quarvel-check");
  Findings findings(std::cout);
  // Only the package's address has its blanks escaped; libcurl refuses the other one.
  if (serverUrl.find(' ') != std::string::npos)
    findings.problem(
        "the server address holds a blank, which the launcher sends unescaped when it asks for latest_version.txt");
  const std::string line = checkVersionFile(serverUrl, scratch, findings);
  std::vector<Signatures> signatures;
  for (const CheckedKey& key : keys)
    if (!line.empty()) signatures.push_back(checkSignatures(scratch, line, key, findings));
  if (!line.empty()) checkRelease(scratch / "latest_version.txt", signatures, findings);
  if (!line.empty()) checkPackage({serverUrl, line, scratch}, keys, signatures, findings);
  if (!line.empty()) checkPatches(serverUrl, line, scratch, keys, findings);
  if (findings.problems() == 0) {
    std::cout << "A player gets a clean update to '" << line << "'"
              << (findings.notes() ? ", though some get the whole build where a patch would do." : ".") << std::endl;
    return 0;
  }
  std::cout << "A player would not get a clean update (" << findings.problems()
            << (findings.problems() == 1 ? " problem)." : " problems).") << std::endl;
  return 1;
}
