#include "lib/music_folders.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <memory>

#include "lib/config_dir.h"
#include "lib/playlist_builder.h"
#include "lib/settings_file.h"
#include "lib/unique_fd.h"
#include "lib/xml_text.h"

namespace {

std::optional<std::string> Resolved(const std::string& path) {
  std::unique_ptr<char, decltype(&std::free)> resolved(::realpath(path.c_str(), nullptr), &std::free);
  if (!resolved) return std::nullopt;
  return std::string(resolved.get());
}

std::vector<std::string> SplitRoots(const std::string& value) {
  std::vector<std::string> roots;
  for (std::size_t start = 0; start <= value.size();) {
    std::size_t end = value.find(':', start);
    if (end == std::string::npos) end = value.size();
    std::string root = value.substr(start, end - start);
    if (root.starts_with('/')) roots.push_back(root);
    start = end + 1;
  }
  return roots;
}

// A text a name of the page or a playlist line can carry.
bool Nameable(std::string_view text) {
  return is_valid_utf8(text) && std::none_of(text.begin(), text.end(), [](char c) {
           return static_cast<unsigned char>(c) < 0x20 || c == 0x7F;
         });
}

}  // namespace

std::optional<std::string> opened_path(int fd) {
  char target[4097];
  ssize_t n = ::readlink(("/proc/self/fd/" + std::to_string(fd)).c_str(), target, sizeof target);
  if (n <= 0 || static_cast<std::size_t>(n) >= sizeof target || target[0] != '/') return std::nullopt;
  return std::string(target, static_cast<std::size_t>(n));
}

bool path_inside(std::string_view path, std::string_view root) {
  if (root == "/") return true;
  return path == root || (path.starts_with(root) && path.size() > root.size() && path[root.size()] == '/');
}

std::vector<std::string> music_roots() {
  std::vector<std::string> roots = SplitRoots(cfg_file_get(server_settings_path(), "music_roots").value_or(""));
  if (roots.empty()) roots.emplace_back(kDefaultMusicRoots);
  return roots;
}

StoredMusicRoots stored_music_roots() {
  StoredMusicRoots stored;
  std::optional<std::string> value = cfg_file_get(server_settings_path(), "music_roots");
  stored.readable = value.has_value();
  stored.confined = value && !value->empty();
  if (!stored.confined) return stored;
  for (const std::string& root : SplitRoots(*value)) {
    if (std::optional<std::string> resolved = Resolved(root)) stored.roots.push_back(*resolved);
  }
  return stored;
}

std::vector<std::string> addon_folders() {
  std::vector<std::string> folders;
  auto add = [&](const std::string& path) {
    std::string folder = Resolved(path).value_or(path);
    if (folder != "/" && folder.starts_with('/')) folders.push_back(std::move(folder));
  };
  const std::string conf_dir = get_conf_dir();
  add(conf_dir);
  add("/var/log/wavelorn");
  // The add-on's folder counts only inside a root (and never as a root
  // itself): elsewhere no playlist reaches it, and a program run from
  // /usr/bin must not rule out /usr.
  std::vector<std::string> roots;
  for (const std::string& root : music_roots()) {
    if (std::optional<std::string> resolved = Resolved(root)) roots.push_back(*resolved);
  }
  auto add_inside_a_root = [&](std::optional<std::string> folder) {
    if (folder && std::any_of(roots.begin(), roots.end(), [&](const std::string& root) {
          return *folder != root && path_inside(*folder, root);
        })) {
      folders.push_back(std::move(*folder));
    }
  };
  auto parent = [](std::string path) {
    path.erase(std::min(path.size(), path.rfind('/')));
    return path.empty() ? std::string("/") : path;
  };
  if (std::optional<std::string> program = Resolved("/proc/self/exe")) {
    add_inside_a_root(Resolved(parent(parent(*program))));
  }
  std::optional<std::string> conf_parent = Resolved(conf_dir + "/..");
  struct stat st;
  if (conf_parent && ::stat((*conf_parent + "/bin/tarnwick").c_str(), &st) == 0) add_inside_a_root(conf_parent);
  return folders;
}

