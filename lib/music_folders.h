#ifndef LIB_MUSIC_FOLDERS_H_
#define LIB_MUSIC_FOLDERS_H_

// The music folders a user may browse to pick a playlist's folders: only
// those inside the configured music roots.

#include <cstddef>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

inline constexpr char kDefaultMusicRoots[] = "/mnt/HD/HD_a2";
inline constexpr std::size_t kMaxListedFolders = 2000;

// The music roots: the key "music_roots" of the server settings file, paths
// separated by ":", or the device's share root when it is empty or the file
// cannot be read. Each as written; only absolute paths are taken.
std::vector<std::string> music_roots();

// The music roots that confine what playlists may hold, when the server
// settings file stores "music_roots". Unlike music_roots, a missing or empty
// key means no confinement (callers that name other folders keep working).
struct StoredMusicRoots {
  bool readable = false;           // the server settings file could be read
  bool confined = false;           // it stores music_roots
  std::vector<std::string> roots;  // those roots, links resolved; a root that
                                   // does not resolve is left out
};
StoredMusicRoots stored_music_roots();

// The resolved path of the file or folder open as `fd`, as the kernel names
// it now; nothing when it cannot be told. Unlike a path resolved before
// opening, it cannot have changed on the way.
std::optional<std::string> opened_path(int fd);

// True when `path` is `root` or lies below it; both are resolved paths.
bool path_inside(std::string_view path, std::string_view root);

// The add-on's own folders, links resolved: no playlist takes music from
// them and the folder picker never offers them, however they are reached (a
// search below a root, a folder field, a link). They are the config
// directory (which holds the password and the generated files), the
// server's log folder /var/log/wavelorn, and the add-on's folder (the one
// holding bin/ and web/) when it lies inside a music root, below the root
// itself: the folder above the running program's own folder, and the config
// directory's parent when it holds bin/tarnwick (the installed layout). "/"
// is never one of them.
std::vector<std::string> addon_folders();

// True when the resolved `path` is one of `folders` or lies below one.
bool in_addon_folder(std::string_view path, const std::vector<std::string>& folders);

// True when `path`, links resolved, is one of the add-on's folders or lies
// below one (a file of the config directory too). A path that does not
// resolve names none.
bool names_addon_folder(const std::string& path, const std::vector<std::string>& folders);

struct FolderListing {
  std::string path;                  // the folder, links resolved
  std::vector<std::string> folders;  // its subfolders' names, in byte order
  bool cut = false;                  // there were more than kMaxListedFolders
};

// Lists the subfolders of `path` as the playlist scan would enter them: in
// byte order, without the system folders it skips and the add-on's own
// folders (see addon_folders), without names that a
// playlist line or a page could not carry (control bytes, invalid UTF-8),
// and following links only to folders inside a root. The folder is opened
// first and its real path checked after, so that swapping a folder on the
// way for a link lists nothing outside. Returns nothing when `path` is not a
// folder inside one of the roots after resolving links, or is inside one of
// the add-on's folders (outside, missing,
// unreadable and unnamable all look the same), or holds a byte no path may
// hold.
// With a `filter`, only the subfolders whose names contain it (see
// name_matches_filter) are listed, and the cut applies to those.
std::optional<FolderListing> list_music_folder(std::string_view path, std::string_view filter = {});

// True when `filter` is empty or `name` contains it, ASCII letters compared
// without regard to case (other bytes as they are). A filter is never a
// path: a "/" or NUL in it matches no name.
bool name_matches_filter(std::string_view name, std::string_view filter);

// The resolved path of `path` when list_music_folder would list it (a folder
// inside a root, not one of the add-on's folders, nor in one); nothing
// otherwise.
std::optional<std::string> music_folder_path(std::string_view path);

#endif  // LIB_MUSIC_FOLDERS_H_
