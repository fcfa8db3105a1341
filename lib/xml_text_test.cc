#include "lib/xml_text.h"

#include <gtest/gtest.h>

TEST(XmlEscapeTest, ElementTextKeepsPlainValuesAndEscapesMarkup) {
  struct Case {
    std::string in, out;
  } cases[] = {
      {"Jazz", "Jazz"},
      {"", ""},
      {"Rock & Roll", "Rock &amp; Roll"},
      {"a<b>c", "a&lt;b&gt;c"},
      {"it's \"live\"", "it's \"live\""},            // quotes stay in element text
      {"tab\tlf\ncr\r", "tab\tlf\ncr&#13;"},      // the three allowed controls; a parser reads back the CR
      {std::string("a\0b\x01\x1f" "c", 6), "abc"},  // others are left out
      {"caf\xC3\xA9 \xE2\x82\xAC \xF0\x9F\x8E\xB5", "caf\xC3\xA9 \xE2\x82\xAC \xF0\x9F\x8E\xB5"},
      {"bad\xFFz", "bad\xEF\xBF\xBDz"},                // stray byte
      {"\xC3", "\xEF\xBF\xBD"},                        // truncated sequence
      {"\xC0\xAF", "\xEF\xBF\xBD\xEF\xBF\xBD"},        // overlong
      {"\xED\xA0\x80", "\xEF\xBF\xBD\xEF\xBF\xBD\xEF\xBF\xBD"},  // surrogate
      {"x\xEF\xBF\xBEy", "xy"},                        // U+FFFE is no XML character
      {"\x7F", "\x7F"},
  };
  for (const Case& c : cases) EXPECT_EQ(xml_escape(c.in), c.out) << c.in;
}

TEST(XmlEscapeTest, InplaceEscapesQuotesWithoutLengthLimit) {
  std::string text = "a<b & 'c'";
  xml_escape_inplace(text);
  EXPECT_EQ(text, "a&lt;b &amp; &apos;c&apos;");

  std::string longer(300, '&');
  xml_escape_inplace(longer);
  EXPECT_EQ(longer.size(), 1500u);
  std::string quote = "\"";
  xml_escape_inplace(quote);
  EXPECT_EQ(quote, "&quot;");
}

TEST(XmlEscapeTest, CleanKeepsMarkupButDropsWhatXmlCannotCarry) {
  EXPECT_EQ(xml_clean("8000/R&B <x>.m3u"), "8000/R&B <x>.m3u");
  EXPECT_EQ(xml_clean("80\x01" "00\xFF"), "8000\xEF\xBF\xBD");
}

TEST(Utf8Test, ValidatesWholeTexts) {
  EXPECT_TRUE(is_valid_utf8(""));
  EXPECT_TRUE(is_valid_utf8("Playlist-01"));
  EXPECT_TRUE(is_valid_utf8("\xF4\x8F\xBF\xBF"));   // U+10FFFF
  EXPECT_FALSE(is_valid_utf8("\xF4\x90\x80\x80"));  // above U+10FFFF
  EXPECT_FALSE(is_valid_utf8("\xE0\x80\xAF"));      // overlong
  EXPECT_FALSE(is_valid_utf8("abc\x80"));
}
