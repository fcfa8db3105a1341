// GUI_ice_playlist: the table of all playlists the web page shows, one row per
// playlist file of the config directory, in byte order of the names.

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <optional>
#include <memory>
#include <string>

#include "lib/config_dir.h"
#include "lib/playlist_builder.h"
#include "lib/settings_file.h"
#include "lib/unique_fd.h"
#include "web/cgi.h"
#include "web/commands.h"
#include "web/response.h"

namespace {

constexpr std::string_view kPlaylistPrefix = "playlist-";
constexpr std::string_view kSettingsPrefix = "simple-ices-conf-";

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
  unsigned char type(int i) const { return entries_[i]->d_type; }

  // The type the listing gives the entry named `name` (DT_UNKNOWN when the
  // file system does not tell), or nullopt when the listing has no such entry.
  std::optional<unsigned char> TypeOf(std::string_view name) const {
    int low = 0, high = size() - 1;  // descending byte order
    while (low <= high) {
      int middle = low + (high - low) / 2;
      int order = name.compare(entries_[middle]->d_name);
      if (order == 0) return entries_[middle]->d_type;
      if (order > 0) high = middle - 1;
      else low = middle + 1;
    }
    return std::nullopt;
  }

 private:
  dirent** entries_ = nullptr;
  int count_;
};

// The page inserts every cell's text into the document as HTML: a text cell
// holds the value HTML-escaped, so that the page shows what the user typed.
void WriteCell(std::string_view text) {
  std::string html;
  for (char c : text) {
    switch (c) {
      case '&': html += "&amp;"; break;
      case '<': html += "&lt;"; break;
      case '>': html += "&gt;"; break;
      default: html += c; break;
    }
  }
  write_element("cell", html);
}

// Makes `text` safe inside the link fragments: the href is an unquoted
// attribute holding a javascript: URL whose script passes the text in a
// single-quoted string. A browser reads the attribute, percent-decodes the
// URL and runs the script, so every byte that one of those layers cannot
// carry as it is is percent-encoded; quotes and backslashes, which the
// percent-decoding would hand to the script as they are, are first written
// as the script escapes \x27, \x22 and \x5C. Letters, digits, "-_.~" and the
// other ASCII punctuation stay as they are.
std::string EncodeForScriptLink(std::string_view text) {
  static constexpr char kHex[] = "0123456789ABCDEF";
  std::string out;
  auto percent = [&](unsigned char byte) {
    out += '%';
    out += kHex[byte >> 4];
    out += kHex[byte & 15];
  };
  for (char c : text) {
    unsigned char byte = static_cast<unsigned char>(c);
    if (c == '\'' || c == '"' || c == '\\') {
      percent('\\');
      out += 'x';
      out += kHex[byte >> 4];
      out += kHex[byte & 15];
    } else if (byte <= 0x20 || byte >= 0x7F || c == '%' || c == '<' || c == '>' || c == '&' || c == '=' ||
               c == '`') {
      percent(byte);
    } else {
      out += c;
    }
  }
  return out;
}

// A cell holding an HTML fragment as escaped text: the page reads the
// fragment back from the cell's text.
void WriteLinkCell(std::string_view before, std::string_view middle, std::string_view after) {
  write_raw("<cell>");
  cgiHtmlEscape(before);
  cgiHtmlEscape(middle);
  cgiHtmlEscape(after);
  write_raw("</cell>");
}

std::string FirstValue(const std::vector<SettingsEntry>& entries, std::string_view key) {
  for (const SettingsEntry& entry : entries) {
    if (!entry.commented && entry.name == key) return entry.value;
  }
  return "";
}

