#include "web/cgi.h"

#include <algorithm>
#include <cstring>
#include <optional>
#include <unordered_map>

FILE* cgiOut = stdout;

namespace cgi {
namespace {

FormFields g_fields;
// Each field name with the position of its first value, and the names in
// request order: built once, so that a request of many fields costs time
// linear in its size.
std::unordered_map<std::string_view, std::size_t> g_first;
std::vector<std::string> g_names;

int HexValue(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

std::string UrlDecode(std::string_view text) {
  std::string out;
  out.reserve(text.size());
  for (std::size_t i = 0; i < text.size(); ++i) {
    char c = text[i];
    if (c == '+') {
      out += ' ';
    } else if (c == '%' && i + 2 < text.size() && HexValue(text[i + 1]) >= 0 &&
               HexValue(text[i + 2]) >= 0) {
      out += static_cast<char>(HexValue(text[i + 1]) * 16 + HexValue(text[i + 2]));
      i += 2;
    } else {
      out += c;
    }
  }
  return out;
}

bool EqualsIgnoreCase(std::string_view a, std::string_view b) {
  if (a.size() != b.size()) return false;
  for (std::size_t i = 0; i < a.size(); ++i) {
    char x = a[i], y = b[i];
    if (x >= 'A' && x <= 'Z') x = static_cast<char>(x - 'A' + 'a');
    if (y >= 'A' && y <= 'Z') y = static_cast<char>(y - 'A' + 'a');
    if (x != y) return false;
  }
  return true;
}

std::string_view Trim(std::string_view s) {
  while (!s.empty() && (s.front() == ' ' || s.front() == '\t')) s.remove_prefix(1);
  while (!s.empty() && (s.back() == ' ' || s.back() == '\t')) s.remove_suffix(1);
  return s;
}

// Returns the value of parameter `key` of a header value such as
// `form-data; name="x"; filename="y"`, unquoted; nothing when it is absent.
std::optional<std::string> HeaderParameter(std::string_view header, std::string_view key) {
  std::size_t semicolon = header.find(';');
  std::string_view rest = semicolon == std::string_view::npos ? "" : header.substr(semicolon + 1);
  while (!rest.empty()) {
    std::size_t equals = rest.find('=');
    if (equals == std::string_view::npos) break;
    std::string_view name = Trim(rest.substr(0, equals));
    rest = Trim(rest.substr(equals + 1));
    std::string value;
    std::size_t end = 0;
    if (!rest.empty() && rest.front() == '"') {
      for (end = 1; end < rest.size() && rest[end] != '"'; ++end) {
        if (rest[end] == '\\' && end + 1 < rest.size()) ++end;
        value += rest[end];
      }
    } else {
      value = std::string(Trim(rest.substr(0, rest.find(';'))));
    }
    if (EqualsIgnoreCase(name, key)) return value;
    semicolon = rest.find(';', end);
    rest = semicolon == std::string_view::npos ? "" : rest.substr(semicolon + 1);
  }
  return std::nullopt;
}

}  // namespace

FormFields ParseUrlEncoded(std::string_view text) {
  FormFields fields;
  while (!text.empty()) {
    std::size_t amp = text.find('&');
    std::string_view pair = text.substr(0, amp);
    text = amp == std::string_view::npos ? std::string_view() : text.substr(amp + 1);
    if (pair.empty()) continue;
    std::size_t equals = pair.find('=');
    std::string_view name = pair.substr(0, equals);
    std::string_view value = equals == std::string_view::npos ? std::string_view() : pair.substr(equals + 1);
    fields.emplace_back(UrlDecode(name), UrlDecode(value));
  }
  return fields;
}

FormFields ParseMultipart(std::string_view body, std::string_view content_type) {
  std::string boundary = HeaderParameter(content_type, "boundary").value_or("");
  if (boundary.empty() || boundary.size() > 200) return {};
  const std::string delimiter = "--" + boundary;
  const std::string separator = "\r\n" + delimiter;

  FormFields fields;
  if (!body.starts_with(delimiter)) {
    // A preamble may come first; the first delimiter then follows a CR LF.
    std::size_t first = body.find(separator);
    if (first == std::string_view::npos) return {};
    body.remove_prefix(first + 2);
  }
  body.remove_prefix(delimiter.size());
  for (;;) {
    if (body.starts_with("--")) return fields;  // closing delimiter
    if (!body.starts_with("\r\n")) return {};
    body.remove_prefix(2);
    std::size_t headers_end = body.find("\r\n\r\n");
    if (headers_end == std::string_view::npos) return {};
    std::string_view headers = body.substr(0, headers_end + 2);
    body.remove_prefix(headers_end + 4);
    std::size_t content_end = body.find(separator);
    if (content_end == std::string_view::npos) return {};
    std::string_view content = body.substr(0, content_end);
    body.remove_prefix(content_end + separator.size());

    std::optional<std::string> name;
    bool is_file = false;
    while (!headers.empty()) {
      std::size_t eol = headers.find("\r\n");
      std::string_view line = headers.substr(0, eol);
      headers.remove_prefix(eol + 2);
      std::size_t colon = line.find(':');
      if (colon == std::string_view::npos) continue;
      if (!EqualsIgnoreCase(Trim(line.substr(0, colon)), "Content-Disposition")) continue;
      name = HeaderParameter(line, "name");
      is_file = HeaderParameter(line, "filename").has_value();
    }
    if (name && !is_file) fields.emplace_back(std::move(*name), std::string(content));
  }
}

FormFields ParseRequest(const char* method, const char* query, const char* content_type,
                        const char* content_length, FILE* body) {
  if (method == nullptr || std::strcmp(method, "POST") != 0) {
    return ParseUrlEncoded(query != nullptr ? query : "");
  }
  std::size_t length = 0;
  if (content_length != nullptr) {
    for (const char* p = content_length; *p != '\0'; ++p) {
      if (*p < '0' || *p > '9' || length > kMaxBody) return {};
      length = length * 10 + static_cast<std::size_t>(*p - '0');
    }
  }
  if (length > kMaxBody) return {};
  std::string data(length, '\0');
  if (length > 0 && std::fread(data.data(), 1, length, body) != length) return {};
  std::string_view type = content_type != nullptr ? content_type : "";
  std::string_view media = Trim(type.substr(0, type.find(';')));
  if (EqualsIgnoreCase(media, "application/x-www-form-urlencoded")) return ParseUrlEncoded(data);
  if (EqualsIgnoreCase(media, "multipart/form-data")) return ParseMultipart(data, type);
  return {};
}

void SetFormFields(FormFields fields) {
  g_first.clear();
  g_names.clear();
  g_fields = std::move(fields);
  for (std::size_t i = 0; i < g_fields.size(); ++i) {
    if (g_first.emplace(g_fields[i].first, i).second) g_names.push_back(g_fields[i].first);
  }
}

const std::string* FindField(std::string_view name) {
  auto found = g_first.find(name);
  return found == g_first.end() ? nullptr : &g_fields[found->second].second;
}

std::vector<std::string> FieldNames() { return g_names; }

}  // namespace cgi

std::string cgiFormStringNoNewlines(std::string_view name, std::size_t size) {
  std::string out;
  const std::string* value = cgi::FindField(name);
  if (value == nullptr || size == 0) return out;
  for (char c : *value) {
    if (out.size() + 1 >= size) break;
    if (c != '\r' && c != '\n') out += c;
  }
  return out;
}

std::string cgiFormString(std::string_view name, std::size_t size) {
  std::string out;
  const std::string* value = cgi::FindField(name);
  if (value == nullptr || size == 0) return out;
  for (std::size_t i = 0; i < value->size() && out.size() + 1 < size; ++i) {
    char c = (*value)[i];
    if (c == '\r') {
      if (i + 1 < value->size() && (*value)[i + 1] == '\n') ++i;
      c = '\n';
    }
    out += c;
  }
  return out;
}

std::vector<std::string> cgiFormEntries() { return cgi::FieldNames(); }

void cgiHeaderContentType(std::string_view type) {
  std::fputs("Content-type: ", cgiOut);
  std::fwrite(type.data(), 1, type.size(), cgiOut);
  std::fputs("\r\n\r\n", cgiOut);
}

void cgiHtmlEscape(std::string_view text) {
  for (char c : text) {
    switch (c) {
      case '&': std::fputs("&amp;", cgiOut); break;
      case '<': std::fputs("&lt;", cgiOut); break;
      case '>': std::fputs("&gt;", cgiOut); break;
      default: std::fputc(c, cgiOut); break;
    }
  }
}
