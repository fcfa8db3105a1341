#include "lib/server_stats.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>

#include "lib/unique_fd.h"

namespace {

constexpr std::size_t kMaxAnswer = 1 << 20;

std::string Base64(std::string_view text) {
  static constexpr char kDigits[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
  std::string out;
  for (std::size_t i = 0; i < text.size(); i += 3) {
    unsigned n = static_cast<unsigned char>(text[i]) << 16;
    if (i + 1 < text.size()) n |= static_cast<unsigned char>(text[i + 1]) << 8;
    if (i + 2 < text.size()) n |= static_cast<unsigned char>(text[i + 2]);
    out += kDigits[(n >> 18) & 63];
    out += kDigits[(n >> 12) & 63];
    out += i + 1 < text.size() ? kDigits[(n >> 6) & 63] : '=';
    out += i + 2 < text.size() ? kDigits[n & 63] : '=';
  }
  return out;
}

// The five predefined entities and decimal or hexadecimal references.
std::string XmlUnescape(std::string_view text) {
  std::string out;
  for (std::size_t i = 0; i < text.size(); ++i) {
    std::size_t semi = text[i] == '&' ? text.find(';', i) : std::string_view::npos;
    if (semi == std::string_view::npos || semi - i > 10) {
      out += text[i];
      continue;
    }
    std::string_view entity = text.substr(i + 1, semi - i - 1);
    long code = -1;
    if (entity == "amp") code = '&';
    else if (entity == "lt") code = '<';
    else if (entity == "gt") code = '>';
    else if (entity == "quot") code = '"';
    else if (entity == "apos") code = '\'';
    else if (entity.size() > 1 && entity[0] == '#') {
      std::string digits(entity.substr(entity[1] == 'x' ? 2 : 1));
      code = std::strtol(digits.c_str(), nullptr, entity[1] == 'x' ? 16 : 10);
    }
    if (code <= 0 || code > 0x10FFFF) {
      out += text[i];
      continue;
    }
    if (code < 0x80) {
      out += static_cast<char>(code);
    } else if (code < 0x800) {
      out += static_cast<char>(0xC0 | (code >> 6));
      out += static_cast<char>(0x80 | (code & 63));
    } else if (code < 0x10000) {
      out += static_cast<char>(0xE0 | (code >> 12));
      out += static_cast<char>(0x80 | ((code >> 6) & 63));
      out += static_cast<char>(0x80 | (code & 63));
    } else {
      out += static_cast<char>(0xF0 | (code >> 18));
      out += static_cast<char>(0x80 | ((code >> 12) & 63));
      out += static_cast<char>(0x80 | ((code >> 6) & 63));
      out += static_cast<char>(0x80 | (code & 63));
    }
    i = semi;
  }
  return out;
}

// The text of the first <tag>...</tag> in `xml`.
std::optional<std::string> Element(std::string_view xml, std::string_view tag) {
  std::string open = "<", close = "</";
  open.append(tag).append(">");
  close.append(tag).append(">");
  std::size_t start = xml.find(open);
  if (start == std::string_view::npos) return std::nullopt;
  start += open.size();
  std::size_t end = xml.find(close, start);
  if (end == std::string_view::npos) return std::nullopt;
  return XmlUnescape(xml.substr(start, end - start));
}

// The code point of the UTF-8 sequence at `text[at]`, advancing `at`, or -1
// where the text is not valid UTF-8 there (overlong forms and surrogates
// included).
long NextCodePoint(std::string_view text, std::size_t& at) {
  auto byte = [&](std::size_t i) { return static_cast<unsigned char>(text[i]); };
  unsigned char lead = byte(at);
  if (lead < 0x80) {
    ++at;
    return lead;
  }
  int extra = lead >= 0xF0 && lead <= 0xF4 ? 3 : lead >= 0xE0 && lead < 0xF0 ? 2 : lead >= 0xC2 && lead < 0xE0 ? 1 : -1;
  if (extra < 0 || at + extra >= text.size()) return -1;
  long code = lead & (0x3F >> extra);
  for (int i = 1; i <= extra; ++i) {
    if ((byte(at + i) & 0xC0) != 0x80) return -1;
    code = (code << 6) | (byte(at + i) & 0x3F);
  }
  static constexpr long kSmallest[] = {0, 0x80, 0x800, 0x10000};
  if (code < kSmallest[extra] || code > 0x10FFFF || (code >= 0xD800 && code <= 0xDFFF)) return -1;
  at += extra + 1;
  return code;
}

}  // namespace

std::string repair_title(std::string_view title) {
  std::string bytes;
  bool high = false;
  for (std::size_t at = 0; at < title.size();) {
    long code = NextCodePoint(title, at);
    if (code < 0 || code > 0xFF) return std::string(title);
    high = high || code >= 0x80;
    bytes += static_cast<char>(code);
  }
  if (!high) return std::string(title);
  for (std::size_t at = 0; at < bytes.size();) {
    if (NextCodePoint(bytes, at) < 0) return std::string(title);
  }
  return bytes;
}

std::map<std::string, MountStats> parse_mount_stats(std::string_view xml) {
  std::map<std::string, MountStats> mounts;
  constexpr std::string_view kOpen = "<source mount=\"";
  for (std::size_t at = xml.find(kOpen); at != std::string_view::npos; at = xml.find(kOpen, at)) {
    at += kOpen.size();
    std::size_t quote = xml.find('"', at);
    std::size_t end = xml.find("</source>", at);
    if (quote == std::string_view::npos || end == std::string_view::npos) break;
    std::string mount = XmlUnescape(xml.substr(at, quote - at));
    if (mount.starts_with('/')) mount.erase(0, 1);
    std::string_view body = xml.substr(quote, end - quote);
    MountStats stats;
    if (std::optional<std::string> listeners = Element(body, "listeners")) {
      char* rest;
      long n = std::strtol(listeners->c_str(), &rest, 10);
      if (!listeners->empty() && *rest == '\0' && n >= 0) stats.listeners = n;
    }
    stats.title = Element(body, "title");
    if (stats.title) stats.title = repair_title(*stats.title);
    mounts[mount] = std::move(stats);
    at = end;
  }
  return mounts;
}

std::map<std::string, MountStats> fetch_mount_stats(int port, std::string_view password,
                                                    std::chrono::milliseconds deadline) {
  if (port < 1 || port > 65535) return {};
  const auto give_up = std::chrono::steady_clock::now() + deadline;
  auto left_ms = [&] {
    auto left = std::chrono::duration_cast<std::chrono::milliseconds>(give_up - std::chrono::steady_clock::now());
    return static_cast<int>(std::max<long long>(0, left.count()));
  };
  UniqueFd fd(::socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0));
  if (!fd.valid()) return {};
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_port = htons(static_cast<std::uint16_t>(port));
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  if (::connect(fd.get(), reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 && errno != EINPROGRESS) {
    return {};
  }
  std::string credentials = "admin:";
  credentials.append(password);
  std::string request = "GET /admin/stats HTTP/1.0\r\nHost: 127.0.0.1\r\nAuthorization: Basic ";
  request.append(Base64(credentials)).append("\r\n\r\n");
  std::size_t sent = 0;
  std::string answer;
  for (;;) {
    pollfd wait = {fd.get(), static_cast<short>(sent < request.size() ? POLLOUT : POLLIN), 0};
    int ready = ::poll(&wait, 1, left_ms());
    if (ready < 0 && errno == EINTR) continue;
    if (ready <= 0) return {};  // out of time
    if (sent < request.size()) {
      ssize_t n = ::send(fd.get(), request.data() + sent, request.size() - sent, MSG_NOSIGNAL);
      if (n <= 0) return {};
      sent += static_cast<std::size_t>(n);
      continue;
    }
    char buffer[8192];
    ssize_t n = ::recv(fd.get(), buffer, sizeof buffer, 0);
    if (n < 0 && (errno == EINTR || errno == EAGAIN)) continue;
    if (n < 0) return {};
    if (n == 0) break;
    answer.append(buffer, static_cast<std::size_t>(n));
    if (answer.size() > kMaxAnswer) return {};
  }
  if (!answer.starts_with("HTTP/1.0 200") && !answer.starts_with("HTTP/1.1 200")) return {};
  std::size_t body = answer.find("\r\n\r\n");
  return body == std::string::npos ? std::map<std::string, MountStats>{} : parse_mount_stats(std::string_view(answer).substr(body + 4));
}
