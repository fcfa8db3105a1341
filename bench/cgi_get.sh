#!/bin/sh
# Measures a GUI_ice_get request of the built stream_admin side by side with a
# static C program that writes the same bytes, in one run, and prints the ratio
# of median times and the request's peak resident memory.
# Usage: bench/cgi_get.sh [RUNS]   (targets: at most 1.2x and 2 MiB)
set -eu
runs=${1:-2000}
. "$(dirname "$0")/common.sh"
cc -O2 -static -o "$work/get_reference" bench/get_reference.c
cp build/bin/stream_admin "$work/stream_admin"
unshare --mount --propagation private sh -c '
  set -eu
  work=$1 runs=$2
  mount -t tmpfs tmpfs /tmp
  mkdir /tmp/conf && printf %s /tmp/conf > /tmp/iceconf.dir
  printf "port=8010\n" > /tmp/conf/simple-icecast-conf
  export REQUEST_METHOD=GET QUERY_STRING=cmd=GUI_ice_get
  "$work/stream_admin" > /tmp/a && "$work/get_reference" > /tmp/b && cmp /tmp/a /tmp/b
  "$work/spawn_bench" "$runs" "$work/stream_admin" -- "$work/get_reference"
' sh "$work" "$runs" | awk '
  $1 == 0 { t0 = $2; rss = $3 }
  $1 == 1 { t1 = $2; rss1 = $3 }
  END {
    printf "GUI_ice_get median: stream_admin %.1f us, static C %.1f us, ratio %.3f (target <= 1.2)\n", t0 * 1e6, t1 * 1e6, t0 / t1
    printf "peak resident memory: stream_admin %d KiB, static C %d KiB (target <= 2048 KiB)\n", rss, rss1
  }'
