#include "package/Download.h"

#include "base/OwnNames.h"
#include "package/CurlPtr.h"
#include "package/Package.h"
#include "platform/Platform.h"

#include <cctype>
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <memory>
#include <optional>
#include <string_view>
#include <sstream>
#include <string>

std::size_t writeToFile(char* data, std::size_t size, std::size_t count, void* file) {
  return std::fwrite(data, size, count, static_cast<std::FILE*>(file));
}

namespace {

// The value of a header line of the given lower-case name, without its spaces and line end.
std::optional<std::string_view> headerValue(std::string_view line, std::string_view name) {
  if (line.size() <= name.size() || line[name.size()] != ':') return std::nullopt;
  for (std::size_t i = 0; i < name.size(); ++i)
    if (std::tolower(static_cast<unsigned char>(line[i])) != name[i]) return std::nullopt;
  line.remove_prefix(name.size() + 1);
  const std::size_t first = line.find_first_not_of(" \t"), last = line.find_last_not_of(" \t\r\n");
  return first == std::string_view::npos ? std::string_view() : line.substr(first, last - first + 1);
}

struct FileSink {
  CURL* handle;
  std::FILE* file;
  const TransferHooks& hooks;
  ResponseHeaders answer = {};
  bool started = false, refused = false;
  std::int64_t base = 0;     // where the answer's first byte lands in the file
  std::string failure = {};  // the system's words for the first failed write
};

// Keeps the answer's validator, or none, for whoever continues the file later.
void keepValidator(const FileSink& sink) {
  if (!sink.hooks.validatorFile) return;
  const std::string validator = sink.answer.validator();
  if (!validator.empty()) platform::replaceFileAtomically(sink.hooks.validatorFile, validator);
  else platform::removeFileDurably(sink.hooks.validatorFile);
}

// The answer's first byte decides where it goes: after the kept bytes when the server sent
// the range asked for, of the file asked for; over them from byte zero when it sent the whole
// file. Any other answer to a continuation is not written, so that no file is ever a mix of two.
bool startWriting(FileSink& sink) {
  sink.started = true;
  const Continuation& kept = sink.hooks.continuation;
  long status = 0;
  curl_easy_getinfo(sink.handle, CURLINFO_RESPONSE_CODE, &status);
  const std::string validator = sink.answer.validator();
  if (kept.from > 0 && status == 206 && sink.answer.rangeStart == kept.from &&
      (validator.empty() || validator == kept.validator)) {
    sink.base = kept.from;
    return true;
  }
  if (kept.from > 0) {
    if (!platform::truncateFile(sink.file)) return sink.failure = platform::lastErrorText(), false;
    if (sink.hooks.hasher) sink.hooks.hasher->restart();
    sink.refused = status != 200;
  }
  if (!sink.refused) keepValidator(sink);
  return !sink.refused;
}

// The digest covers exactly the bytes that fwrite took.
std::size_t writeToSink(char* data, std::size_t size, std::size_t count, void* target) {
  auto* sink = static_cast<FileSink*>(target);
  if (sink->hooks.stop && sink->hooks.stop->requested()) return 0;
  if (!sink->started && !startWriting(*sink)) return 0;
  const std::size_t written = writeToFile(data, size, count, sink->file);
  if (sink->hooks.hasher) sink->hooks.hasher->update(data, written * size);
  if (written < count && sink->failure.empty()) sink->failure = platform::lastErrorText();
  return written;
}

using Clock = std::chrono::steady_clock;

struct ProgressLine {
  const FileSink& sink;
  Clock::time_point start = Clock::now(), shownAt = {}, lastByteAt = start;
  curl_off_t bytes = 0;
  std::string shown = {};
  bool standsLast = sink.hooks.progressStandsLast, stalled = false;
};

// libcurl calls this with every piece of data and about once a second while none comes, so
// a stop ends even a stalled transfer, and a stall is measured from the last byte (libcurl's
// own limit averages the speed over several seconds). The line changes at most four times a
// second, and only when its text does: the window redraws it, the log file keeps its first
// and last.
int onProgress(void* data, curl_off_t total, curl_off_t now, curl_off_t, curl_off_t) {
  auto* line = static_cast<ProgressLine*>(data);
  const TransferHooks& hooks = line->sink.hooks;
  if (hooks.stop && hooks.stop->requested()) return 1;
  const Clock::time_point at = Clock::now();
  if (now != line->bytes) line->bytes = now, line->lastByteAt = at;
  if (at - line->lastByteAt >= std::chrono::seconds(hooks.stallSeconds)) return line->stalled = true, 1;
  // Before the answer's headers nothing is known yet, not even whether a length will come.
  if (!hooks.progress || (now == 0 && total == 0) ||
      (!line->shown.empty() && at - line->shownAt < std::chrono::milliseconds(250)))
    return 0;
  // A rate needs a second of data before it means anything.
  const double seconds = std::chrono::duration<double>(at - line->start).count();
  const std::int64_t base = line->sink.base;
  std::string text = progressText(base + now, total > 0 ? base + total : 0, seconds >= 1 ? now / seconds : 0);
  if (text == line->shown) return 0;
  line->standsLast ? hooks.progress->replaceLine(text) : hooks.progress->addLine(text);
  line->shown = std::move(text), line->shownAt = at, line->standsLast = true;
  return 0;
}

// "1,027": whole MiB with a separator every three digits.
std::string wholeMiB(std::int64_t bytes) {
  std::string digits = std::to_string(bytes >> 20);
  for (int i = static_cast<int>(digits.size()) - 3; i > 0; i -= 3) digits.insert(static_cast<std::size_t>(i), ",");
  return digits;
}

struct PeerCheck {
  CURL* handle;
  std::string host;
  std::string problem;  // why the certificate was refused, for the log file
};

// Runs once the connection is made, before the request is sent: a server whose
// certificate the system does not vouch for is never asked anything.
int checkPeerBeforeRequest(void* data, char*, char*, int, int) {
  auto* check = static_cast<PeerCheck*>(data);
  curl_tlssessioninfo* session = nullptr;
  if (curl_easy_getinfo(check->handle, CURLINFO_TLS_SSL_PTR, &session) != CURLE_OK || !session || !session->internals)
    check->problem = "no TLS session to check";
  else
    check->problem = platform::serverCertificateProblem(session->internals, check->host).value_or("");
  return check->problem.empty() ? CURL_PREREQFUNC_OK : CURL_PREREQFUNC_ABORT;
}

// "libcurl 7 (Failed to connect to localhost port 1: Connection refused), HTTP 0, 0 bytes in 0.001 s"
std::string transferSummary(CURL* handle, CURLcode code, const char* error) {
  long status = 0;
  curl_off_t bytes = 0, micros = 0;
  curl_easy_getinfo(handle, CURLINFO_RESPONSE_CODE, &status);
  curl_easy_getinfo(handle, CURLINFO_SIZE_DOWNLOAD_T, &bytes);
  curl_easy_getinfo(handle, CURLINFO_TOTAL_TIME_T, &micros);
  char text[CURL_ERROR_SIZE + 128];
  std::snprintf(text, sizeof text, "libcurl %d (%s), HTTP %ld, %lld bytes in %.3f s", static_cast<int>(code),
                *error ? error : curl_easy_strerror(code), status, static_cast<long long>(bytes), micros / 1e6);
  return text;
}

struct UrlFree {
  void operator()(CURLU* url) const { curl_url_cleanup(url); }
};

}  // namespace

