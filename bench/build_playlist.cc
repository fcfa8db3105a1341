// Builds the playlist file of NAME in the config directory from a list file,
// as the new-playlist command does. For benchmarks and for maintainers who
// want to see what a folder expands to.
// Usage: build_playlist NAME LISTFILE

#include <cstdio>

#include "lib/playlist_builder.h"

int main(int argc, char** argv) {
  if (argc != 3) {
    std::fprintf(stderr, "usage: %s NAME LISTFILE\n", argv[0]);
    return 2;
  }
  FILE* list = std::fopen(argv[2], "re");
  if (list == nullptr) {
    std::perror(argv[2]);
    return 1;
  }
  int result = build_playlist_file(argv[1], list);
  std::fclose(list);
  return result;
}
