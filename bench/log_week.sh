#!/bin/bash
# How large the streams' log folder grows: a simulated week of short tracks
# (one a minute on each of five playlists) through Debian's icecast2 started
# by tarnwick with the generated icecast.xml. Each track change is what the
# device's source client causes: a metadata update of its mount (an access
# log line, a playlist log line, an error log line of the server) and two
# lines of its own in ices.log; `tarnwick check` runs once a simulated
# minute, as cron runs it. Prints the largest size the folder reached and the
# sizes at the end, beside the week's total of log lines written.
#
# Runs in private mount, PID and network namespaces (its own /tmp, /var/log
# and loopback); needs root and icecast2. Takes a few minutes.
# Usage: bench/log_week.sh [DAYS]
set -euo pipefail
days=${1:-7}
cd "$(dirname "$0")/.."
if [ "${WAVELORN_BENCH_INSIDE:-}" != 1 ]; then
  [ "$(id -u)" = 0 ] || { echo "log_week: needs root (private namespaces)" >&2; exit 77; }
  command -v icecast2 >/dev/null || { echo "log_week: needs icecast2 (scripts/install-deps)" >&2; exit 77; }
  [ -x build/bin/tarnwick ] || scripts/build >/dev/null
  export WAVELORN_BENCH_INSIDE=1
  exec unshare --mount --pid --net --fork --mount-proc --propagation private "$0" "$days"
fi
ip link set lo up
work=$(mktemp -d "$PWD/build/logweek.XXXXXX")
trap 'rm -rf "$work"' EXIT
mount -t tmpfs wl-bench-tmp /tmp
mount -t tmpfs wl-bench-log /var/log
mkdir -p /var/log/wavelorn "$work/bin" "$work/conf"
cp /etc/group "$work/group"
grep -q '^allaccount:' "$work/group" || echo "allaccount:x:2049:nobody" >>"$work/group"
mount --bind "$work/group" /etc/group
# As the boot script leaves it for streams run as root (the config directory
# is root's): root's, the server's group's to write, sticky.
chown "0:$(awk -F: '$1 == "allaccount" { print $3; exit }' /etc/group)" /var/log/wavelorn
chmod 1770 /var/log/wavelorn
ln -s "$(command -v icecast2)" "$work/bin/icecast"
printf 'port=8600\npasswd=benchpassword\n' >"$work/conf/simple-icecast-conf"
printf %s "$work/conf" >/tmp/iceconf.dir
export PATH="$work/bin:$PATH"
build/bin/tarnwick start all
for _ in $(seq 100); do curl -s -o /dev/null http://127.0.0.1:8600/ && break; sleep 0.1; done
python3 - "$days" "$PWD/build/bin/tarnwick" <<'PY'
import base64, os, socket, subprocess, sys, threading, time, urllib.request
days, tarnwick = int(sys.argv[1]), sys.argv[2]
port, password, logdir = 8600, "benchpassword", "/var/log/wavelorn"
mounts = ["Playlist-%02d" % n for n in range(1, 6)]
frame = b"\xff\xfb\x90\x64" + b"\x00" * 413  # one silent MPEG frame, 128 kbit/s
def source(mount):
    s = socket.create_connection(("127.0.0.1", port))
    auth = base64.b64encode(("source:" + password).encode()).decode()
    s.sendall(("PUT /%s HTTP/1.1\r\nHost: 127.0.0.1\r\nAuthorization: Basic %s\r\n"
               "Content-Type: audio/mpeg\r\nIce-Name: %s\r\n\r\n" % (mount, auth, mount)).encode())
    while True:
        s.sendall(frame * 8)
        time.sleep(0.2)
for m in mounts:
    threading.Thread(target=source, args=(m,), daemon=True).start()
time.sleep(1)
admin = "Basic " + base64.b64encode(("admin:" + password).encode()).decode()
def folder_size():
    return sum(os.path.getsize(os.path.join(logdir, f)) for f in os.listdir(logdir))
largest, lines, missed = 0, 0, 0
ices = open(os.path.join(logdir, "ices.log"), "a")
for minute in range(days * 24 * 60):
    for m in mounts:
        title = "Artist %d - A title of an ordinary length, track %d" % (minute % 97, minute)
        req = urllib.request.Request("http://127.0.0.1:%d/admin/metadata?mount=/%s&mode=updinfo&song=%s"
                                     % (port, m, urllib.parse.quote(title)), headers={"Authorization": admin})
        try:
            urllib.request.urlopen(req, timeout=10).read()
        except OSError:
            missed += 1
        ices.write("[%s] INFO playlist-builtin/playlist_builtin_get_next Playing /mnt/HD/HD_a2/Music/%s/%s.mp3\n"
                   "[%s] INFO stream/ices_instance_stream Playing %s\n" % (time.ctime(), m, title, time.ctime(), title))
        ices.flush()
        lines += 5
    subprocess.run([tarnwick, "check"], stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    if minute % 60 == 0:
        largest = max(largest, folder_size())
largest = max(largest, folder_size())
print("a simulated %d days: %d track changes (%d updates not answered in time), %d log lines written"
      % (days, days * 24 * 60 * len(mounts), missed, lines))
print("log folder: largest %.1f KiB, at the end %.1f KiB:" % (largest / 1024, folder_size() / 1024))
for f in sorted(os.listdir(logdir)):
    print("  %-16s %8.1f KiB" % (f, os.path.getsize(os.path.join(logdir, f)) / 1024))
PY