bool in_addon_folder(std::string_view path, const std::vector<std::string>& folders) {
  return std::any_of(folders.begin(), folders.end(), [&](const std::string& folder) { return path_inside(path, folder); });
}

bool names_addon_folder(const std::string& path, const std::vector<std::string>& folders) {
  std::optional<std::string> resolved = Resolved(path);
  return resolved && in_addon_folder(*resolved, folders);
}

namespace {

// A folder the picker may show, opened.
struct PickerFolder {
  UniqueFd fd;
  std::string path;                // resolved, as the kernel names the opened folder
  std::vector<std::string> roots;  // the music roots, resolved
  std::vector<std::string> addon;  // the add-on's folders
  bool InARoot(std::string_view p) const {
    return std::any_of(roots.begin(), roots.end(), [&](const std::string& root) { return path_inside(p, root); });
  }
};

// Opens `path` when it is a folder inside a root and outside the add-on's
// folders. The folder is opened first and its real path checked after, so
// that a folder swapped for a link on the way is judged where it leads.
std::optional<PickerFolder> OpenPickerFolder(std::string_view path) {
  if (path.empty() || !path.starts_with('/') || path.size() > 4095 || !Nameable(path)) return std::nullopt;
  PickerFolder folder;
  for (const std::string& root : music_roots()) {
    if (std::optional<std::string> resolved = Resolved(root)) folder.roots.push_back(*resolved);
  }
  folder.fd.reset(::open(std::string(path).c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC | O_NOCTTY));
  std::optional<std::string> opened = folder.fd.valid() ? opened_path(folder.fd.get()) : std::nullopt;
  folder.addon = addon_folders();
  if (!opened || !folder.InARoot(*opened) || in_addon_folder(*opened, folder.addon)) return std::nullopt;
  folder.path = std::move(*opened);
  return folder;
}

}  // namespace

bool name_matches_filter(std::string_view name, std::string_view filter) {
  auto lower = [](char c) { return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c; };
  return filter.empty() || std::search(name.begin(), name.end(), filter.begin(), filter.end(), [&](char a, char b) {
                              return lower(a) == lower(b);
                            }) != name.end();
}

std::optional<std::string> music_folder_path(std::string_view path) {
  std::optional<PickerFolder> folder = OpenPickerFolder(path);
  if (!folder) return std::nullopt;
  return std::move(folder->path);
}

std::optional<FolderListing> list_music_folder(std::string_view path, std::string_view filter) {
  std::optional<PickerFolder> opened = OpenPickerFolder(path);
  if (!opened) return std::nullopt;
  const std::string* folder = &opened->path;
  const std::vector<std::string>& addon = opened->addon;
  auto in_a_root = [&](std::string_view p) { return opened->InARoot(p); };
  std::unique_ptr<DIR, DirCloser> dir(::fdopendir(opened->fd.get()));
  if (!dir) return std::nullopt;
  opened->fd.release();
  FolderListing listing;
  listing.path = *folder;
  while (const dirent* entry = ::readdir(dir.get())) {
    std::string_view name = entry->d_name;
    if (is_skipped_folder_name(name) || !Nameable(name) || !name_matches_filter(name, filter)) continue;
    struct stat st;
    if (entry->d_type == DT_DIR) {
      if (!in_addon_folder(*folder + "/" + std::string(name), addon)) listing.folders.emplace_back(name);
    } else if ((entry->d_type == DT_LNK || entry->d_type == DT_UNKNOWN) &&
               ::fstatat(::dirfd(dir.get()), entry->d_name, &st, 0) == 0 && S_ISDIR(st.st_mode)) {
      // A link may lead anywhere: only into a root does it count.
      std::optional<std::string> target = Resolved(*folder + "/" + std::string(name));
      if (target && in_a_root(*target) && !in_addon_folder(*target, addon)) listing.folders.emplace_back(name);
    }
  }
  std::sort(listing.folders.begin(), listing.folders.end());
  if (listing.folders.size() > kMaxListedFolders) {
    listing.folders.resize(kMaxListedFolders);
    listing.cut = true;
  }
  return listing;
}
