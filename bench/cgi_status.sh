#!/bin/sh
# Measures a GUI_ice_status request of the built stream_admin with the
# streaming server up (Debian's icecast2, started through tarnwick as on the
# device) and 20 playlists, 10 of them on, side by side in one run with the
# server's own answer to the statistics request the status makes
# (bench/stats_fetch.c: a static program that fetches /admin/stats and
# nothing else), among a hundred other processes as on a device. The page asks
# for the status every five seconds.
# Usage: bench/cgi_status.sh [RUNS]   (root: private namespaces, icecast's changeowner)
set -eu
runs=${1:-300}
. "$(dirname "$0")/common.sh"
command -v icecast2 >/dev/null || { echo "cgi_status.sh: needs icecast2 (scripts/install-deps)" >&2; exit 77; }
cc -O2 -static -o "$work/stats_fetch" bench/stats_fetch.c
mkdir "$work/bin"
cp build/bin/stream_admin "$work/"
cp build/bin/tarnwick "$work/bin/"
ln -s "$(command -v icecast2)" "$work/bin/icecast"
port=$(python3 -c 'import socket; s = socket.socket(); s.bind(("127.0.0.1", 0)); print(s.getsockname()[1])')
# The device provisions a group "allaccount"; icecast2 changes to it.
cp /etc/group "$work/group"
if ! grep -q '^allaccount:' "$work/group"; then
  gid=2049
  while getent group "$gid" >/dev/null; do gid=$((gid + 1)); done
  echo "allaccount:x:$gid:nobody" >>"$work/group"
fi
unshare --mount --pid --fork --mount-proc --propagation private sh -c '
  set -eu
  work=$1 runs=$2 port=$3
  mount -t tmpfs tmpfs /tmp
  mount -t tmpfs tmpfs /var/log
  mkdir /var/log/wavelorn
  chown nobody /var/log/wavelorn
  mount --bind "$work/group" /etc/group
  export PATH="$work/bin:$PATH"
  mkdir /tmp/conf && printf %s /tmp/conf > /tmp/iceconf.dir
  for n in 01 02 03 04 05 06 07 08 09 10 11 12 13 14 15 16 17 18 19 20; do
    : > "/tmp/conf/playlist-Playlist-$n"
    printf "name=Playlist-%s\ngenre=Jazz & Blues\ndesc=Evening music\nrand=1\nenabled=%s\n" \
      "$n" $(( ${n#0} % 2 )) > "/tmp/conf/simple-ices-conf-Playlist-$n"
  done
  # Sets the port and starts the server (the playlists have no source client
  # to run: only the server streams).
  REQUEST_METHOD=GET QUERY_STRING="cmd=GUI_ice_set&f_port=$port" "$work/stream_admin" | grep -q "<res>1</res>"
  "$work/stats_fetch" "$port" | grep -q "<icestats>"
  # A device runs about a hundred other processes, each of which a look at
  # /proc for ours passes over.
  for n in $(seq 100); do sleep 600 & done
  export REQUEST_METHOD=GET QUERY_STRING=cmd=GUI_ice_status
  "$work/stream_admin" | grep -q "<listening>1</listening>"
  "$work/spawn_bench" "$runs" "$work/stream_admin" -- "$work/stats_fetch" "$port"
' sh "$work" "$runs" "$port" | awk '
  $1 == 0 { t0 = $2; rss = $3 }
  $1 == 1 { t1 = $2; rss1 = $3 }
  END {
    printf "GUI_ice_status (server up, 20 playlists) median: stream_admin %.1f us, the server answering /admin/stats %.1f us, ratio %.2f\n", t0 * 1e6, t1 * 1e6, t0 / t1
    printf "peak resident memory: stream_admin %d KiB, stats_fetch %d KiB\n", rss, rss1
  }'