// The playlist's settings as read_playlist_settings gives them (a missing
// file reads as an empty one; a link, a FIFO, a directory or a file over
// kMaxSettingsFileSize as unreadable), read without the settings file's
// lock. Every writer replaces the file whole by a rename, so one read sees
// one whole state of it, as a locked read does. The table is asked for every
// few seconds while the page is open: the listing's file types spare a
// status call per row (and the lock its two), which on the device is most of
// the table's cost.
std::optional<PlaylistSettings> ReadSettingsSnapshot(int dir_fd, const Listing& listing, const std::string& name) {
  const std::string file = std::string(kSettingsPrefix) + name;
  std::optional<unsigned char> type = listing.TypeOf(file);
  if (type && *type != DT_REG && *type != DT_UNKNOWN) return std::nullopt;
  UniqueFd fd(::openat(dir_fd, file.c_str(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW | O_NONBLOCK | O_NOCTTY));
  if (!fd.valid()) {
    if (errno == ENOENT) return PlaylistSettings{};
    return std::nullopt;
  }
  // A file the listing did not show as a regular one (or made since) is
  // looked at first.
  struct stat st;
  if ((!type || *type != DT_REG) && (::fstat(fd.get(), &st) != 0 || !S_ISREG(st.st_mode))) return std::nullopt;
  std::string data;
  char buffer[4096];
  for (;;) {
    ssize_t n = ::read(fd.get(), buffer, sizeof buffer);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) return std::nullopt;
    if (n == 0) break;
    data.append(buffer, static_cast<std::size_t>(n));
    if (data.size() > static_cast<std::size_t>(kMaxSettingsFileSize)) return std::nullopt;
  }
  std::vector<SettingsEntry> entries = parse_settings(data);
  return PlaylistSettings{FirstValue(entries, "genre"), FirstValue(entries, "desc"), FirstValue(entries, "rand"),
                          FirstValue(entries, "enabled")};
}

// Writes one row from one read of the playlist's settings file. `port` is
// read once per request, when the first enabled playlist needs it.
void WriteRow(int id, const std::string& name, std::optional<PlaylistSettings> settings,
              std::optional<std::string>& port) {
  std::fprintf(cgiOut, "<row id=\"%d\">", id);
  const bool enabled = settings && is_on(settings->enabled);
  if (settings) {
    if (enabled) {
      if (!port) port = get_server_port();
      WriteLinkCell("<a href=javascript:ices_playlist('", EncodeForScriptLink(*port + "/" + name + ".m3u"),
                    "')><IMG border='0' width='20' src='/sonorell/tunein.png'></a>");
    } else {
      write_raw("<cell>-</cell>");
    }
  }
  WriteCell(name);
  if (settings) {
    WriteCell(settings->genre);
    WriteCell(settings->desc);
    write_raw(is_on(settings->rand) ? "<cell>Yes</cell>" : "<cell>No</cell>");
    if (enabled) {
      WriteLinkCell("<a href=javascript:isplaylist_disable('", EncodeForScriptLink(name),
                    "')><IMG border='0' src='/web/images/stop.png'></a>");
    } else {
      WriteLinkCell("<a href=javascript:isplaylist_enable('", EncodeForScriptLink(name),
                    "')><IMG border='0' src='/web/images/start.png'></a>");
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
  UniqueFd dir_fd(listing.size() > 0 ? ::open(dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC) : -1);
  std::optional<std::string> port;
  int rows = 0;
  // The listing is in descending order; walking it backwards gives ascending.
  for (int i = listing.size() - 1; i >= 0; --i) {
    std::string_view entry = listing.name(i);
    if (!entry.starts_with(kPlaylistPrefix)) continue;
    std::string name(entry.substr(kPlaylistPrefix.size()));
    // A file no command could address (a name no playlist can have) makes no
    // row either.
    if (!is_valid_playlist_name(name)) continue;
    // A regular file, or a link to one; the listing's type spares the
    // status call of a regular file.
    struct stat st;
    if (!dir_fd.valid() ||
        (listing.type(i) != DT_REG && (::fstatat(dir_fd.get(), listing.name(i), &st, 0) != 0 || !S_ISREG(st.st_mode)))) {
      continue;
    }
    WriteRow(++rows, name, ReadSettingsSnapshot(dir_fd.get(), listing, name), port);
  }
  write_element("page", page);
  std::fprintf(cgiOut, "<total>%d</total></rows>", rows);
}
