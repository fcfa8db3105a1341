/* Runs several commands alternately, many times each, and prints for each the
 * median wall time of one run and the peak resident memory of its process.
 * Usage: spawn_bench RUNS CMD1 [ARGS...] -- CMD2 [ARGS...] [-- ...]
 * Standard output of the commands goes to /dev/null; they are started with
 * posix_spawn straight from their argument vectors. Build it static: a child's
 * peak memory counts from the size of the process it was forked from. */
#include <fcntl.h>
#include <spawn.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

extern char **environ;

static int cmp_double(const void *a, const void *b) {
  double x = *(const double *)a, y = *(const double *)b;
  return x < y ? -1 : x > y;
}

int main(int argc, char **argv) {
  if (argc < 3) {
    fprintf(stderr, "usage: %s RUNS CMD [ARGS...] [-- CMD [ARGS...]]...\n", argv[0]);
    return 2;
  }
  int runs = atoi(argv[1]);
  char **cmds[16];
  int ncmds = 0;
  cmds[ncmds++] = &argv[2];
  for (int i = 2; i < argc; i++) {
    if (strcmp(argv[i], "--") == 0) {
      argv[i] = NULL;
      if (ncmds < 16) cmds[ncmds++] = &argv[i + 1];
    }
  }
  double *times = calloc((size_t)runs * ncmds, sizeof(double));
  long peak[16] = {0};
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_addopen(&actions, 1, "/dev/null", O_WRONLY, 0);
  for (int r = 0; r < runs; r++) {
    for (int c = 0; c < ncmds; c++) {
      struct timespec t0, t1;
      pid_t pid;
      clock_gettime(CLOCK_MONOTONIC, &t0);
      if (posix_spawn(&pid, cmds[c][0], &actions, NULL, cmds[c], environ) != 0) {
        perror(cmds[c][0]);
        return 1;
      }
      int status;
      struct rusage ru;
      wait4(pid, &status, 0, &ru);
      clock_gettime(CLOCK_MONOTONIC, &t1);
      if (!WIFEXITED(status) || WEXITSTATUS(status) != 0) {
        fprintf(stderr, "%s failed\n", cmds[c][0]);
        return 1;
      }
      times[c * runs + r] = (t1.tv_sec - t0.tv_sec) + (t1.tv_nsec - t0.tv_nsec) / 1e9;
      if (ru.ru_maxrss > peak[c]) peak[c] = ru.ru_maxrss;
    }
  }
  for (int c = 0; c < ncmds; c++) {
    qsort(&times[c * runs], runs, sizeof(double), cmp_double);
    printf("%d %.9f %ld\n", c, times[c * runs + runs / 2], peak[c]);
  }
  return 0;
}
