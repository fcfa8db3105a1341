#!/bin/sh
# Measures what "tarnwick check" spends on a playlist whose folders did not
# change, side by side in one run with a rescan of the same folders: a
# generated tree of 22,000 MP3 files in 2,000 album folders (100 artists x
# 20 albums x 11 files), one playlist over it. Twice: the library calls in
# one process (bench/folder_check.cc: the comparison of the record with the
# folders against rebuild_playlist_file), and whole runs of "tarnwick check"
# against "tarnwick rescan P" (a stand-in server up, so that check has
# nothing else to start), with a check of a config directory without the
# playlist, which tells what the folders add to a check. Prints the medians
# and their ratios.
# Usage: bench/folder_check.sh [RUNS]   (root: private namespaces; target: at most 0.10)
set -eu
runs=${1:-30}
. "$(dirname "$0")/common.sh"
[ -x build/bin/fake_ices ] || { echo "folder_check.sh: needs build/bin/fake_ices (the tests' build)" >&2; exit 77; }

tree="$work/music"
python3 - "$tree" <<'PY'
import os, sys
top = sys.argv[1]
for a in range(100):
    for b in range(20):
        d = os.path.join(top, f"Artist {a:03d}", f"Album {b:02d}")
        os.makedirs(d)
        for t in range(11):
            open(os.path.join(d, f"{t:02d} Track number {t}.mp3"), "w").close()
PY
printf '%s\n' "$tree" > "$work/list"
mkdir "$work/bin"
cp build/bin/tarnwick build/bin/folder_check "$work/bin/"
# The server stand-in of the tests: it listens on the configured port.
cp build/bin/fake_ices "$work/bin/icecast"
# A config directory /tmp/conf-PORT of its own (the pointer /tmp/iceconf.dir
# is per mount namespace) with the server up on port $1: the servers' command
# lines differ, as those of two config directories do.
cat > "$work/conf.sh" <<'SH'
set -eu
mount -t tmpfs tmpfs /tmp
mkdir "/tmp/conf-$1" && printf %s "/tmp/conf-$1" > /tmp/iceconf.dir
printf 'port=%s\n' "$1" > "/tmp/conf-$1/simple-icecast-conf"
tarnwick start all
SH
files=$(find "$tree" -type f | wc -l)
folders=$(find "$tree" -mindepth 2 -type d | wc -l)
# A folder changed within two seconds of a search leaves its record
# uncertain (check would rebuild): the tree settles first.
sleep 3

unshare --mount --pid --fork --mount-proc --net --propagation private sh -c '
  set -eu
  work=$1 runs=$2
  ip link set lo up
  mount -t tmpfs tmpfs /var/log
  mkdir /var/log/wavelorn
  export PATH="$work/bin:$PATH"
  # The config directory without the playlist, in a mount namespace of its own.
  unshare --mount --propagation private sh -c "sh \"\$0\" 8001 && exec sleep 3600" "$work/conf.sh" &
  without=$!
  sh "$work/conf.sh" 8000
  printf "name=P\ngenre=Rock\ndesc=All\nrand=0\nenabled=0\n" > /tmp/conf-8000/simple-ices-conf-P
  cp "$work/list" /tmp/conf-8000/folders-P
  : > /tmp/conf-8000/playlist-P
  tarnwick rescan P
  echo "playlist lines: $(wc -l < /tmp/conf-8000/playlist-P)" >&2
  out=$(tarnwick check) || { echo "tarnwick check failed: $?" >&2; tarnwick status >&2 || true; exit 1; }
  [ -z "$out" ] || { echo "tarnwick check rebuilt the unchanged playlist: $out" >&2; exit 1; }
  for i in $(seq 50); do [ -e "/proc/$without/root/tmp/conf-8001/.wl-server-id" ] && break; sleep 0.1; done
  nsenter -t "$without" -m tarnwick check || { echo "tarnwick check without the playlist failed" >&2; exit 1; }
  "$work/bin/folder_check" "$runs" P "$work/list"
  # Every check through nsenter alike, into one namespace or the other.
  nsenter=$(command -v nsenter)
  "$work/spawn_bench" "$runs" "$nsenter" -t $$ -m "$work/bin/tarnwick" check -- \
    "$nsenter" -t $$ -m "$work/bin/tarnwick" rescan P -- \
    "$nsenter" -t "$without" -m "$work/bin/tarnwick" check | sed "s/^/run /"
  [ -z "$(tarnwick check)" ] || { echo "tarnwick check rebuilt the unchanged playlist" >&2; exit 1; }
  kill "$without"
' sh "$work" "$runs" | awk -v files="$files" -v folders="$folders" '
  $1 == "compare" { c = $2 }
  $1 == "rescan" { r = $2 }
  $1 == "run" && $2 == 0 { tc = $3; rc = $4 }
  $1 == "run" && $2 == 1 { tr = $3; rr = $4 }
  $1 == "run" && $2 == 2 { tb = $3 }
  END {
    printf "tree: %d files in %d album folders\n", files, folders
    printf "library: unchanged folder comparison median %.2f ms, rescan median %.1f ms, ratio %.3f (target <= 0.10)\n", c * 1e3, r * 1e3, c / r
    printf "whole runs: tarnwick check median %.2f ms, tarnwick rescan P median %.1f ms, ratio %.3f\n", tc * 1e3, tr * 1e3, tc / tr
    printf "  a check without the playlist median %.2f ms: the folders add %.2f ms, ratio %.3f to the rescan (target <= 0.10)\n", tb * 1e3, (tc - tb) * 1e3, (tc - tb) / tr
    printf "peak resident memory: check %d KiB, rescan %d KiB\n", rc, rr
  }'