// A validator longer than any server writes is not kept: it goes back into a request.
std::size_t readResponseHeader(char* data, std::size_t size, std::size_t count, void* target) {
  auto* answer = static_cast<ResponseHeaders*>(target);
  const std::string_view line(data, size * count);
  if (line.starts_with("HTTP/")) *answer = {};
  else if (const auto etag = headerValue(line, "etag"); etag && etag->size() < 200) answer->etag = *etag;
  else if (const auto date = headerValue(line, "last-modified"); date && date->size() < 200) answer->lastModified = *date;
  else if (const auto range = headerValue(line, "content-range"); range && range->starts_with("bytes "))
    answer->rangeStart = std::strtoll(std::string(range->substr(6)).c_str(), nullptr, 10);
  return size * count;
}

std::string ResponseHeaders::validator() const {
  return !etag.empty() && !etag.starts_with("W/") ? etag : lastModified;
}

std::string hostOf(const std::string& url) {
  const std::unique_ptr<CURLU, UrlFree> parsed(curl_url());
  char* host = nullptr;
  if (!parsed || curl_url_set(parsed.get(), CURLUPART_URL, url.c_str(), CURLU_DEFAULT_SCHEME) != CURLUE_OK ||
      curl_url_get(parsed.get(), CURLUPART_HOST, &host, 0) != CURLUE_OK)
    return {};
  std::string text = host;
  curl_free(host);
  if (text.size() > 2 && text.front() == '[' && text.back() == ']') text = text.substr(1, text.size() - 2);
  return text;
}

