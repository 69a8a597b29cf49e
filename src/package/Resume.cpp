#include "package/Resume.h"

#include "base/ReadFile.h"
#include "platform/Platform.h"

#include <curl/curl.h>

#include <filesystem>
#include <thread>

namespace {

// What a dropped connection looks like to libcurl: none made, one reset or closed before the
// announced length, a stall; and an answer to a continuation that could not be continued.
bool dropped(const Transfer& transfer) {
  if (transfer.continuationRefused || transfer.stalled) return true;
  if (!transfer.writeFailure.empty()) return false;
  switch (transfer.code) {
    case CURLE_COULDNT_RESOLVE_HOST:
    case CURLE_COULDNT_CONNECT:
    case CURLE_PARTIAL_FILE:
    case CURLE_OPERATION_TIMEDOUT:
    case CURLE_GOT_NOTHING:
    case CURLE_SEND_ERROR:
    case CURLE_RECV_ERROR:
    case CURLE_HTTP2_STREAM: return true;
    default: return false;
  }
}

bool hashFromStart(std::FILE* part, signing::FileHasher& hasher) {
  if (std::fseek(part, 0, SEEK_SET) != 0) return false;
  std::vector<char> buffer(1 << 20);
  std::size_t read = 0;
  while ((read = std::fread(buffer.data(), 1, buffer.size(), part)) > 0) hasher.update(buffer.data(), read);
  return !std::ferror(part);
}

std::int64_t endOf(const std::string& path) {
  std::error_code error;
  const auto size = std::filesystem::file_size(path, error);
  return error ? 0 : static_cast<std::int64_t>(size);
}

// What an earlier start left of file: continued when its validator was kept, else emptied.
// (A power cut can lose the last bytes written, but not leave others in their place: the
// signature or the archive's own checksums catch a short file.)
Continuation keptPart(std::FILE* part, const std::string& file, signing::FileHasher* hasher) {
  Continuation kept{endOf(partialName(file)), readFileUpTo(validatorName(file), 256)};
  const bool usable = kept.from > 0 && !kept.validator.empty() && (!hasher || hashFromStart(part, *hasher));
  if (usable && std::fseek(part, 0, SEEK_END) == 0) return kept;
  if (hasher) hasher->restart();
  platform::truncateFile(part);
  return {};
}

// False when the stop came first.
bool waitUnlessStopped(Milliseconds wait, const StopToken* stop) {
  const auto end = std::chrono::steady_clock::now() + wait;
  while (std::chrono::steady_clock::now() < end) {
    if (stop && stop->requested()) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
  return !stop || !stop->requested();
}

std::string fromByte(const Continuation& continuation) {
  return continuation.from > 0 ? "from byte " + std::to_string(continuation.from) + ": " : "";
}

}  // namespace

std::string partialName(const std::string& file) { return file + ".part"; }
std::string validatorName(const std::string& file) { return file + ".part.validator"; }

Transfer fetchContinuing(const char* url, std::FILE* part, const std::string& file, TransferHooks hooks,
                         Report& report, Milliseconds firstWait) {
  const std::string validatorFile = validatorName(file);
  hooks.validatorFile = validatorFile.c_str();
  hooks.continuation = keptPart(part, file, hooks.hasher);
  bool told = false;
  for (int dropsInARow = 0;;) {
    const Continuation asked = hooks.continuation;
    Transfer transfer = fetchInto(url, part, hooks);
    hooks.progressStandsLast = transfer.progressShown;
    transfer.summary = fromByte(asked) + transfer.summary;
    const std::int64_t kept = endOf(partialName(file));
    dropsInARow = kept > asked.from ? 1 : dropsInARow + 1;
    if (!dropped(transfer) || dropsInARow > 5 || (hooks.stop && hooks.stop->requested())) return transfer;
    const Milliseconds wait = firstWait * (1 << (dropsInARow - 1));
    report.detail(std::string("GET ") + url + ": " + transfer.summary + "; " + std::to_string(kept) +
                  " bytes kept, trying again in " + std::to_string(wait.count()) + " ms");
    // Said once, in the progress line's place: the window's log does not scroll.
    const std::string line = "    The connection dropped; the download goes on where it stopped.";
    if (!told) hooks.progressStandsLast ? report.replaceLine(line) : report.addLine(line);
    hooks.progressStandsLast = hooks.progressStandsLast && told;
    told = true;
    if (!waitUnlessStopped(wait, hooks.stop)) return transfer;
    hooks.continuation = {kept, readFileUpTo(validatorFile, 256)};
    if (kept == 0 || hooks.continuation.validator.empty()) hooks.continuation = keptPart(part, file, hooks.hasher);
  }
}

bool completeDownload(const std::string& file) {
  if (!platform::renameReplacing(partialName(file), file)) return false;
  platform::removeFileDurably(validatorName(file));
  return true;
}

std::vector<std::string> removeEarlierDownloads(const std::string& line) {
  const std::string prefix = "quarvel ";
  std::vector<std::string> removed;
  std::error_code error;
  for (const auto& entry : std::filesystem::directory_iterator(".", error)) {
    const std::string name = entry.path().filename().string();
    std::string_view download = name;
    for (const std::string_view suffix : {".part", ".part.validator"})
      if (download.ends_with(std::string(".zip") + std::string(suffix))) download.remove_suffix(suffix.size());
    const bool partial = download.size() < name.size();
    // Only names of the launcher's own downloads: a package's or a patch's, of a line of its length.
    const std::size_t lineEnd = prefix.size() + line.size();
    const bool ours = download.size() >= lineEnd + 4 && download.starts_with(prefix) && download.ends_with(".zip") &&
                      (download.size() == lineEnd + 4 || download.compare(lineEnd, 12, " patch from ") == 0);
    if (!ours || (!partial && download.compare(prefix.size(), line.size(), line) == 0) || !entry.is_regular_file(error))
      continue;
    if (std::filesystem::remove(entry.path(), error)) removed.push_back(name);
  }
  return removed;
}
