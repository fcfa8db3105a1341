// Times, in one process and alternately, what "tarnwick check" spends on a
// playlist whose folders did not change (the comparison of its record with
// the folders: a stat of each) and what a rescan of the same folders costs
// (the whole search, writing nothing but the record), and prints the median
// of each in seconds: "compare SECONDS" and "rescan SECONDS".
// Usage: folder_check RUNS NAME LISTFILE   (the playlist built already)
// Exits 1 when the record does not find the folders unchanged.

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <string>
#include <vector>

#include "lib/folder_state.h"
#include "lib/music_folders.h"
#include "lib/playlist_builder.h"
#include "lib/unique_fd.h"

namespace {

double Median(std::vector<double> times) {
  std::sort(times.begin(), times.end());
  return times[times.size() / 2];
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 4) {
    std::fprintf(stderr, "usage: %s RUNS NAME LISTFILE\n", argv[0]);
    return 2;
  }
  const int runs = std::max(1, std::atoi(argv[1]));
  const std::string name = argv[2];
  std::unique_ptr<FILE, FileCloser> list(std::fopen(argv[3], "re"));
  if (!list) {
    std::perror(argv[3]);
    return 1;
  }
  std::vector<std::string> fields;
  read_list_file(list.get(), [&](const std::string& field) { fields.push_back(field); });
  using Clock = std::chrono::steady_clock;
  std::vector<double> compare, rescan;
  for (int i = 0; i < runs; ++i) {
    auto start = Clock::now();
    // As check does it: the roots from the settings, the record from its file.
    const StoredMusicRoots stored = stored_music_roots();
    const FolderCheck found = check_folder_state(name, fields, stored.confined, stored.roots);
    compare.push_back(std::chrono::duration<double>(Clock::now() - start).count());
    if (found != FolderCheck::kUnchanged) {
      std::fprintf(stderr, "folder_check: the record does not find the folders unchanged (%d)\n",
                   static_cast<int>(found));
      return 1;
    }
    start = Clock::now();
    if (rebuild_playlist_file(name, list.get()) != RebuildResult::kUnchanged) {
      std::fprintf(stderr, "folder_check: a rescan of the unchanged folders changed the playlist\n");
      return 1;
    }
    rescan.push_back(std::chrono::duration<double>(Clock::now() - start).count());
  }
  std::printf("compare %.9f\nrescan %.9f\n", Median(compare), Median(rescan));
  return 0;
}
