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
#include "lib/settings_file.h"  // kMaxSettingsFileSize
#include "lib/unique_fd.h"
#include "web/cgi.h"
#include "web/commands.h"
#include "web/response.h"

namespace {


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

// The value cfg_get gives a key in settings file contents `text` (which
// starts with a line feed of its own): that of the first line "KEY=VALUE",
// found as `line` "\nKEY=" (a commented line starts with "#" or "!" and so
// never matches), without its line feed.
std::string_view Value(std::string_view text, std::string_view line) {
  std::size_t at = text.find(line);
  if (at == std::string_view::npos) return {};
  std::string_view rest = text.substr(at + line.size());
  return rest.substr(0, rest.find('\n'));
}

// The contents of the playlist's settings file, for the values
// read_playlist_settings gives: a missing file reads as an empty one; a link,
// a directory, a FIFO or a file over kMaxSettingsFileSize as unreadable
// (nullopt). Read without the settings file's lock: every writer replaces
// the file whole by a rename, so one read sees one whole state of it, as a
// locked read does. The table is asked for every few seconds while the page
// is open, and on the device each system call counts: a row costs an open,
// one read and a close. The contents, after a line feed put before them for
// Value, stay valid until the next call.
std::optional<std::string_view> ReadSettingsUnlocked(int dir_fd, const std::string& name) {
  const std::string file = std::string(kPlaylistSettingsPrefix) + name;
  UniqueFd fd(::openat(dir_fd, file.c_str(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW | O_NONBLOCK | O_NOCTTY));
  if (!fd.valid()) {
    if (errno == ENOENT) return std::string_view("\n", 1);
    return std::nullopt;
  }
  // One read: a regular file answers it in full, up to its end (and one byte
  // more than a settings file may hold tells a larger one). A directory
  // fails it; only an empty answer can come from a FIFO, and is looked at.
  static char data[1 + kMaxSettingsFileSize + 1];
  data[0] = '\n';
  ssize_t size = ::read(fd.get(), data + 1, sizeof data - 1);
  struct stat st;
  if (size < 0 || size > kMaxSettingsFileSize || (size == 0 && (::fstat(fd.get(), &st) != 0 || !S_ISREG(st.st_mode)))) {
    return std::nullopt;
  }
  return std::string_view(data, 1 + static_cast<std::size_t>(size));
}

// Writes one row from one read of the playlist's settings file. `port` is
// read once per request, when the first enabled playlist needs it.
void WriteRow(int id, const std::string& name, std::optional<std::string_view> settings,
              std::optional<std::string>& port) {
  std::fprintf(cgiOut, "<row id=\"%d\">", id);
  const bool enabled = settings && is_on(Value(*settings, "\nenabled="));
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
    WriteCell(Value(*settings, "\ngenre="));
    WriteCell(Value(*settings, "\ndesc="));
    write_raw(is_on(Value(*settings, "\nrand=")) ? "<cell>Yes</cell>" : "<cell>No</cell>");
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
    // A file no command could address (a name no playlist can have) makes no
    // row either.
    std::optional<std::string> playlist = playlist_name_of(entry);
    if (!playlist) continue;
    const std::string& name = *playlist;
    // A regular file, or a link to one (as playlist_file_exists tells); the
    // listing's type spares the status call of a regular file.
    struct stat st;
    if (!dir_fd.valid() ||
        (listing.type(i) != DT_REG && (::fstatat(dir_fd.get(), listing.name(i), &st, 0) != 0 || !S_ISREG(st.st_mode)))) {
      continue;
    }
    WriteRow(++rows, name, ReadSettingsUnlocked(dir_fd.get(), name), port);
  }
  write_element("page", page);
  std::fprintf(cgiOut, "<total>%d</total></rows>", rows);
}
