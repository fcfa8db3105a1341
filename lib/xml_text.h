#ifndef LIB_XML_TEXT_H_
#define LIB_XML_TEXT_H_

#include <cstddef>
#include <string>
#include <string_view>

// Returns the length (1 to 4) of the well-formed UTF-8 sequence that starts at
// `text[pos]`, or 0 when the bytes there are not one (a stray continuation
// byte, a truncated or overlong sequence, a surrogate, or a code point above
// U+10FFFF).
std::size_t utf8_sequence_length(std::string_view text, std::size_t pos);

// True when the whole text is well-formed UTF-8.
bool is_valid_utf8(std::string_view text);

// Returns `text` as XML character data that a parser reads back as the stored
// value: "&", "<" and ">" become "&amp;", "&lt;" and "&gt;" (and, when
// `escape_quotes` is set, '"' and "'" become "&quot;" and "&apos;"), a carriage
// return becomes "&#13;" (a parser would read a literal one as a line feed);
// characters
// XML 1.0 cannot carry (control bytes other than tab, line feed and carriage
// return; U+FFFE and U+FFFF) are left out; bytes that are not valid UTF-8
// become U+FFFD. A text without such characters comes back unchanged.
std::string xml_escape(std::string_view text, bool escape_quotes = false);

// Returns `text` with only the characters XML 1.0 cannot carry left out and
// invalid UTF-8 replaced, as xml_escape does, but "&", "<" and ">" kept: for
// text that is escaped as markup afterwards.
std::string xml_clean(std::string_view text);

// Escapes `text` in place as xml_escape does, quotes included. There is no
// length limit.
void xml_escape_inplace(std::string& text);

#endif  // LIB_XML_TEXT_H_
