#include "platform/Platform.h"

#include "platform/WindowsHandle.h"

#include <winhttp.h>

#include <memory>
#include <mutex>
#include <sstream>

namespace platform {

namespace {

struct InternetCloser {
  void operator()(HINTERNET handle) const { WinHttpCloseHandle(handle); }
};
using InternetHandle = std::unique_ptr<void, InternetCloser>;

// The strings WinHTTP hands over are the caller's to free.
struct GlobalString {
  LPWSTR text = nullptr;
  GlobalString() = default;
  GlobalString(const GlobalString&) = delete;
  GlobalString& operator=(const GlobalString&) = delete;
  ~GlobalString() { if (text) GlobalFree(text); }
};

std::string narrow(const wchar_t* text) {
  if (!text) return {};
  std::string result;
  for (; *text; ++text) result += *text < 128 ? static_cast<char>(*text) : '?';  // host names and ports only
  return result;
}

std::wstring widen(const std::string& text) { return {text.begin(), text.end()}; }

// Of a list such as "http=proxy:3128;https=proxy:3129" or "proxy:3128", the entry for the
// URL's scheme, else the one for every scheme, as an address libcurl takes.
std::string entryFor(const std::string& list, bool https) {
  std::istringstream entries(list);
  std::string entry, any;
  const std::string wanted = https ? "https=" : "http=";
  while (std::getline(entries, entry, ';')) {
    entry.erase(0, entry.find_first_not_of(' '));
    if (entry.starts_with(wanted)) return "http://" + entry.substr(wanted.size());
    if (entry.find('=') == std::string::npos && !entry.empty() && any.empty()) any = "http://" + entry;
  }
  return any;
}

// The bypass list in libcurl's form: "*.example.com" becomes ".example.com"; "<local>" (names
// without a dot) and patterns libcurl cannot read are left out.
std::string bypassFor(const std::string& list) {
  std::istringstream entries(list);
  std::string entry, result;
  while (std::getline(entries, entry, ';')) {
    if (entry.starts_with("*.")) entry.erase(0, 1);
    if (entry.empty() || entry.find_first_of("*<") != std::string::npos) continue;
    result += (result.empty() ? "" : ",") + entry;
  }
  return result;
}

// An automatic configuration (a script's address, or the network's own WPAD) asked for url.
std::optional<Proxy> automaticProxyFor(const std::string& url, const WINHTTP_CURRENT_USER_IE_PROXY_CONFIG& settings) {
  const InternetHandle session(WinHttpOpen(L"Quarvel", WINHTTP_ACCESS_TYPE_NO_PROXY, WINHTTP_NO_PROXY_NAME, WINHTTP_NO_PROXY_BYPASS, 0));
  if (!session) return std::nullopt;
  // A network without an answer must not hold the update for long.
  WinHttpSetTimeouts(session.get(), 3000, 3000, 3000, 3000);
  WINHTTP_AUTOPROXY_OPTIONS options{};
  options.dwFlags = settings.lpszAutoConfigUrl ? WINHTTP_AUTOPROXY_CONFIG_URL : WINHTTP_AUTOPROXY_AUTO_DETECT;
  options.dwAutoDetectFlags = settings.lpszAutoConfigUrl ? 0 : WINHTTP_AUTO_DETECT_TYPE_DHCP | WINHTTP_AUTO_DETECT_TYPE_DNS_A;
  options.lpszAutoConfigUrl = settings.lpszAutoConfigUrl;
  options.fAutoLogonIfChallenged = TRUE;
  WINHTTP_PROXY_INFO info{};
  const std::wstring address = widen(url);
  if (!WinHttpGetProxyForUrl(session.get(), address.c_str(), &options, &info)) return std::nullopt;
  GlobalString proxy, bypass;
  proxy.text = info.lpszProxy, bypass.text = info.lpszProxyBypass;
  const std::string source = settings.lpszAutoConfigUrl ? "the configuration script " + narrow(settings.lpszAutoConfigUrl)
                                                        : "the network's automatic configuration";
  if (info.dwAccessType != WINHTTP_ACCESS_TYPE_NAMED_PROXY || !proxy.text) return Proxy{"", "", source};
  return Proxy{entryFor(narrow(proxy.text), url.starts_with("https://")), bypassFor(narrow(bypass.text)), source};
}

Proxy lookUp(const std::string& url) {
  WINHTTP_CURRENT_USER_IE_PROXY_CONFIG settings{};
  if (!WinHttpGetIEProxyConfigForCurrentUser(&settings)) return {};
  GlobalString script, proxy, bypass;
  script.text = settings.lpszAutoConfigUrl, proxy.text = settings.lpszProxy, bypass.text = settings.lpszProxyBypass;
  if (settings.fAutoDetect || script.text)
    if (const auto automatic = automaticProxyFor(url, settings); automatic && !automatic->address.empty()) return *automatic;
  if (!proxy.text) return {};
  return {entryFor(narrow(proxy.text), url.starts_with("https://")), bypassFor(narrow(bypass.text)), "the player's proxy settings"};
}

}  // namespace

// A start asks about one host, twice or thrice: an automatic configuration is run once.
Proxy systemProxyFor(const std::string& url) {
  static std::mutex mutex;
  static std::string askedFor;
  static Proxy answer;
  const std::string origin = url.substr(0, url.find('/', url.find("//") + 2));
  std::lock_guard lock(mutex);
  if (askedFor != origin || origin.empty()) answer = lookUp(url), askedFor = origin;
  return answer;
}

}  // namespace platform
