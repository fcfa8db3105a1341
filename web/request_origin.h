#ifndef WEB_REQUEST_ORIGIN_H_
#define WEB_REQUEST_ORIGIN_H_

// Whether a request may change the configuration. Any web page the owner
// visits can make the browser send requests to the device, and a page whose
// name an attacker's DNS later points at the device (DNS rebinding) even
// reads as the device's own. Browsers send plain http GETs without Origin or
// Referer in many cases (a referrer policy, a sandboxed or data: frame, a
// redirect, a rel=noreferrer link), and without Sec-Fetch-Site to an http
// address at all. So a changing command is refused when the request shows
// that another site sent it, that it was sent to a name the device does not
// go by, or, coming from another machine, when it carries nothing that only
// the add-on's own page sends.

#include <optional>
#include <string>
#include <string_view>
#include <vector>

// The request headers and the peer address that tell where a request comes
// from; nothing for one the request did not carry.
struct RequestHeaders {
  std::optional<std::string_view> host;              // Host
  std::optional<std::string_view> origin;            // Origin
  std::optional<std::string_view> referer;           // Referer
  std::optional<std::string_view> sec_fetch_site;    // Sec-Fetch-Site
  std::optional<std::string_view> x_requested_with;  // X-Requested-With
  std::optional<std::string_view> remote_addr;       // the peer (REMOTE_ADDR)
};

// What a changing command of a request may do, and why not.
enum class ChangeVerdict {
  kAllowed,
  // Sec-Fetch-Site is "cross-site" or "same-site", or an Origin or a Referer
  // names another host or port than Host (the scheme's default when none is
  // given) or cannot be read as an http(s) URL ("null" included), or Host
  // cannot be read.
  kOtherSite,
  // Host names the device by a name (not an IP address, not "localhost")
  // that is not one of the device's names, compared without regard to case
  // and to one final ".".
  kUnknownName,
  // The peer is another machine (REMOTE_ADDR present and not 127.0.0.0/8,
  // ::1 or ::ffff:127.0.0.0/104) and the request carries no proof that the
  // add-on's page sent it: no Origin or Referer naming Host, no
  // "Sec-Fetch-Site: same-origin", no X-Requested-With (any value: another
  // site's page cannot send that header without a preflight, which the
  // device never grants).
  kNoProof,
};

// The verdict on a changing command of a request with `headers`, the device
// going by `device_names` besides its addresses.
ChangeVerdict judge_change(const RequestHeaders& headers, const std::vector<std::string>& device_names);

// The names the device goes by besides its addresses: its host name, that
// name followed by ".local", and each name of the server setting
// "allowed_hosts" (":"-separated).
std::vector<std::string> device_names();

// The device's host name; empty when it has none.
std::string device_host_name();

// The names stored in "allowed_hosts", in their order; empty when there are
// none or the server settings cannot be read.
std::vector<std::string> allowed_host_names();

// True when `name` may be stored in "allowed_hosts": 1 to 253 bytes of
// letters, digits, "-" and "." in dot-separated labels of 1 to 63 bytes that
// neither begin nor end with "-", one final "." allowed, the last label not
// digits only, and not an IP address nor "localhost" (which are always
// accepted).
bool is_allowable_host_name(std::string_view name);

// At most this many names are kept in "allowed_hosts".
inline constexpr std::size_t kMaxAllowedHosts = 16;

// Adds `name` (is_allowable_host_name; stored in lower case without a final
// ".") to "allowed_hosts" unless it is there already. Only the holder of the
// command lock may call it: a port change replaces the server settings file
// whole. Returns false when the server settings file cannot be opened or
// rewritten, or kMaxAllowedHosts names are stored already.
bool add_allowed_host(std::string_view name);

// The running CGI request's headers (HTTP_HOST, HTTP_ORIGIN, HTTP_REFERER,
// HTTP_SEC_FETCH_SITE, HTTP_X_REQUESTED_WITH, REMOTE_ADDR). The views point
// into the environment.
RequestHeaders current_request_headers();

// judge_change for the running CGI request; the device's names are looked
// up only when Host holds a name.
ChangeVerdict judge_current_request();

// The Host of the running request as the device compares it (lower case,
// without port, brackets or one final "."); empty when there is none or it
// cannot be read.
std::string current_request_host();

#endif  // WEB_REQUEST_ORIGIN_H_
