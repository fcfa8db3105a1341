// GUI_ice_playlist: the table of all playlists the web page shows, one row per
// playlist file of the config directory, in byte order of the names.

#include <dirent.h>
#include <sys/stat.h>

#include <cstdio>
#include <cstdlib>
#include <optional>
#include <string>

#include "lib/config_dir.h"
#include "lib/playlist_builder.h"
#include "lib/xml_text.h"
#include "web/cgi.h"
#include "web/commands.h"
#include "web/response.h"

namespace {

constexpr std::string_view kPlaylistPrefix = "playlist-";

// Owns the listing scandir returns.
class Listing {
 public:
  explicit Listing(const std::string& dir) : count_(::scandir(dir.c_str(), &entries_, nullptr, reverse_alphasort)) {}
  ~Listing() {
    for (int i = 0; i < count_; ++i) std::free(entries_[i]);
    std::free(entries_);
  }
  Listing(const Listing&) = delete;
  Listing& operator=(const Listing&) = delete;

  int size() const { return count_ < 0 ? 0 : count_; }
  const char* name(int i) const { return entries_[i]->d_name; }

 private:
  dirent** entries_ = nullptr;
  int count_;
};

void WriteCell(std::string_view text) { write_element("cell", text); }

// A cell holding an HTML fragment as escaped text: the page reads the
// fragment back from the cell's text.
void WriteLinkCell(std::string_view before, std::string_view middle, std::string_view after) {
  write_raw("<cell>");
  cgiHtmlEscape(before);
  cgiHtmlEscape(middle);
  cgiHtmlEscape(after);
  write_raw("</cell>");
}

void WriteRow(int id, const std::string& name) {
  std::fprintf(cgiOut, "<row id=\"%d\">", id);
  if (std::optional<std::string> enabled = get_playlist_enabled(name)) {
    if (is_on(*enabled)) {
      // The port comes from a file anyone may have edited by hand.
      WriteLinkCell("<a href=javascript:ices_playlist('", xml_clean(get_server_port() + "/" + name + ".m3u"),
                    "')><IMG border='0' width='20' src='/sonorell/tunein.png'></a>");
    } else {
      write_raw("<cell>-</cell>");
    }
  }
  WriteCell(name);
  if (std::optional<std::string> genre = get_playlist_genre(name)) WriteCell(*genre);
  if (std::optional<std::string> desc = get_playlist_desc(name)) WriteCell(*desc);
  if (std::optional<std::string> rand = get_playlist_rand(name)) write_raw(is_on(*rand) ? "<cell>Yes</cell>" : "<cell>No</cell>");
  if (std::optional<std::string> enabled = get_playlist_enabled(name)) {
    if (is_on(*enabled)) {
      WriteLinkCell("<a href=javascript:isplaylist_disable('", name, "')><IMG border='0' src='/web/images/stop.png'></a>");
    } else {
      WriteLinkCell("<a href=javascript:isplaylist_enable('", name, "')><IMG border='0' src='/web/images/start.png'></a>");
    }
  }
  write_raw("</row>");
}

}  // namespace

void handle_playlist_table() {
  std::string page = cgiFormString("page", kPageFieldSize);
  write_response_header();
  write_raw("<?xml version=\"1.0\" encoding=\"UTF-8\" ?><rows>");
  const std::string dir = get_conf_dir();
  Listing listing(dir);
  int rows = 0;
  // The listing is in descending order; walking it backwards gives ascending.
  for (int i = listing.size() - 1; i >= 0; --i) {
    std::string_view entry = listing.name(i);
    if (!entry.starts_with(kPlaylistPrefix)) continue;
    std::string name(entry.substr(kPlaylistPrefix.size()));
    // A file no command could address (a name no playlist can have) makes no
    // row either.
    if (!is_valid_playlist_name(name)) continue;
    struct stat st;
    if (::stat((dir + "/" + std::string(entry)).c_str(), &st) != 0 || !S_ISREG(st.st_mode)) continue;
    WriteRow(++rows, name);
  }
  write_element("page", page);
  std::fprintf(cgiOut, "<total>%d</total></rows>", rows);
}
