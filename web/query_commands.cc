// The commands that answer questions about the configuration. They change
// nothing, except that reading a settings file creates it when it is missing.

#include <optional>
#include <string>

#include "lib/config_dir.h"
#include "web/cgi.h"
#include "web/commands.h"
#include "web/response.h"

void handle_get() {
  begin_config_response();
  write_res(1);
  write_element("port", get_server_port());
  end_config_response();
}

void handle_playlist_name() {
  begin_config_response();
  write_res(1);
  if (std::optional<std::string> name = next_playlist_name()) write_element("playlist_name", *name);
  end_config_response();
}

void handle_modify_info() {
  std::string name = cgiFormStringNoNewlines("f_name", kFieldSize);
  begin_config_response();
  write_res(1);
  // A text that cannot name a playlist must not create a settings file.
  if (is_valid_playlist_name(name)) {
    if (std::optional<std::string> genre = get_playlist_genre(name)) write_element("genre", *genre);
    if (std::optional<std::string> desc = get_playlist_desc(name)) write_element("desc", *desc);
    if (std::optional<std::string> rand = get_playlist_rand(name)) write_element("rand", *rand);
  }
  end_config_response();
}

void handle_is_playlist_full() { write_config_response(is_playlist_full()); }

void handle_is_active_full() { write_config_response(is_active_full()); }

void handle_has_playlist_name() {
  std::string name = cgiFormStringNoNewlines("f_name", kFieldSize);
  write_config_response(is_valid_playlist_name(name) ? has_playlist_name(name) : 0);
}
