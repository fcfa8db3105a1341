#include "lib/xml_text.h"

std::size_t utf8_sequence_length(std::string_view text, std::size_t pos) {
  auto byte = [&](std::size_t i) -> unsigned {
    return static_cast<unsigned char>(text[i]);
  };
  unsigned lead = byte(pos);
  if (lead < 0x80) return 1;
  std::size_t length;
  unsigned code;
  if (lead >= 0xC2 && lead <= 0xDF) {
    length = 2;
    code = lead & 0x1F;
  } else if (lead >= 0xE0 && lead <= 0xEF) {
    length = 3;
    code = lead & 0x0F;
  } else if (lead >= 0xF0 && lead <= 0xF4) {
    length = 4;
    code = lead & 0x07;
  } else {
    return 0;
  }
  if (text.size() - pos < length) return 0;
  for (std::size_t i = 1; i < length; ++i) {
    unsigned next = byte(pos + i);
    if ((next & 0xC0) != 0x80) return 0;
    code = (code << 6) | (next & 0x3F);
  }
  if (length == 3 && (code < 0x800 || (code >= 0xD800 && code <= 0xDFFF))) return 0;
  if (length == 4 && (code < 0x10000 || code > 0x10FFFF)) return 0;
  return length;
}

bool is_valid_utf8(std::string_view text) {
  for (std::size_t pos = 0; pos < text.size();) {
    std::size_t length = utf8_sequence_length(text, pos);
    if (length == 0) return false;
    pos += length;
  }
  return true;
}

namespace {

enum class Markup { kKeep, kEscape, kEscapeWithQuotes };

std::string Escape(std::string_view text, Markup markup) {
  const bool escape = markup != Markup::kKeep, escape_quotes = markup == Markup::kEscapeWithQuotes;
  std::string out;
  out.reserve(text.size());
  for (std::size_t pos = 0; pos < text.size();) {
    unsigned char c = static_cast<unsigned char>(text[pos]);
    std::size_t length = utf8_sequence_length(text, pos);
    if (length == 0) {
      out += "\xEF\xBF\xBD";  // U+FFFD in place of the broken byte
      ++pos;
      continue;
    }
    if (length == 1) {
      switch (c) {
        case '&': out += escape ? "&amp;" : "&"; break;
        case '<': out += escape ? "&lt;" : "<"; break;
        case '>': out += escape ? "&gt;" : ">"; break;
        case '"': out += escape_quotes ? "&quot;" : "\""; break;
        case '\'': out += escape_quotes ? "&apos;" : "'"; break;
        // A parser turns a literal carriage return into a line feed; a
        // character reference reads back as the stored byte.
        case '\r': out += escape ? "&#13;" : "\r"; break;
        default:
          if (c >= 0x20 || c == '\t' || c == '\n' || c == '\r') out += static_cast<char>(c);
          break;
      }
    } else if (!(length == 3 && c == 0xEF && text[pos + 1] == '\xBF' &&
                 (text[pos + 2] == '\xBE' || text[pos + 2] == '\xBF'))) {
      out.append(text.substr(pos, length));  // U+FFFE and U+FFFF are dropped
    }
    pos += length;
  }
  return out;
}

}  // namespace

std::string xml_escape(std::string_view text, bool escape_quotes) {
  return Escape(text, escape_quotes ? Markup::kEscapeWithQuotes : Markup::kEscape);
}

std::string xml_clean(std::string_view text) { return Escape(text, Markup::kKeep); }

void xml_escape_inplace(std::string& text) { text = xml_escape(text, true); }
