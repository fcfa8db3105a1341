#ifndef LIB_SERVER_STATS_H_
#define LIB_SERVER_STATS_H_

// The streaming server's own statistics of its mounts, as its admin
// interface on 127.0.0.1 reports them.

#include <chrono>
#include <map>
#include <optional>
#include <string>
#include <string_view>

struct MountStats {
  std::optional<long> listeners;
  // UTF-8. The server takes a source client's title update for Latin-1 (an
  // MP3 mount's character set) when the client names none, as the device's
  // client does, and reports it converted to UTF-8: a title the client sent
  // as UTF-8 comes back with every byte made a character of its own. Such a
  // title, every character below U+0100 and those as bytes valid UTF-8 with
  // a character above U+007F, is read back to what the client sent.
  std::optional<std::string> title;
};

// Asks the server on 127.0.0.1:`port` for /admin/stats with the admin user
// and `password`, waiting at most `deadline` in all. Returns the stats of
// each mount by its mount point without the leading "/" (the playlist name),
// or an empty map when the server cannot be asked or does not answer in time.
std::map<std::string, MountStats> fetch_mount_stats(int port, std::string_view password,
                                                    std::chrono::milliseconds deadline);

// The mounts of a statistics document (the body of /admin/stats). For tests
// and the fetch above.
std::map<std::string, MountStats> parse_mount_stats(std::string_view xml);

// `title` with the repair described at MountStats::title; any other text as
// it is.
std::string repair_title(std::string_view title);

#endif  // LIB_SERVER_STATS_H_
