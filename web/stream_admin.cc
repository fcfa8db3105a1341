// Dispatch of stream_admin: the field "cmd" names exactly one command.

#include <string>

#include "web/cgi.h"
#include "web/commands.h"
#include "web/request_origin.h"
#include "web/response.h"

namespace {

struct Command {
  const char* name;
  void (*handler)();
  bool changes = false;  // changes the configuration or the running streams
};

// Compared in this order, whole and case-sensitively.
constexpr Command kCommands[] = {
    {"GUI_ice_set", handle_set, true},
    {"GUI_ice_get", handle_get},
    {"GUI_ice_playlist", handle_playlist_table},
    {"GUI_ice_playlist_name", handle_playlist_name},
    {"GUI_ice_playlist_new", handle_playlist_new, true},
    {"GUI_ice_playlist_del", handle_playlist_del, true},
    {"GUI_ice_playlist_enable", handle_playlist_enable, true},
    {"GUI_ice_playlist_disable", handle_playlist_disable, true},
    {"GUI_ice_modify_info", handle_modify_info},
    {"GUI_ice_playlist_renew", handle_playlist_renew, true},
    {"GUI_ice_is_playlist_full", handle_is_playlist_full},
    {"GUI_ice_is_active_full", handle_is_active_full},
    {"GUI_ice_has_playlist_name", handle_has_playlist_name},
    {"GUI_ice_status", handle_status},
    {"GUI_ice_playlist_rescan", handle_playlist_rescan, true},
    {"GUI_ice_folders", handle_folders},
    {"GUI_ice_allow_host", handle_allow_host, true},
};

}  // namespace

int cgiMain() {
  std::string cmd = cgiFormStringNoNewlines("cmd", kCmdFieldSize);
  for (const Command& command : kCommands) {
    if (cmd == command.name) {
      // Another site's request, or one from another machine without the
      // page's proof, changes nothing; every changing command answers a
      // refusal with the same bytes.
      if (command.changes && judge_current_request() != ChangeVerdict::kAllowed) {
        write_config_response(0);
      } else {
        command.handler();
      }
      return 0;
    }
  }
  // An unknown or absent command gets an empty body; without a header at all
  // the web server would answer with an error page of its own.
  write_response_header();
  return 0;
}
