#include "RangeCheck.h"

#include "package/CurlPtr.h"
#include "package/Download.h"

namespace {

struct RangeAnswer {
  long status = 0;
  ResponseHeaders headers = {};
};

// The body is not wanted: a host that ignores the range would send the whole package.
std::size_t discard(char*, std::size_t, std::size_t, void*) { return 0; }

RangeAnswer askLastByte(const std::string& url, std::uint64_t size, const std::string& validator) {
  RangeAnswer answer;
  const CurlPtr handle(curl_easy_init());
  if (!handle) return answer;
  char error[CURL_ERROR_SIZE];
  setUpRequest(handle.get(), url.c_str(), error);
  const SlistPtr headers = requestContinuation(handle.get(), {static_cast<std::int64_t>(size - 1), validator});
  curl_easy_setopt(handle.get(), CURLOPT_HEADERFUNCTION, readResponseHeader);
  curl_easy_setopt(handle.get(), CURLOPT_HEADERDATA, &answer.headers);
  curl_easy_setopt(handle.get(), CURLOPT_WRITEFUNCTION, discard);
  curl_easy_setopt(handle.get(), CURLOPT_TIMEOUT, 30L);
  curl_easy_perform(handle.get());
  curl_easy_getinfo(handle.get(), CURLINFO_RESPONSE_CODE, &answer.status);
  return answer;
}

}  // namespace

void checkRanges(const std::string& url, std::uint64_t size, Findings& findings) {
  if (size == 0) return;
  const std::string host = hostOf(url), startsAgain = ": a download that drops starts again from its first byte";
  const RangeAnswer plain = askLastByte(url, size, "");
  if (plain.status != 206)
    return findings.note(host + " answers a range request with HTTP " + std::to_string(plain.status) + startsAgain);
  const std::string validator = plain.headers.validator();
  if (validator.empty()) return findings.note(host + " sends the package with neither an ETag nor a Last-Modified date" + startsAgain);
  const RangeAnswer guarded = askLastByte(url, size, validator);
  if (guarded.status != 206 || guarded.headers.rangeStart != static_cast<std::int64_t>(size - 1))
    return findings.note(host + " answers a range under If-Range with HTTP " + std::to_string(guarded.status) + startsAgain);
  findings.ok(host + " honours range requests under the package's " +
              (validator == plain.headers.etag ? "ETag" : "Last-Modified date") +
              ": a download that drops continues where it stopped");
}
