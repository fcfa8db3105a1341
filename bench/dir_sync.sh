#!/bin/sh
# Measures what syncing the directory after each rename costs: replacing a
# settings file as the programs do, side by side with the same steps without
# the directory sync, alternately in one run, on the disk of the build folder
# (a RAM disk would show no cost). A changing command replaces one file
# (enable, disable, renew) up to 2 + N files (set, with N playlists), plus its
# journal record; the cost of a request is that many times the difference.
# Usage: bench/dir_sync.sh [RUNS]
set -eu
runs=${1:-500}
. "$(dirname "$0")/common.sh"
build/bin/replace_bench "$work" "$runs" | awk '
  {
    printf "replacing a settings file, median: with the directory sync %.1f us, without %.1f us, ratio %.2f\n", $1 * 1e6, $2 * 1e6, $1 / $2
    printf "cost of the sync: %.1f us per replaced file; a set with 4 playlists (6 files and its journal record) %.1f ms\n", ($1 - $2) * 1e6, ($1 - $2) * 7 * 1e3
  }'
