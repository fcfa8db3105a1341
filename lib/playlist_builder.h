#ifndef LIB_PLAYLIST_BUILDER_H_
#define LIB_PLAYLIST_BUILDER_H_

// Builds a playlist file, one MP3 path per line, from a list file of chosen
// paths. Files are taken as listed; folders are searched depth-first: each
// folder's own MP3 files in ascending byte order of their names, then each of
// its subfolders in the same order, expanded completely before the next.
// Files found by the search are written under the resolved absolute path of
// their folder. System folders ("recycle", "lost+found", ...) are not
// entered, nor pseudo file systems (proc, sysfs, devtmpfs, cgroup, ...), nor a
// folder already on the current search path (a link back to an ancestor),
// nor a folder reached through a link when this search has expanded it
// already: the work grows with the number of folders and files, not with the
// number of paths to them. The add-on's own folders (the config directory
// and the others of addon_folders in lib/music_folders.h) are never part of
// a playlist, however they are reached: named in the list, found below a
// folder, or through a link (to a file in them too). Paths longer than 4095
// bytes or holding a line feed
// are skipped: a playlist line cannot carry them. A build stops after
// kMaxPlaylistLines lines and keeps what it found.

#include <dirent.h>

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <functional>
#include <optional>
#include <string>
#include <string_view>

struct FolderState;  // lib/folder_state.h

inline constexpr std::size_t kMaxPlaylistLines = 1000000;

// True when the text holds a "." and what follows the last one is "mp3" in
// any letter case.
bool is_mp3_name(std::string_view name);

// True for the names of the system folders that a scan never enters
// ("recycle", "lost+found", ".AppleDouble", ... and "." and "..").
bool is_skipped_folder_name(std::string_view name);

// alphasort with its arguments swapped: sorting with it gives descending
// order. For scandir.
int reverse_alphasort(const struct dirent** a, const struct dirent** b);

// Appends to `out` the MP3 files of the folder tree at `folder`, at most
// kMaxPlaylistLines of them. A folder that cannot be listed or entered (as the
// kernel judges it for the effective user, ACLs included) contributes nothing.
void scan_music_dir(FILE* out, const std::string& folder);

// Appends `path` itself when it is a regular file with an MP3 name (as
// written, unchanged), or the scan of it when it is a folder; nothing
// otherwise.
void add_music_path(FILE* out, const std::string& path);

// Calls `path` with every non-empty line of `list`, from its start, without
// its line feed. Lines may be of any length.
void read_list_file(FILE* list, const std::function<void(const std::string&)>& path);

// Replaces the playlist file of `name` with the expansion of every non-empty
// line of `list`, which is rewound first and stays open. When the server
// settings store music roots (see stored_music_roots), a listed path, and a
// folder or file that the search reaches through a link, counts only when its
// resolved path lies inside a root; the rest is passed over as if missing.
// Returns 0, or 1 when the name cannot name a playlist, the server settings
// cannot be read (the roots are then unknown) or the playlist file cannot be
// written (an existing one then stays as it was). Once the playlist file is
// in place, the state of the folders searched is recorded
// (write_folder_state in lib/folder_state.h).
int build_playlist_file(std::string_view name, FILE* list);

// As build_playlist_file, into the file at `path`; the state of the folders
// searched goes to `record` when given, for the caller to write once the
// file is where the playlist's belongs.
int build_playlist_at(const std::string& path, FILE* list, FolderState* record = nullptr);

// How many songs a playlist would take from the folder at `folder` (as a
// folder field): the MP3 files a build finds there, by the same rules, the
// cap of kMaxPlaylistLines included, written nowhere. Links lead only inside
// the stored music roots, or inside music_roots when none are stored. The
// search stops at `deadline`, checked once per folder: `cut` then tells that
// `songs` is a lower bound. Nothing when `folder` is not a folder or the
// server settings cannot be read.
struct SongCount {
  std::uint64_t songs = 0;
  bool cut = false;
};
std::optional<SongCount> count_folder_songs(const std::string& folder,
                                           std::chrono::steady_clock::time_point deadline);

// How a rebuild ended. kNoneFound: asked to keep the songs, the search
// found none while the playlist file lists some.
enum class RebuildResult { kUnchanged, kChanged, kFailed, kNoneFound };

// Whether a rebuild that finds no song empties a playlist that has some. A
// rescan asked for by the owner does; the minute's check does not: a share
// or disk that is away for a while (unmounted, asleep, being moved) is no
// reason to silence a stream.
enum class WhenNoneFound { kEmpty, kKeepSongs };

// Rebuilds the playlist file of `name` from `list` as build_playlist_file
// does, but compares the new contents with the old ones as they are made and
// writes nothing at all when they are the same byte for byte; otherwise the
// file is replaced atomically. A running source client then need not be told.
// Either way, unless it failed, the state of the folders searched is then
// recorded, as build_playlist_file records it. With kKeepSongs, a search
// that finds no song leaves a playlist file that lists some as it is and
// records nothing (the next check searches again): kNoneFound.
RebuildResult rebuild_playlist_file(std::string_view name, FILE* list,
                                    WhenNoneFound none_found = WhenNoneFound::kEmpty);

#endif  // LIB_PLAYLIST_BUILDER_H_
