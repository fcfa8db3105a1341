#!/bin/sh
# Measures a GUI_ice_playlist request for 20 playlists (10 of them enabled)
# of the built stream_admin side by side with a static C program that writes
# the same bytes, in one run, and prints the ratio of median times and the
# request's peak resident memory. On the device every system call costs
# several times what it costs here, so the table must stay near that floor.
# Usage: bench/cgi_table.sh [RUNS]   (target: at most 1.5x)
set -eu
runs=${1:-2000}
. "$(dirname "$0")/common.sh"
cp build/bin/stream_admin "$work/stream_admin"
unshare --mount --propagation private sh -c '
  set -eu
  work=$1 runs=$2
  mount -t tmpfs tmpfs /tmp
  mkdir /tmp/conf && printf %s /tmp/conf > /tmp/iceconf.dir
  printf "port=8010\n" > /tmp/conf/simple-icecast-conf
  for n in 01 02 03 04 05 06 07 08 09 10 11 12 13 14 15 16 17 18 19 20; do
    : > "/tmp/conf/playlist-Playlist-$n"
    printf "name=Playlist-%s\ngenre=Jazz & Blues\ndesc=Evening music\nrand=1\nenabled=%s\n" \
      "$n" $(( ${n#0} % 2 )) > "/tmp/conf/simple-ices-conf-Playlist-$n"
    printf "<?xml version=\"1.0\"?>\n" > "/tmp/conf/ices.conf-Playlist-$n"
  done
  export REQUEST_METHOD=GET QUERY_STRING="cmd=GUI_ice_playlist&page=1"
  "$work/stream_admin" > "$work/table"
  # The yardstick: a static C program that writes those bytes and nothing else.
  python3 - "$work/table" > "$work/table_reference.c" <<PY
import sys
data = open(sys.argv[1], "rb").read()
print("#include <stdio.h>\nstatic const unsigned char k[] = {" + ",".join(str(b) for b in data) + "};")
print("int main(void) { fwrite(k, 1, sizeof k, stdout); return 0; }")
PY
  cc -O2 -static -o "$work/table_reference" "$work/table_reference.c"
  "$work/table_reference" | cmp - "$work/table"
  "$work/spawn_bench" "$runs" "$work/stream_admin" -- "$work/table_reference"
' sh "$work" "$runs" | awk '
  $1 == 0 { t0 = $2; rss = $3 }
  $1 == 1 { t1 = $2; rss1 = $3 }
  END {
    printf "GUI_ice_playlist (20 playlists) median: stream_admin %.1f us, static C %.1f us, ratio %.3f (target <= 1.5)\n", t0 * 1e6, t1 * 1e6, t0 / t1
    printf "peak resident memory: stream_admin %d KiB, static C %d KiB\n", rss, rss1
  }'
