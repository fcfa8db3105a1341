#include "web/request_origin.h"

#include <gtest/gtest.h>

#include "tests/cgi_fixture.h"

namespace {

struct Case {
  const char* what;
  RequestHeaders headers;
  bool allowed;
};

TEST(RequestOriginTest, ForeignSitesAndNamesAreRefused) {
  const std::vector<std::string> names = {"nas", "nas.local", "Music.Home"};
  const Case cases[] = {
      {"no headers at all (curl, scripts)", {}, true},
      {"the page itself, by address", {"192.168.1.5", "http://192.168.1.5", "http://192.168.1.5/", "same-origin"}, true},
      {"the page itself, by name and port", {"NAS:8080", "http://nas:8080", {}, {}}, true},
      {"default port spelt out", {"nas", "http://nas:80", "http://nas:80/index.html", {}}, true},
      {"https default port", {"nas", "https://nas", {}, {}}, true},
      {"typed into the address bar", {"nas", {}, {}, "none"}, true},
      {"IPv6 literal", {"[fe80::1]:8080", "http://[fe80::1]:8080", {}, {}}, true},
      {"localhost", {"localhost:8080", {}, {}, {}}, true},
      {"a name from allowed_hosts, case and final dot aside", {"music.home.", {}, {}, {}}, true},
      {"mDNS name", {"NAS.local", {}, "http://nas.local/x?y", {}}, true},
      {"another site by Sec-Fetch-Site", {"nas", {}, {}, "cross-site"}, false},
      {"a sibling site", {"nas", {}, {}, "same-site"}, false},
      {"foreign Origin", {"nas", "http://evil.example", {}, {}}, false},
      {"Origin on another port", {"nas:8080", "http://nas:8081", {}, {}}, false},
      {"opaque Origin", {"nas", "null", {}, {}}, false},
      {"foreign Referer", {"192.168.1.5", {}, "http://evil.example/page", {}}, false},
      {"Referer that hides its host in user info", {"nas", {}, "http://nas@evil.example/", {}}, false},
      {"unreadable Referer", {"nas", {}, "nas/page", {}}, false},
      {"Origin without Host", {{}, "http://nas", {}, {}}, false},
      {"rebinding: a name the device does not go by", {"evil.example", "http://evil.example", {}, {}}, false},
      {"rebinding without any other header", {"evil.example:80", {}, {}, {}}, false},
      {"broken Host", {"nas:80:80", {}, {}, {}}, false},
      {"empty Host", {"", {}, {}, {}}, false},
  };
  for (const Case& c : cases) EXPECT_EQ(may_change_configuration(c.headers, names), c.allowed) << c.what;
}

class RefusalTest : public CgiTest {};

TEST_F(RefusalTest, ChangingCommandsFromAnotherSiteChangeAndRunNothing) {
  WriteFile(At("simple-icecast-conf"), "port=8000\n");
  WriteFile(At("playlist-P"), "");
  WriteFile(At("simple-ices-conf-P"), "name=P\nenabled=0\n");
  WriteFile(At("ices.conf-P"), "");
  const std::vector<std::string> before = ListDir(conf_.path());
  const Fields commands[] = {
      {{"cmd", "GUI_ice_set"}, {"f_port", "8100"}},
      {{"cmd", "GUI_ice_playlist_new"}, {"f_name", "Q"}, {"f_total", "0"}},
      {{"cmd", "GUI_ice_playlist_renew"}, {"f_name", "P"}, {"f_genre", "G"}},
      {{"cmd", "GUI_ice_playlist_del"}, {"f_name", "P"}},
      {{"cmd", "GUI_ice_playlist_enable"}, {"f_name", "P"}},
      {{"cmd", "GUI_ice_playlist_disable"}, {"f_name", "P"}},
      {{"cmd", "GUI_ice_playlist_rescan"}, {"f_name", "P"}},
  };
  const std::vector<std::string> foreign[] = {
      {"HTTP_HOST=nas", "HTTP_ORIGIN=http://evil.example"},
      {"HTTP_HOST=127.0.0.1", "HTTP_REFERER=http://evil.example/"},
      {"HTTP_HOST=127.0.0.1", "HTTP_SEC_FETCH_SITE=cross-site"},
      {"HTTP_HOST=rebound.example"},
  };
  for (const Fields& fields : commands) {
    for (const std::vector<std::string>& headers : foreign) {
      CgiRequest request = Request(fields);
      request.extra_env.insert(request.extra_env.end(), headers.begin(), headers.end());
      EXPECT_EQ(RunCgi(request).out, Config("<res>0</res>")) << fields[0].second << " " << headers.back();
    }
  }
  EXPECT_EQ(ListDir(conf_.path()), before);
  EXPECT_EQ(ReadFile(At("simple-ices-conf-P")), "name=P\nenabled=0\n");
  EXPECT_TRUE(ControllerRuns().empty());
  // Queries answer whoever asks; the page's own requests change as before.
  CgiRequest query = Request({{"cmd", "GUI_ice_get"}});
  query.extra_env.insert(query.extra_env.end(), {"HTTP_HOST=nas", "HTTP_ORIGIN=http://evil.example"});
  EXPECT_EQ(RunCgi(query).out, Config("<res>1</res><port>8000</port>"));
  CgiRequest own = Request({{"cmd", "GUI_ice_playlist_enable"}, {"f_name", "P"}});
  own.extra_env.insert(own.extra_env.end(), {"HTTP_HOST=127.0.0.1:8080", "HTTP_ORIGIN=http://127.0.0.1:8080",
                                             "HTTP_SEC_FETCH_SITE=same-origin"});
  EXPECT_EQ(RunCgi(own).out, Config("<res>1</res>"));
}

}  // namespace
