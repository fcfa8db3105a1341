#include "web/request_origin.h"

#include <gtest/gtest.h>

#include <algorithm>

#include "tests/cgi_fixture.h"

namespace {

std::size_t allowed_count(const std::string& settings) {
  std::size_t line = settings.find("allowed_hosts=");
  if (line == std::string::npos) return 0;
  std::string value = settings.substr(line, settings.find('\n', line) - line);
  return static_cast<std::size_t>(std::count(value.begin(), value.end(), ':')) + 1;
}

struct Case {
  const char* what;
  RequestHeaders headers;
  ChangeVerdict verdict;
};

constexpr ChangeVerdict kAllowed = ChangeVerdict::kAllowed;
constexpr ChangeVerdict kOtherSite = ChangeVerdict::kOtherSite;
constexpr ChangeVerdict kUnknownName = ChangeVerdict::kUnknownName;
constexpr ChangeVerdict kNoProof = ChangeVerdict::kNoProof;

TEST(RequestOriginTest, ForeignSitesNamesAndUnprovenPeersAreRefused) {
  const std::vector<std::string> names = {"nas", "nas.local", "Music.Home"};
  const std::nullopt_t none = std::nullopt;
  const Case cases[] = {
      // Host, Origin, Referer, Sec-Fetch-Site, X-Requested-With, peer
      {"no headers at all (curl on the device)", {}, kAllowed},
      {"the page itself, by address", {"192.168.1.5", "http://192.168.1.5", "http://192.168.1.5/", "same-origin", none, "192.168.1.9"}, kAllowed},
      {"the page itself, by name and port", {"NAS:8080", "http://nas:8080", none, none, none, "192.168.1.9"}, kAllowed},
      {"default port spelt out", {"nas", "http://nas:80", "http://nas:80/index.html", none, none, none}, kAllowed},
      {"https default port", {"nas", "https://nas", none, none, none, none}, kAllowed},
      {"typed into the address bar, on the device", {"nas", none, none, "none", none, "127.0.0.1"}, kAllowed},
      {"IPv6 literal", {"[fe80::1]:8080", "http://[fe80::1]:8080", none, none, none, "fe80::2"}, kAllowed},
      {"localhost", {"localhost:8080", none, none, none, none, "::1"}, kAllowed},
      {"a name from allowed_hosts, case and final dot aside", {"music.home.", none, none, none, none, none}, kAllowed},
      {"mDNS name", {"NAS.local", none, "http://nas.local/x?y", none, none, "10.0.0.3"}, kAllowed},
      {"another site by Sec-Fetch-Site", {"nas", none, none, "cross-site", "x", none}, kOtherSite},
      {"a sibling site", {"nas", none, none, "same-site", none, none}, kOtherSite},
      {"foreign Origin", {"nas", "http://evil.example", none, none, "x", none}, kOtherSite},
      {"Origin on another port", {"nas:8080", "http://nas:8081", none, none, none, none}, kOtherSite},
      {"opaque Origin (sandboxed frame)", {"nas", "null", none, none, none, none}, kOtherSite},
      {"foreign Referer", {"192.168.1.5", none, "http://evil.example/page", none, none, none}, kOtherSite},
      {"Referer that hides its host in user info", {"nas", none, "http://nas@evil.example/", none, none, none}, kOtherSite},
      {"unreadable Referer", {"nas", none, "nas/page", none, none, none}, kOtherSite},
      {"Origin without Host", {none, "http://nas", none, none, none, none}, kOtherSite},
      {"broken Host", {"nas:80:80", none, none, none, none, none}, kOtherSite},
      {"empty Host", {"", none, none, none, none, none}, kOtherSite},
      {"rebinding: a name the device does not go by", {"evil.example", "http://evil.example", none, none, none, none}, kUnknownName},
      {"rebinding without any other header", {"evil.example:80", none, none, none, "x", "127.0.0.1"}, kUnknownName},
      {"a LAN page with no Referer (img, no-cors fetch, rel=noreferrer)", {"192.168.1.5", none, none, none, none, "192.168.1.20"}, kNoProof},
      {"the same by the device's name", {"nas", none, none, none, none, "192.168.1.20"}, kNoProof},
      {"typed into the address bar of another machine", {"nas", none, none, "none", none, "192.168.1.20"}, kNoProof},
      {"an IPv6 peer without proof", {"[fe80::1]", none, none, none, none, "fe80::2"}, kNoProof},
      {"an unreadable peer without proof", {"nas", none, none, none, none, "somewhere"}, kNoProof},
      {"another machine with X-Requested-With (the page, curl as the manual shows)", {"192.168.1.5", none, none, none, "curl", "192.168.1.20"}, kAllowed},
      {"another machine with Sec-Fetch-Site same-origin", {"nas", none, none, "same-origin", none, "192.168.1.20"}, kAllowed},
      {"a loopback peer of 127/8", {"192.168.1.5", none, none, none, none, "127.8.9.10"}, kAllowed},
      {"a loopback peer mapped into IPv6", {"192.168.1.5", none, none, none, none, "::ffff:127.0.0.1"}, kAllowed},
      {"a LAN peer mapped into IPv6", {"192.168.1.5", none, none, none, none, "::ffff:192.168.1.20"}, kNoProof},
  };
  for (const Case& c : cases) EXPECT_EQ(judge_change(c.headers, names), c.verdict) << c.what;
}

TEST(RequestOriginTest, AllowableHostNames) {
  for (const char* name : {"nas.fritz.box", "NAS", "music-room.home.arpa.", "a", "xn--mnchen-3ya.de"}) {
    EXPECT_TRUE(is_allowable_host_name(name)) << name;
  }
  const std::string long_label(64, 'a');
  const std::string long_name = std::string(63, 'a') + "." + std::string(63, 'b') + "." + std::string(63, 'c') + "." +
                                std::string(63, 'd');
  for (std::string name : {"", ".", "nas..box", ".nas", "nas:8080", "n as", "nas/x", "nas_1", "192.168.1.5",
                           "1.2.3", "localhost", "[::1]", "n\xc3\xa4s", "-", long_label.c_str(), long_name.c_str()}) {
    EXPECT_FALSE(is_allowable_host_name(name)) << name;
  }
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
      {{"cmd", "GUI_ice_allow_host"}, {"f_host", "evil.example"}},
  };
  const std::vector<std::string> foreign[] = {
      {"HTTP_HOST=nas", "HTTP_ORIGIN=http://evil.example"},
      {"HTTP_HOST=127.0.0.1", "HTTP_REFERER=http://evil.example/"},
      {"HTTP_HOST=127.0.0.1", "HTTP_SEC_FETCH_SITE=cross-site"},
      {"HTTP_HOST=rebound.example"},
      // Another machine's browser, told to send no Referer.
      {"HTTP_HOST=192.168.1.5", "REMOTE_ADDR=192.168.1.20"},
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
  CgiRequest lan = Request({{"cmd", "GUI_ice_playlist_disable"}, {"f_name", "P"}});
  lan.extra_env.insert(lan.extra_env.end(), {"HTTP_HOST=192.168.1.5", "REMOTE_ADDR=192.168.1.20",
                                             "HTTP_X_REQUESTED_WITH=XMLHttpRequest"});
  EXPECT_EQ(RunCgi(lan).out, Config("<res>1</res>"));
}

// A page opened by a name the device does not go by learns why its changes
// are refused; opened by an accepted one, it adds the name.
TEST_F(RefusalTest, StatusNamesTheRefusalAndTheOwnerAddsTheName) {
  WriteFile(At("simple-icecast-conf"), "port=8000\n");
  auto status_by = [&](const std::string& host) {
    CgiRequest request = Request({{"cmd", "GUI_ice_status"}});
    request.extra_env.insert(request.extra_env.end(),
                             {"HTTP_HOST=" + host, "HTTP_ORIGIN=http://" + host, "REMOTE_ADDR=192.168.1.20"});
    return RunCgi(request).out;
  };
  auto allow_by = [&](const std::string& host, const std::string& name) {
    CgiRequest request = Request({{"cmd", "GUI_ice_allow_host"}, {"f_host", name}});
    request.extra_env.insert(request.extra_env.end(), {"HTTP_HOST=" + host, "HTTP_ORIGIN=http://" + host,
                                                       "REMOTE_ADDR=192.168.1.20"});
    return RunCgi(request).out;
  };
  std::string refused = status_by("NAS.fritz.box:8080");
  EXPECT_NE(refused.find("<changes_refused><reason>name</reason><host>nas.fritz.box</host><device_name>"),
            std::string::npos)
      << refused;
  EXPECT_EQ(status_by("192.168.1.5").find("changes_refused"), std::string::npos);
  // The refused name cannot add itself; an accepted one adds it, once.
  EXPECT_EQ(allow_by("nas.fritz.box", "nas.fritz.box"), Config("<res>0</res>"));
  EXPECT_EQ(allow_by("192.168.1.5", "NAS.Fritz.Box."), Config("<res>1</res>"));
  EXPECT_EQ(allow_by("192.168.1.5", "nas.fritz.box"), Config("<res>1</res>"));
  EXPECT_EQ(allow_by("192.168.1.5", "music.home"), Config("<res>1</res>"));
  EXPECT_EQ(ReadFile(At("simple-icecast-conf")), "port=8000\nallowed_hosts=nas.fritz.box:music.home\n");
  std::string accepted = status_by("nas.fritz.box:8080");
  EXPECT_EQ(accepted.find("changes_refused"), std::string::npos) << accepted;
  EXPECT_NE(accepted.find("<allowed_host>nas.fritz.box</allowed_host><allowed_host>music.home</allowed_host></config>"),
            std::string::npos)
      << accepted;
  // What is no name is never stored.
  for (const char* name : {"", "192.168.1.7", "a:b", "evil.example/x", "x y"}) {
    EXPECT_EQ(allow_by("192.168.1.5", name), Config("<res>0</res>")) << name;
  }
  for (char c = 'a'; c <= 't'; ++c) allow_by("192.168.1.5", std::string(1, c) + ".home");
  EXPECT_EQ(allow_by("192.168.1.5", "one-too-many.home"), Config("<res>0</res>"));
  EXPECT_EQ(allowed_count(ReadFile(At("simple-icecast-conf"))), kMaxAllowedHosts);
}

}  // namespace
