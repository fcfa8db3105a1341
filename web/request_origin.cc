#include "web/request_origin.h"

#include <arpa/inet.h>
#include <unistd.h>

#include <algorithm>
#include <cstdlib>

#include "lib/config_dir.h"
#include "lib/settings_file.h"

namespace {

struct Endpoint {
  std::string host;  // lower case, without one final "." nor IPv6 brackets
  std::string port;  // empty when none was given
  bool bracketed = false;
};

std::string Lower(std::string_view text) {
  std::string out(text);
  for (char& c : out) {
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
  }
  return out;
}

// "host", "host:port", "[v6]" or "[v6]:port". Nothing when it is none of
// these.
std::optional<Endpoint> ParseAuthority(std::string_view authority) {
  Endpoint endpoint;
  std::string_view port;
  if (authority.starts_with('[')) {
    std::size_t close = authority.find(']');
    if (close == std::string_view::npos) return std::nullopt;
    endpoint.host = Lower(authority.substr(1, close - 1));
    endpoint.bracketed = true;
    std::string_view rest = authority.substr(close + 1);
    if (!rest.empty() && !rest.starts_with(':')) return std::nullopt;
    if (!rest.empty()) port = rest.substr(1);
  } else {
    std::size_t colon = authority.find(':');
    endpoint.host = Lower(authority.substr(0, colon));
    if (colon != std::string_view::npos) port = authority.substr(colon + 1);
  }
  if (port.find_first_not_of("0123456789") != std::string_view::npos || port.size() > 5) return std::nullopt;
  endpoint.port = std::string(port);
  if (endpoint.host.ends_with('.')) endpoint.host.pop_back();
  if (endpoint.host.empty()) return std::nullopt;
  return endpoint;
}

// The scheme and authority of an absolute http(s) URL.
std::optional<std::pair<std::string, Endpoint>> ParseUrl(std::string_view url) {
  std::size_t sep = url.find("://");
  if (sep == std::string_view::npos) return std::nullopt;
  std::string scheme = Lower(url.substr(0, sep));
  if (scheme != "http" && scheme != "https") return std::nullopt;
  std::string_view authority = url.substr(sep + 3);
  authority = authority.substr(0, authority.find_first_of("/?#"));
  if (std::size_t at = authority.rfind('@'); at != std::string_view::npos) authority.remove_prefix(at + 1);
  std::optional<Endpoint> endpoint = ParseAuthority(authority);
  if (!endpoint) return std::nullopt;
  return std::make_pair(scheme, *endpoint);
}

std::string PortOr(const std::string& port, const std::string& scheme) {
  if (!port.empty()) return std::to_string(std::atoi(port.c_str()));
  return scheme == "https" ? "443" : "80";
}

// Whether a URL that a browser sent (Origin, Referer) names the same host and
// port as Host.
bool SameSite(std::string_view url, const std::optional<Endpoint>& host) {
  std::optional<std::pair<std::string, Endpoint>> parsed = ParseUrl(url);
  if (!parsed || !host) return false;
  const auto& [scheme, endpoint] = *parsed;
  return endpoint.host == host->host && PortOr(endpoint.port, scheme) == PortOr(host->port, scheme);
}

bool IsAddressOrLocalhost(const Endpoint& endpoint) {
  unsigned char address[16];
  if (endpoint.bracketed) return ::inet_pton(AF_INET6, endpoint.host.c_str(), address) == 1;
  return endpoint.host == "localhost" || ::inet_pton(AF_INET, endpoint.host.c_str(), address) == 1;
}

bool Allowed(const RequestHeaders& headers, const std::vector<std::string>* names) {
  if (headers.sec_fetch_site && (*headers.sec_fetch_site == "cross-site" || *headers.sec_fetch_site == "same-site")) {
    return false;
  }
  std::optional<Endpoint> host;
  if (headers.host) {
    host = ParseAuthority(*headers.host);
    if (!host) return false;
  }
  if (headers.origin && !SameSite(*headers.origin, host)) return false;
  if (headers.referer && !SameSite(*headers.referer, host)) return false;
  if (!host || IsAddressOrLocalhost(*host)) return true;
  std::vector<std::string> looked_up;
  if (names == nullptr) names = &(looked_up = device_names());
  return std::any_of(names->begin(), names->end(), [&](const std::string& name) {
    std::string wanted = Lower(name);
    if (wanted.ends_with('.')) wanted.pop_back();
    return !wanted.empty() && wanted == host->host;
  });
}

std::optional<std::string_view> Header(const char* variable) {
  const char* value = std::getenv(variable);
  if (value == nullptr) return std::nullopt;
  return std::string_view(value);
}

}  // namespace

bool may_change_configuration(const RequestHeaders& headers, const std::vector<std::string>& device_names) {
  return Allowed(headers, &device_names);
}

std::vector<std::string> device_names() {
  std::vector<std::string> names;
  char host[256] = {};
  if (::gethostname(host, sizeof host - 1) == 0 && host[0] != '\0') {
    names.emplace_back(host);
    names.push_back(std::string(host) + ".local");
  }
  std::string allowed = cfg_file_get(server_settings_path(), "allowed_hosts").value_or("");
  for (std::size_t start = 0; start < allowed.size();) {
    std::size_t end = std::min(allowed.find(':', start), allowed.size());
    if (end > start) names.push_back(allowed.substr(start, end - start));
    start = end + 1;
  }
  return names;
}

bool request_may_change_configuration() {
  RequestHeaders headers{Header("HTTP_HOST"), Header("HTTP_ORIGIN"), Header("HTTP_REFERER"),
                         Header("HTTP_SEC_FETCH_SITE")};
  return Allowed(headers, nullptr);
}