std::vector<std::string> serverAddresses(std::string_view list) {
  std::vector<std::string> addresses;
  while (!list.empty()) {
    const std::size_t comma = std::min(list.find(','), list.size());
    if (comma > 0) addresses.emplace_back(list.substr(0, comma));
    list.remove_prefix(std::min(comma + 1, list.size()));
  }
  return addresses;
}

std::string setUpRequest(void* curlHandle, const char* url, char* error) {
  curl_easy_setopt(curlHandle, CURLOPT_URL, url);
  curl_easy_setopt(curlHandle, CURLOPT_DEFAULT_PROTOCOL, "http");
  curl_easy_setopt(curlHandle, CURLOPT_PROTOCOLS_STR, "http,https");
  // Revocation is best effort: Schannel's strict default refuses a certificate whose
  // revocation server is out of reach (measured with the same chain engine under Wine),
  // which would cut off every player whose network blocks those servers.
  if (std::string_view(url).starts_with("https://"))
    curl_easy_setopt(curlHandle, CURLOPT_SSL_OPTIONS, static_cast<long>(CURLSSLOPT_REVOKE_BEST_EFFORT));
  error[0] = '\0';
  curl_easy_setopt(curlHandle, CURLOPT_ERRORBUFFER, error);
  // Handed over even where libcurl would read it itself, so that the log names what is used;
  // an empty address keeps libcurl from looking further. HTTPS goes through a CONNECT
  // tunnel: the server's certificate is checked exactly as without a proxy.
  const platform::Proxy proxy = platform::systemProxyFor(url);
  curl_easy_setopt(curlHandle, CURLOPT_PROXY, proxy.address.c_str());
  if (!proxy.bypass.empty()) curl_easy_setopt(curlHandle, CURLOPT_NOPROXY, proxy.bypass.c_str());
  if (proxy.address.empty()) return "";
  return "proxy " + proxy.address + " (from " + proxy.source + (proxy.bypass.empty() ? "" : ", not for " + proxy.bypass) + ")";
}

Transfer fetchToFile(const char* url, const char* path, const TransferHooks& hooks) {
  // The transfer is never handed a file that did not open.
  FilePtr file(std::fopen(path, "wb"));
  if (!file) return {FetchResult::CannotWrite, std::string("cannot create ") + path + ": " + platform::lastErrorText()};
  Transfer transfer = fetchInto(url, file.get(), hooks);
  if (std::fclose(file.release()) != 0 && transfer.writeFailure.empty()) transfer.writeFailure = platform::lastErrorText();
  return transfer;
}

SlistPtr requestContinuation(void* curlHandle, const Continuation& continuation) {
  if (continuation.from <= 0) return nullptr;
  curl_easy_setopt(curlHandle, CURLOPT_RANGE, (std::to_string(continuation.from) + "-").c_str());
  if (continuation.validator.empty()) return nullptr;
  SlistPtr headers(curl_slist_append(nullptr, ("If-Range: " + continuation.validator).c_str()));
  curl_easy_setopt(curlHandle, CURLOPT_HTTPHEADER, headers.get());
  return headers;
}

