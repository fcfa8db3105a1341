#ifndef WEB_REQUEST_ORIGIN_H_
#define WEB_REQUEST_ORIGIN_H_

// Whether a request may change the configuration. Any web page the owner
// visits can make the browser send requests to the device, and a page whose
// name an attacker's DNS later points at the device (DNS rebinding) even
// reads as the device's own. So a changing command is refused when the
// request's headers show that another site sent it, or that it was sent to
// a name the device does not go by. Requests that carry none of these
// headers (curl, scripts, old browsers) go ahead as before.

#include <optional>
#include <string>
#include <string_view>
#include <vector>

// The request headers that tell where a request comes from; nothing for a
// header the request did not carry.
struct RequestHeaders {
  std::optional<std::string_view> host;            // Host
  std::optional<std::string_view> origin;          // Origin
  std::optional<std::string_view> referer;         // Referer
  std::optional<std::string_view> sec_fetch_site;  // Sec-Fetch-Site
};

// True when a changing command of a request with `headers` may go ahead. It
// may not when:
// - Sec-Fetch-Site is "cross-site" or "same-site";
// - an Origin or a Referer is present whose host and port (the scheme's
//   default when none is given) differ from those of Host, or that cannot be
//   read as a URL ("null" included);
// - Host names the device by a name (not an IP address, not "localhost")
//   that is not one of `device_names`, compared without regard to case and
//   to one final ".".
bool may_change_configuration(const RequestHeaders& headers, const std::vector<std::string>& device_names);

// The names the device goes by besides its addresses: its host name, that
// name followed by ".local", and each name of the server setting
// "allowed_hosts" (":"-separated).
std::vector<std::string> device_names();

// may_change_configuration for the headers of the running CGI request
// (HTTP_HOST, HTTP_ORIGIN, HTTP_REFERER, HTTP_SEC_FETCH_SITE); the device's
// names are looked up only when Host holds a name.
bool request_may_change_configuration();

#endif  // WEB_REQUEST_ORIGIN_H_
