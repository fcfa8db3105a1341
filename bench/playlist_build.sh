#!/bin/sh
# Measures building a playlist from a generated music tree (200 artists x 10
# albums x 13 files, mostly .mp3, some .MP3, .jpg and .txt, a few links to
# files and folders) side by side with
#   find -L TREE -type f -iname '*.mp3' | sort
# in one run, and prints the ratio of median times and the peak resident
# memory of the build.
# Usage: bench/playlist_build.sh [RUNS]   (targets: at most 0.7x and 4 MiB)
set -eu
runs=${1:-15}
. "$(dirname "$0")/common.sh"

tree="$work/music"
python3 - "$tree" <<'PY'
import os, sys
top = sys.argv[1]
for a in range(200):
    for b in range(10):
        d = os.path.join(top, f"Artist {a:03d}", f"Album {b:02d}")
        os.makedirs(d)
        for t in range(13):
            ext = ".jpg" if t == 11 else ".txt" if t == 12 else ".MP3" if t % 5 == 0 else ".mp3"
            open(os.path.join(d, f"{t:02d} Track number {t}{ext}"), "w").close()
for i in range(20):
    os.symlink(os.path.join(top, f"Artist {i:03d}", "Album 00", "01 Track number 1.mp3"),
               os.path.join(top, f"Artist {i + 100:03d}", f"link {i}.mp3"))
    os.symlink(os.path.join(top, f"Artist {i:03d}", "Album 01"),
               os.path.join(top, f"Artist {i + 150:03d}", f"linked album {i}"))
PY
printf '%s\n' "$tree" > "$work/list"
cp build/bin/build_playlist "$work/"
files=$(find "$tree" -type f | wc -l)

unshare --mount --propagation private sh -c '
  set -eu
  work=$1 runs=$2 tree=$3
  mount -t tmpfs tmpfs /tmp
  mkdir /tmp/conf && printf %s /tmp/conf > /tmp/iceconf.dir
  "$work/build_playlist" P "$work/list"
  LC_ALL=C find -L "$tree" -type f -iname "*.mp3" | LC_ALL=C sort > /tmp/find.out
  # As many lines: files in linked folders are named by their resolved path
  # in the playlist and by the link in the find output.
  # One line per MP3 file and per link to one; a linked folder that the scan
  # has expanded already is not expanded again (find -L lists it twice).
  lines=$(wc -l < /tmp/conf/playlist-P)
  expected=$(( $(find "$tree" -type f -iname "*.mp3" | wc -l) + $(find "$tree" -type l -iname "*.mp3" | wc -l) ))
  [ "$lines" = "$expected" ] || { echo "playlist has $lines lines, expected $expected" >&2; exit 1; }
  echo "playlist lines: $lines" >&2
  "$work/build_playlist" --rescan P "$work/list" || { echo "a rescan of the same tree changed the playlist" >&2; exit 1; }
  export LC_ALL=C TREE="$tree"
  "$work/spawn_bench" "$runs" "$work/build_playlist" P "$work/list" -- \
    "$work/build_playlist" --rescan P "$work/list" -- \
    /bin/sh -c "find -L \"\$TREE\" -type f -iname \"*.mp3\" | sort"
' sh "$work" "$runs" "$tree" | awk -v files="$files" '
  $1 == 0 { t0 = $2; rss = $3 }
  $1 == 1 { t1 = $2; rss1 = $3 }
  $1 == 2 { t2 = $2 }
  END {
    printf "tree: %d files\n", files
    printf "playlist build median %.1f ms, find|sort median %.1f ms, ratio %.3f (target <= 0.7)\n", t0 * 1e3, t2 * 1e3, t0 / t2
    printf "rescan of the unchanged tree median %.1f ms (writes nothing), ratio %.3f to find|sort\n", t1 * 1e3, t1 / t2
    printf "peak resident memory: build %d KiB, rescan %d KiB (target <= 4096 KiB)\n", rss, rss1
  }'