Transfer fetchInto(const char* url, std::FILE* file, const TransferHooks& hooks) {
  CurlPtr handle(curl_easy_init());
  if (!handle) return {FetchResult::NoHandle, "libcurl could not start a transfer"};
  FileSink sink{handle.get(), file, hooks};
  ProgressLine progress{sink};
  char error[CURL_ERROR_SIZE];
  const std::string proxy = setUpRequest(handle.get(), url, error);
  const SlistPtr headers = requestContinuation(handle.get(), hooks.continuation);
  curl_easy_setopt(handle.get(), CURLOPT_HEADERFUNCTION, readResponseHeader);
  curl_easy_setopt(handle.get(), CURLOPT_HEADERDATA, &sink.answer);
  curl_easy_setopt(handle.get(), CURLOPT_WRITEFUNCTION, writeToSink);
  curl_easy_setopt(handle.get(), CURLOPT_WRITEDATA, &sink);
  curl_easy_setopt(handle.get(), CURLOPT_NOPROGRESS, 0L);
  curl_easy_setopt(handle.get(), CURLOPT_XFERINFOFUNCTION, onProgress);
  curl_easy_setopt(handle.get(), CURLOPT_XFERINFODATA, &progress);
  // A dead connection (a lost NAT mapping, a sleeping laptop) ends instead of holding the update.
  curl_easy_setopt(handle.get(), CURLOPT_CONNECTTIMEOUT, 15L);
  const bool https = std::string_view(url).starts_with("https://");
  PeerCheck peer{handle.get(), https ? hostOf(url) : "", ""};
  if (https && platform::checksCertificateAfterHandshake) {
    curl_easy_setopt(handle.get(), CURLOPT_PREREQFUNCTION, checkPeerBeforeRequest);
    curl_easy_setopt(handle.get(), CURLOPT_PREREQDATA, &peer);
  }
  // The result goes to the log file only: what the player sees is judged by the file.
  const CURLcode code = curl_easy_perform(handle.get());
  // An empty answer decides too: a whole file of no bytes replaces the kept ones.
  if (code == CURLE_OK && !sink.started) startWriting(sink);
  Transfer transfer{FetchResult::Done, transferSummary(handle.get(), code, error), std::move(sink.failure),
                    progress.standsLast, static_cast<int>(code), sink.refused, progress.stalled};
  curl_easy_getinfo(handle.get(), CURLINFO_RESPONSE_CODE, &transfer.status);
  if (!proxy.empty()) transfer.summary += ", through " + proxy;
  if (progress.stalled) transfer.summary += "; no byte came for " + std::to_string(hooks.stallSeconds) + " s";
  if (!peer.problem.empty()) transfer.summary += "; the certificate of " + peer.host + " is " + peer.problem;
  if (std::fflush(file) != 0 && transfer.writeFailure.empty()) transfer.writeFailure = platform::lastErrorText();
  return transfer;
}

std::string progressText(std::int64_t now, std::int64_t total, double rate) {
  std::string text = "    Downloaded " + wholeMiB(now);
  if (total > 0) text += " / " + wholeMiB(total) + " MiB (" + std::to_string(now * 100 / total) + " %)";
  else text += " MiB";
  if (rate <= 0) return text;
  char speed[32];
  std::snprintf(speed, sizeof speed, ", %.1f MiB/s", rate / 1048576);
  text += speed;
  if (total <= now) return text;
  const auto left = static_cast<long long>(static_cast<double>(total - now) / rate + 0.5);
  return text + ", about " + (left < 90 ? std::to_string(left) + " s" : std::to_string((left + 30) / 60) + " min") +
         " left";
}

std::string downloadedSizeLine(std::uint32_t bytes) {
  std::ostringstream line;
  line << "    Downloaded " << static_cast<float>(bytes / 1048576u) << " MiB.";
  return line.str();
}

std::string downloadNameProblem(const std::string& name) {
  if (isLauncherOwnName(name)) return "the launcher keeps a file of that name for itself";
  return plainNameProblem(name);
}
