// Builds the playlist file of NAME in the config directory from a list file,
// as the new-playlist command does. For benchmarks and for maintainers who
// want to see what a folder expands to.
// Usage: build_playlist [--rescan] NAME LISTFILE
//   --rescan: as a rescan does, write the file only when it would change
//   (exit 0 unchanged, 3 changed, 1 failed).

#include <cstdio>
#include <cstring>

#include "lib/playlist_builder.h"

int main(int argc, char** argv) {
  const bool rescan = argc == 4 && std::strcmp(argv[1], "--rescan") == 0;
  if (argc != 3 && !rescan) {
    std::fprintf(stderr, "usage: %s [--rescan] NAME LISTFILE\n", argv[0]);
    return 2;
  }
  const char* name = argv[argc - 2];
  FILE* list = std::fopen(argv[argc - 1], "re");
  if (list == nullptr) {
    std::perror(argv[argc - 1]);
    return 1;
  }
  int result;
  if (rescan) {
    RebuildResult rebuilt = rebuild_playlist_file(name, list);
    result = rebuilt == RebuildResult::kUnchanged ? 0 : rebuilt == RebuildResult::kChanged ? 3 : 1;
  } else {
    result = build_playlist_file(name, list);
  }
  std::fclose(list);
  return result;
}
