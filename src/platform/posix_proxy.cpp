#include "platform/Platform.h"

#include <cstdlib>
#include <string_view>

namespace platform {

namespace {

const char* variable(const char* name) {
  const char* value = std::getenv(name);
  return value && *value ? value : nullptr;
}

}  // namespace

// The variables libcurl itself reads, in its order; only the lower-case http_proxy counts,
// since a web server's CGI programs get the request's Proxy header as HTTP_PROXY.
Proxy systemProxyFor(const std::string& url) {
  const bool https = std::string_view(url).starts_with("https://");
  const char* names[] = {https ? "https_proxy" : "http_proxy", https ? "HTTPS_PROXY" : nullptr, "all_proxy", "ALL_PROXY"};
  for (const char* name : names) {
    const char* address = name ? variable(name) : nullptr;
    if (!address) continue;
    const char* bypass = variable("no_proxy") ? variable("no_proxy") : variable("NO_PROXY");
    return {address, bypass ? bypass : "", name};
  }
  return {};
}

}  // namespace platform
