#include "web/request_origin.h"

#include <arpa/inet.h>
#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <memory>

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
bool NamesHost(std::string_view url, const std::optional<Endpoint>& host) {
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

// 127.0.0.0/8, ::1, and 127.0.0.0/8 mapped into IPv6 (a server listening on
// an IPv6 socket reports IPv4 peers so).
bool IsLoopback(std::string_view peer) {
  std::string text(peer);
  unsigned char address[16];
  if (::inet_pton(AF_INET, text.c_str(), address) == 1) return address[0] == 127;
  if (::inet_pton(AF_INET6, text.c_str(), address) != 1) return false;
  static constexpr unsigned char kLoopback6[16] = {0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 1};
  static constexpr unsigned char kMapped[12] = {0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0xff, 0xff};
  if (std::equal(address, address + 16, kLoopback6)) return true;
  return std::equal(address, address + 12, kMapped) && address[12] == 127;
}

ChangeVerdict Judge(const RequestHeaders& headers, const std::vector<std::string>* names) {
  if (headers.sec_fetch_site && (*headers.sec_fetch_site == "cross-site" || *headers.sec_fetch_site == "same-site")) {
    return ChangeVerdict::kOtherSite;
  }
  std::optional<Endpoint> host;
  if (headers.host) {
    host = ParseAuthority(*headers.host);
    if (!host) return ChangeVerdict::kOtherSite;
  }
  if (headers.origin && !NamesHost(*headers.origin, host)) return ChangeVerdict::kOtherSite;
  if (headers.referer && !NamesHost(*headers.referer, host)) return ChangeVerdict::kOtherSite;
  if (host && !IsAddressOrLocalhost(*host)) {
    std::vector<std::string> looked_up;
    if (names == nullptr) names = &(looked_up = device_names());
    bool known = std::any_of(names->begin(), names->end(), [&](const std::string& name) {
      std::string wanted = Lower(name);
      if (wanted.ends_with('.')) wanted.pop_back();
      return !wanted.empty() && wanted == host->host;
    });
    if (!known) return ChangeVerdict::kUnknownName;
  }
  // From another machine, the page's own proof: what passed above was sent
  // by a page of the device, or one of these that only such a page sends.
  if (headers.remote_addr && !IsLoopback(*headers.remote_addr) && !headers.origin && !headers.referer &&
      headers.sec_fetch_site != "same-origin" && !headers.x_requested_with) {
    return ChangeVerdict::kNoProof;
  }
  return ChangeVerdict::kAllowed;
}

std::optional<std::string_view> Header(const char* variable) {
  const char* value = std::getenv(variable);
  if (value == nullptr) return std::nullopt;
  return std::string_view(value);
}

bool IsLabelByte(char c) {
  return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '-';
}

}  // namespace

ChangeVerdict judge_change(const RequestHeaders& headers, const std::vector<std::string>& device_names) {
  return Judge(headers, &device_names);
}

std::string device_host_name() {
  char host[256] = {};
  if (::gethostname(host, sizeof host - 1) != 0) return "";
  return host;
}

std::vector<std::string> allowed_host_names() {
  std::string allowed = cfg_file_get(server_settings_path(), "allowed_hosts").value_or("");
  std::vector<std::string> names;
  for (std::size_t start = 0; start < allowed.size();) {
    std::size_t end = std::min(allowed.find(':', start), allowed.size());
    if (end > start) names.push_back(allowed.substr(start, end - start));
    start = end + 1;
  }
  return names;
}

std::vector<std::string> device_names() {
  std::vector<std::string> names;
  if (std::string host = device_host_name(); !host.empty()) {
    names.push_back(host);
    names.push_back(host + ".local");
  }
  for (std::string& name : allowed_host_names()) names.push_back(std::move(name));
  return names;
}

bool is_allowable_host_name(std::string_view name) {
  if (name.ends_with('.')) name.remove_suffix(1);
  if (name.empty() || name.size() > 253) return false;
  for (std::size_t start = 0; start <= name.size();) {
    std::size_t end = std::min(name.find('.', start), name.size());
    std::string_view label = name.substr(start, end - start);
    if (label.empty() || label.size() > 63 || !std::all_of(label.begin(), label.end(), IsLabelByte) ||
        label.front() == '-' || label.back() == '-') {
      return false;
    }
    start = end + 1;
  }
  // A last label of digits only makes a browser read the name as an address.
  std::string_view last = name.substr(name.rfind('.') == std::string_view::npos ? 0 : name.rfind('.') + 1);
  if (last.find_first_not_of("0123456789") == std::string_view::npos) return false;
  return !IsAddressOrLocalhost(Endpoint{Lower(name), "", false});
}

bool add_allowed_host(std::string_view name) {
  std::string wanted = Lower(name);
  if (wanted.ends_with('.')) wanted.pop_back();
  std::unique_ptr<SettingsFile> file = cfg_open(server_settings_path());
  if (!file) return false;
  std::string allowed = cfg_get(*file, "allowed_hosts");
  std::size_t count = 0;
  bool present = false;
  for (std::size_t start = 0; start < allowed.size();) {
    std::size_t end = std::min(allowed.find(':', start), allowed.size());
    if (end > start) {
      ++count;
      std::string stored = Lower(std::string_view(allowed).substr(start, end - start));
      if (stored.ends_with('.')) stored.pop_back();
      present = present || stored == wanted;
    }
    start = end + 1;
  }
  if (present) return cfg_close(std::move(file)) == 0;
  if (count >= kMaxAllowedHosts) {
    cfg_close(std::move(file));
    return false;
  }
  if (!allowed.empty() && !allowed.ends_with(':')) allowed += ':';
  cfg_set(*file, "allowed_hosts", allowed + wanted);
  return cfg_close(std::move(file)) == 0;
}

RequestHeaders current_request_headers() {
  return RequestHeaders{Header("HTTP_HOST"),           Header("HTTP_ORIGIN"),
                        Header("HTTP_REFERER"),        Header("HTTP_SEC_FETCH_SITE"),
                        Header("HTTP_X_REQUESTED_WITH"), Header("REMOTE_ADDR")};
}

ChangeVerdict judge_current_request() { return Judge(current_request_headers(), nullptr); }

std::string current_request_host() {
  std::optional<std::string_view> host = Header("HTTP_HOST");
  if (!host) return "";
  std::optional<Endpoint> endpoint = ParseAuthority(*host);
  return endpoint ? endpoint->host : "";
}
