#include "web/cgi.h"

#include <cstdio>

#include <gtest/gtest.h>

namespace {

using cgi::FormFields;

FormFields Fields(std::initializer_list<std::pair<const char*, const char*>> list) {
  FormFields out;
  for (auto [n, v] : list) out.emplace_back(n, v);
  return out;
}

TEST(CgiDecodeTest, UrlEncodedFields) {
  struct Case {
    const char* query;
    FormFields fields;
  } cases[] = {
      {"cmd=GUI_ice_get", Fields({{"cmd", "GUI_ice_get"}})},
      {"a=1&b=x+y%21&&c", Fields({{"a", "1"}, {"b", "x y!"}, {"c", ""}})},
      {"n=%4a%4A", Fields({{"n", "JJ"}})},
      {"bad=%zz%4&end=%", Fields({{"bad", "%zz%4"}, {"end", "%"}})},
      {"x=%00y", {{"x", std::string("\0y", 2)}}},
      {"a=1&a=2", Fields({{"a", "1"}, {"a", "2"}})},
      {"", {}},
  };
  for (const Case& c : cases) EXPECT_EQ(cgi::ParseUrlEncoded(c.query), c.fields) << c.query;
}

TEST(CgiDecodeTest, MultipartFieldsSkipFilesAndRefuseBrokenBodies) {
  const std::string type = "multipart/form-data; boundary=XyZ";
  const std::string body =
      "preamble\r\n--XyZ\r\nContent-Disposition: form-data; name=\"cmd\"\r\n\r\nGUI_ice_get\r\n"
      "--XyZ\r\ncontent-disposition: form-data; name=\"up\"; filename=\"a.mp3\"\r\n"
      "Content-Type: audio/mpeg\r\n\r\nDATA\r\n--XyZ\r\n"
      "Content-Disposition: form-data; name=\"f_desc\"\r\n\r\nline1\r\nline2 --XyZ\r\n--XyZ--\r\n";
  EXPECT_EQ(cgi::ParseMultipart(body, type), Fields({{"cmd", "GUI_ice_get"}, {"f_desc", "line1\r\nline2 --XyZ"}}));
  EXPECT_EQ(cgi::ParseMultipart(body, "multipart/form-data; boundary=\"XyZ\""),
            cgi::ParseMultipart(body, type));

  EXPECT_TRUE(cgi::ParseMultipart(body, "multipart/form-data").empty());
  EXPECT_TRUE(cgi::ParseMultipart(body, "multipart/form-data; boundary=").empty());
  EXPECT_TRUE(cgi::ParseMultipart(body, "multipart/form-data; boundary=other").empty());
  EXPECT_TRUE(cgi::ParseMultipart(body.substr(0, body.size() - 12), type).empty());
  EXPECT_TRUE(cgi::ParseMultipart("--XyZ\r\nno headers end", type).empty());
}

FormFields Post(const std::string& type, const std::string& body, const char* length) {
  FILE* in = ::fmemopen(const_cast<char*>(body.data()), body.size(), "r");
  if (body.empty()) in = std::tmpfile();
  FormFields fields = cgi::ParseRequest("POST", "ignored=1", type.c_str(), length, in);
  std::fclose(in);
  return fields;
}

TEST(CgiDecodeTest, PostBodiesAreBoundedAndMustBeComplete) {
  const std::string form = "application/x-www-form-urlencoded";
  EXPECT_EQ(Post(form, "cmd=GUI_ice_get", "15"), Fields({{"cmd", "GUI_ice_get"}}));
  EXPECT_EQ(Post(form + "; charset=UTF-8", "a=1", "3"), Fields({{"a", "1"}}));
  EXPECT_TRUE(Post(form, "cmd=GUI_ice_get", "99").empty());   // shorter than announced
  EXPECT_TRUE(Post(form, "cmd=GUI_ice_get", "1048577").empty());
  EXPECT_TRUE(Post(form, "cmd=GUI_ice_get", "99999999999999999999999").empty());
  EXPECT_TRUE(Post(form, "cmd=GUI_ice_get", "-1").empty());
  EXPECT_TRUE(Post("text/plain", "cmd=GUI_ice_get", "15").empty());
  EXPECT_EQ(cgi::ParseRequest("GET", "a=1", nullptr, nullptr, stdin), Fields({{"a", "1"}}));
  EXPECT_TRUE(cgi::ParseRequest(nullptr, nullptr, nullptr, nullptr, stdin).empty());
}

TEST(CgiFormTest, FirstFieldWinsAndValuesAreCut) {
  cgi::SetFormFields(Fields({{"a", "first"}, {"a", "second"}, {"nl", "GUI\r\n_get\r\n"}, {"lines", "x\r\ny\rz\n"}}));
  EXPECT_EQ(cgiFormStringNoNewlines("a", 256), "first");
  EXPECT_EQ(cgiFormStringNoNewlines("a", 4), "fir");
  EXPECT_EQ(cgiFormStringNoNewlines("missing", 256), "");
  EXPECT_EQ(cgiFormStringNoNewlines("nl", 128), "GUI_get");
  EXPECT_EQ(cgiFormString("lines", 256), "x\ny\nz\n");
  EXPECT_EQ(cgiFormString("lines", 4), "x\ny");
}

}  // namespace
