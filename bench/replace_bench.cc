// Times the replacement of a settings-sized file as the programs do it (write
// a temporary file, flush it to disk, rename it over the target, sync the
// directory) side by side with the same steps without the directory sync,
// alternately in one run, and prints both medians and their ratio.
// Usage: replace_bench DIR RUNS   (DIR on the disk to measure, not a RAM disk)

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "lib/atomic_file.h"

namespace {

constexpr char kContents[] = "name=Jazz\ngenre=Jazz & Blues\ndesc=Evening music\nrand=1\nenabled=1\n";

// The replacement without the directory sync.
bool ReplaceUnsynced(const std::string& target) {
  std::string temp = directory_of(target) + "/.wl-XXXXXX";
  int fd = ::mkostemp(temp.data(), O_CLOEXEC);
  if (fd < 0) return false;
  bool ok = ::write(fd, kContents, sizeof kContents - 1) == static_cast<ssize_t>(sizeof kContents - 1) &&
            ::fchmod(fd, new_file_mode()) == 0 && ::fsync(fd) == 0;
  ok = ::close(fd) == 0 && ok;
  return ok && ::rename(temp.c_str(), target.c_str()) == 0;
}

double Median(std::vector<double> times) {
  std::sort(times.begin(), times.end());
  return times[times.size() / 2];
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 3) {
    std::fprintf(stderr, "usage: %s DIR RUNS\n", argv[0]);
    return 2;
  }
  const std::string target = std::string(argv[1]) + "/simple-ices-conf-Jazz";
  const int runs = std::max(1, std::atoi(argv[2]));
  std::vector<double> synced, unsynced;
  for (int i = 0; i < runs; ++i) {
    auto start = std::chrono::steady_clock::now();
    if (write_file_atomically(target, kContents) != 0) return 1;
    auto middle = std::chrono::steady_clock::now();
    if (!ReplaceUnsynced(target)) return 1;
    auto end = std::chrono::steady_clock::now();
    synced.push_back(std::chrono::duration<double>(middle - start).count());
    unsynced.push_back(std::chrono::duration<double>(end - middle).count());
  }
  std::printf("%.9f %.9f\n", Median(synced), Median(unsynced));
  return 0;
}
