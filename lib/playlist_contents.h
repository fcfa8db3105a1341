#ifndef LIB_PLAYLIST_CONTENTS_H_
#define LIB_PLAYLIST_CONTENTS_H_

// What a playlist holds now, for the status the page asks for every few
// seconds: how many songs its playlist file lists, and how many of the
// folders and files it was made from have gone since. Both only read; both
// are cheap enough to be asked of every playlist on every status.

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

// The number of lines of the regular file at `path` (a link to one is
// followed): its line feeds, plus one for a last line that has none. Nothing
// when it cannot be opened or read, or is not a regular file. The file is
// read in large pieces and its line feeds found with memchr, with no
// allocation per line: a playlist may list a million songs.
std::optional<std::uint64_t> count_file_lines(const std::string& path);

// The folders and files the playlist `name` was made from, as stored (the
// non-empty lines of its folders-NAME, in order). Nothing when the name is
// not a playlist name or the file is missing, unreadable, not a regular file
// or larger than a rescan reads.
std::optional<std::vector<std::string>> read_stored_folders(std::string_view name);

// How many of the stored folders and files of the playlist `name` (the lines
// of its folders-NAME) named below one of `roots` (music_roots: read once by
// a caller that asks for many playlists) do not exist now: their path,
// links followed, names nothing (or passes through something that is not a
// folder). A path that cannot be looked at for another reason (no
// permission) is not counted: it may well be there. 0 when the playlist
// stores no folders, or its folders-NAME cannot be read.
std::size_t count_missing_folders(std::string_view name, const std::vector<std::string>& roots);

#endif  // LIB_PLAYLIST_CONTENTS_H_
