#!/bin/bash
# A whole device on this machine: lighttpd serving stream_admin as a CGI
# program, tarnwick on the CGI search path, Debian's icecast2 run as
# "icecast", the ices stand-in streaming through ezstream, and a music folder
# of short generated MP3 files.
#
#   device/device.sh           bring the device up, print the web page's address
#                              and ready-to-paste curl commands, run until
#                              interrupted; its config directory, port, playlists
#                              and music stay in build/device-state between runs
#   device/device.sh --fresh   the same, starting from an empty device-state
#   device/device.sh --smoke   walk through set port / new / enable / listen,
#                              exit 0 only if every step worked
#   device/device.sh --e2e     the end-to-end test (more steps, two streams,
#                              port moves, deletion); prints "N passed, M failed"
#   device/device.sh --browser the web pages driven through Debian's Chromium
#                              (Selenium) and Firefox ESR (WebDriver BiDi), headless,
#                              at desktop and phone sizes: device/browser_test.py;
#                              WAVELORN_SCREENSHOT=FILE and
#                              WAVELORN_PHONE_SCREENSHOT=FILE save Chromium's
#                              pictures of the page there
#
# Everything runs in private mount and PID namespaces: its own /tmp, its own
# /var/log, a copy of /etc/group with the group icecast.xml names, and nothing
# it starts outlives it. The machine itself is not changed. Needs root.
set -euo pipefail

ROOT=$(cd "$(dirname "$0")/.." && pwd)
MODE=${1:-run}
if [ "$MODE" = --fresh ]; then
  MODE=run
  export WAVELORN_DEVICE_FRESH=1
fi
# The build to run: its bin/ and device/ folders (scripts/build makes build/).
# Absolute: the web server runs the CGI from a folder of its own.
BUILD=$(realpath -m "${WAVELORN_BUILD_DIR:-$ROOT/build}")
# Or installed programs (the package test): WAVELORN_DEVICE_CGI is the
# installed stream_admin, WAVELORN_DEVICE_PATH the folders put first on the
# CGI search path (where tarnwick, icecast and ices were installed), and
# WAVELORN_DEVICE_CONF the installed config directory.
DEVICE_CGI=${WAVELORN_DEVICE_CGI:-}
DEVICE_PATH=${WAVELORN_DEVICE_PATH:-}
DEVICE_CONF=${WAVELORN_DEVICE_CONF:-}
# WAVELORN_DEVICE_WEB_USER: the user lighttpd runs the CGI program as
# (default: root, as lighttpd is started).
DEVICE_WEB_USER=${WAVELORN_DEVICE_WEB_USER:-}

if [ "${WAVELORN_DEVICE_INSIDE:-}" != 1 ]; then
  case "$MODE" in run | --smoke | --e2e | --browser) ;; *) echo "usage: $0 [--fresh|--smoke|--e2e|--browser]" >&2; exit 2 ;; esac
  if [ "$(id -u)" != 0 ]; then
    echo "device.sh: needs root (private namespaces, icecast2's changeowner)" >&2
    exit 77
  fi
  # The browser test's browsers, drivers, puppeteer-core and axe-core.
  BROWSER_PACKAGES=
  [ "$MODE" != --browser ] || BROWSER_PACKAGES="--browser"
  # The end-to-end test visits another site's page in Chromium.
  [ "$MODE" != --e2e ] || BROWSER_PACKAGES="chromium"
  if [ "${WAVELORN_DEVICE_NO_BUILD:-}" != 1 ]; then
    "$ROOT/scripts/install-deps" $BROWSER_PACKAGES
    "$ROOT/scripts/build" >/dev/null
  elif [ -n "$BROWSER_PACKAGES" ]; then
    "$ROOT/scripts/install-deps" $BROWSER_PACKAGES || true
  fi
  if [ ! -x "$BUILD/device/ices" ]; then
    echo "device.sh: $BUILD/device/ices is missing (it needs libxml2-dev: scripts/install-deps)" >&2
    exit 77
  fi
  if [ "$MODE" = --browser ] && ! { command -v chromium && command -v chromedriver && command -v firefox-esr &&
    command -v node && /usr/bin/python3 -c 'import selenium' &&
    [ -f "$ROOT/build/node/node_modules/puppeteer-core/package.json" ]; } >/dev/null 2>&1; then
    echo "device.sh: the browser test needs chromium, chromium-driver, python3-selenium, firefox-esr, node and build/node (scripts/install-deps --browser)" >&2
    exit 77
  fi
  for shot in WAVELORN_SCREENSHOT WAVELORN_PHONE_SCREENSHOT; do
    if [ -n "$(printenv "$shot" || true)" ]; then
      export "$shot=$(realpath -m "$(printenv "$shot")")"
    fi
  done
  export WAVELORN_DEVICE_INSIDE=1 WAVELORN_BUILD_DIR="$BUILD" WAVELORN_DEVICE_CGI="$DEVICE_CGI" \
    WAVELORN_DEVICE_PATH="$DEVICE_PATH" WAVELORN_DEVICE_CONF="$DEVICE_CONF" WAVELORN_DEVICE_WEB_USER="$DEVICE_WEB_USER"
  # The end-to-end test has a network of its own, with a second machine on
  # its LAN (see below).
  NET=
  [ "$MODE" != --e2e ] || NET=--net
  exec unshare --mount --pid $NET --fork --mount-proc --propagation private "$0" "$MODE"
fi
[ "$MODE" != --e2e ] || ip link set lo up

# ---------------------------------------------------------------- the device
# The run mode keeps its config directory, music and web port in STATE; the
# tests start from nothing in sandboxes of their own.
STATE="$BUILD/device-state"
case "$MODE" in
  run)
    [ "${WAVELORN_DEVICE_FRESH:-}" != 1 ] || rm -rf "$STATE"
    SB="$STATE/run" ;;
  --browser) SB="$BUILD/device-sandbox-browser" ;;
  *) SB="$BUILD/device-sandbox" ;;
esac
rm -rf "$SB"
mkdir -p "$SB"/{bin,cgi-bin,log}
if [ "$MODE" = run ]; then
  MUSIC="$STATE/music"
  mkdir -p "$STATE/iceconf"
  CONF=${DEVICE_CONF:-$STATE/iceconf}
else
  MUSIC="$SB/music"
  mkdir -p "$SB/iceconf"
  CONF=${DEVICE_CONF:-$SB/iceconf}
fi

mount -t tmpfs wavelorn-tmp /tmp
mount -t tmpfs wavelorn-log /var/log
mkdir /var/log/wavelorn
mount --bind "$SB/log" /var/log/wavelorn

# The device provisions a group "allaccount"; icecast2 changes to it.
cp /etc/group "$SB/group"
if ! grep -q '^allaccount:' "$SB/group"; then
  gid=2049
  while getent group "$gid" >/dev/null; do gid=$((gid + 1)); done
  echo "allaccount:x:$gid:nobody" >>"$SB/group"
fi
mount --bind "$SB/group" /etc/group
# The log folder as the boot script leaves it: the stream user's (the config
# directory's owner); when that is root, root's, the server's group's to
# write, sticky, for the server (nobody:allaccount) and root's clients.
if [ "$(stat -c %u "$CONF")" = 0 ]; then
  chown "0:$(awk -F: '$1 == "allaccount" { print $3; exit }' /etc/group)" "$SB/log"
  chmod 1770 "$SB/log"
else
  chown "$(stat -c %u:%g "$CONF")" "$SB/log"
fi
# The browser test opens the page by a name the device does not go by.
if [ "$MODE" = --browser ]; then
  { cat /etc/hosts; echo "127.0.0.1 chromium.music-room.test firefox.music-room.test"; } >"$SB/hosts"
  mount --bind "$SB/hosts" /etc/hosts
fi

printf %s "$CONF" >/tmp/iceconf.dir
# The page browses the music folder for playlists, which hold music from
# there only; the streaming server gets a password of its own, as the
# installer gives it (an installed device has both already).
if [ -z "$DEVICE_CONF" ]; then
  settings="$CONF/simple-icecast-conf"
  password=$({ sed -n 's/^passwd=//p' "$settings" 2>/dev/null || true; } | head -n 1)
  [ -n "$password" ] || password=$(od -An -N16 -tx1 /dev/urandom | tr -d ' \n')
  { grep -v -e '^music_roots=' -e '^passwd=' "$settings" 2>/dev/null || true
    printf 'music_roots=%s\npasswd=%s\n' "$MUSIC" "$password"; } >"$settings.new"
  mv "$settings.new" "$settings"
fi

if [ -n "$DEVICE_CGI" ]; then
  CGI_DIR=$(dirname "$DEVICE_CGI")
  [ "$(basename "$DEVICE_CGI")" = stream_admin ] || { echo "device.sh: the CGI program must be named stream_admin" >&2; exit 2; }
else
  CGI_DIR=$SB/cgi-bin
  cp "$BUILD/bin/stream_admin" "$SB/cgi-bin/stream_admin"
  cp "$BUILD/bin/tarnwick" "$SB/bin/tarnwick"
fi
cp "$BUILD/device/ices" "$SB/bin/ices"
ln -s "$(command -v icecast2)" "$SB/bin/icecast"
# Installed programs (the package test) run as on a device whose web server
# gives its CGI programs no environment of its own (Debian's lighttpd gives
# no PATH) and whose owner installed icecast and ices by hand in
# /usr/local/bin: they must be found all the same.
if [ -n "$DEVICE_CGI" ]; then
  mkdir -p "$SB/local-bin"
  for program in /usr/local/bin/*; do [ ! -e "$program" ] || ln -s "$program" "$SB/local-bin/"; done
  ln -s "$SB/bin/ices" "$SB/local-bin/ices"
  ln -s "$(command -v icecast2)" "$SB/local-bin/icecast"
  mount --bind "$SB/local-bin" /usr/local/bin
fi

# A handful of short MP3 files in nested folders (made once in device-state).
if [ ! -d "$MUSIC" ]; then
rm -rf "$MUSIC.new"
python3 - "$MUSIC.new" <<'PY'
import math, os, struct, sys, wave
top = sys.argv[1]
songs = [("Ambient/Morning", "01 Sunrise"), ("Ambient/Morning", "02 Dew"), ("Ambient/Evening", "01 Dusk"),
         ("Jazz & Blues/Live", "01 Opening"), ("Jazz & Blues/Live", "02 Encore"), ("Singles", "Hum")]
for n, (folder, title) in enumerate(songs):
    os.makedirs(os.path.join(top, folder), exist_ok=True)
    path = os.path.join(top, folder, title + ".wav")
    with wave.open(path, "wb") as w:
        w.setnchannels(1); w.setsampwidth(2); w.setframerate(22050)
        freq = 220 * (n + 2)
        w.writeframes(b"".join(struct.pack("<h", int(8000 * math.sin(2 * math.pi * freq * i / 22050)))
                               for i in range(22050 * 4)))
PY
find "$MUSIC.new" -name '*.wav' | while read -r wav; do
  lame --quiet -b 64 "$wav" "${wav%.wav}.mp3" && rm "$wav"
done
mv "$MUSIC.new" "$MUSIC"
fi

# The end-to-end test's LAN: the device at LAN_DEVICE, and another machine
# at LAN_OTHER in a network namespace of its own, joined by a veth pair; that
# machine also serves another site's pages at LAN_SITE. The addresses exist
# only inside the test's namespaces.
LAN_DEVICE=198.18.0.1
LAN_OTHER=198.18.0.2
LAN_SITE=198.18.0.3
if [ "$MODE" = --e2e ]; then
  unshare --net sleep infinity &
  LAN_PID=$!
  for _ in $(seq 50); do [ "$(readlink /proc/$LAN_PID/ns/net)" != "$(readlink /proc/self/ns/net)" ] && break; sleep 0.1; done
  ip link add wl-device type veth peer name wl-other netns "$LAN_PID"
  ip addr add "$LAN_DEVICE/24" dev wl-device
  ip link set wl-device up
  nsenter --net="/proc/$LAN_PID/ns/net" sh -c "ip link set lo up && ip addr add $LAN_OTHER/24 dev wl-other && ip addr add $LAN_SITE/24 dev wl-other && ip link set wl-other up"
fi
# other CMD...: runs CMD on the other machine of the LAN.
other() { nsenter --net="/proc/$LAN_PID/ns/net" "$@"; }

free_port() {
  python3 -c 'import socket; s = socket.socket(); s.bind(("127.0.0.1", 0)); print(s.getsockname()[1])'
}
# port_free PORT: a server could listen there (as servers do, despite
# connections of a former one still closing).
port_free() {
  python3 -c 'import socket, sys
s = socket.socket(); s.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1); s.bind(("127.0.0.1", int(sys.argv[1])))' "$1" 2>/dev/null
}
# The run mode keeps its web page's address between runs when it can.
HTTP_PORT=
if [ "$MODE" = run ] && [ -s "$STATE/http-port" ] && port_free "$(cat "$STATE/http-port")"; then
  HTTP_PORT=$(cat "$STATE/http-port")
fi
[ -n "$HTTP_PORT" ] || HTTP_PORT=$(free_port)
[ "$MODE" != run ] || echo "$HTTP_PORT" >"$STATE/http-port"
# The web page's static files, then stream_admin as CGI below /cgi-bin/.
cat >"$SB/lighttpd.conf" <<EOF
server.modules = ("mod_indexfile", "mod_alias", "mod_cgi", "mod_setenv", "mod_staticfile")
server.document-root = "$ROOT/page"
index-file.names = ("index.html")
mimetype.assign = (
  ".html" => "text/html; charset=utf-8",
  ".js" => "text/javascript; charset=utf-8",
  ".css" => "text/css; charset=utf-8",
  ".png" => "image/png",
)
server.bind = "127.0.0.1"
server.port = $HTTP_PORT
$( [ "$MODE" != --e2e ] || printf '%s\n' "\$SERVER[\"socket\"] == \"$LAN_DEVICE:$HTTP_PORT\" {}" \
  'server.modules += ("mod_accesslog")' "accesslog.filename = \"$SB/access.log\"" )
server.errorlog = "$SB/lighttpd-error.log"
server.pid-file = "$SB/lighttpd.pid"
alias.url = ("/cgi-bin/" => "$CGI_DIR/")
\$HTTP["url"] =~ "^/cgi-bin/" { cgi.assign = ("" => "") }
$( [ -n "$DEVICE_CGI" ] || echo "setenv.add-environment = (\"PATH\" => \"$SB/bin:/usr/sbin:/usr/bin:/sbin:/bin\")" )
EOF
if [ -n "$DEVICE_WEB_USER" ]; then
  echo "server.username = \"$DEVICE_WEB_USER\"" >>"$SB/lighttpd.conf"
  : >"$SB/lighttpd-error.log"
  : >"$SB/access.log"
  chown "$DEVICE_WEB_USER" "$SB/lighttpd-error.log" "$SB/access.log"
fi
lighttpd -D -f "$SB/lighttpd.conf" &
CGI="http://127.0.0.1:$HTTP_PORT/cgi-bin/stream_admin"
for _ in $(seq 50); do curl -s -o /dev/null "$CGI" && break; sleep 0.1; done

# -------------------------------------------------------------- walk-through
PASSED=0
FAILED=0
LAST=""

check() {  # check DESCRIPTION COMMAND...: runs the command, counts the result
  local what=$1
  shift
  if "$@"; then
    PASSED=$((PASSED + 1))
    echo "ok    $what"
  else
    FAILED=$((FAILED + 1))
    echo "FAIL  $what"
    case $MODE in --e2e | --browser) ;; *) finish ;; esac
  fi
}

# cgi QUERY | cgi_multipart FIELD=VALUE...: one request through lighttpd;
# the response body lands in $LAST. Every response must come back within 2 s.
cgi() {
  local took
  took=$(curl -s -o "$SB/response" -w '%{time_total}' --max-time 10 "$CGI?$1") || true
  LAST=$(cat "$SB/response")
  awk -v t="$took" 'BEGIN { exit !(t + 0 < 2.0) }' || { echo "      slow response: ${took}s for $1"; return 1; }
}
cgi_multipart() {
  local args=() took
  for field in "$@"; do args+=(-F "$field"); done
  took=$(curl -s -o "$SB/response" -w '%{time_total}' --max-time 10 "${args[@]}" "$CGI") || true
  LAST=$(cat "$SB/response")
  awk -v t="$took" 'BEGIN { exit !(t + 0 < 2.0) }' || { echo "      slow response: ${took}s"; return 1; }
}
answered() { cgi "$1" && [ "$LAST" = "$2" ]; }
res1() { answered "$1" '<?xml version="1.0" encoding="UTF-8"?>
<config><res>1</res></config>'; }
urlencode() { python3 -c 'import sys, urllib.parse; print(urllib.parse.quote(sys.argv[1], safe=""))' "$1"; }

listening() {  # listening PORT: the server answers there within 10 s
  for _ in $(seq 100); do
    curl -s -o /dev/null --max-time 1 "http://127.0.0.1:$1/" && return 0
    sleep 0.1
  done
  return 1
}
closed() { ! curl -s -o /dev/null --max-time 1 "http://127.0.0.1:$1/"; }
streams() {  # streams PORT NAME: the mount delivers MP3 audio within 20 s
  local url="http://127.0.0.1:$1/$(urlencode "$2")"
  for _ in $(seq 40); do
    rm -f "$SB/audio"
    curl -s --max-time 2 -o "$SB/audio" -f "$url" || true
    if [ -s "$SB/audio" ] && python3 "$ROOT/device/mp3check.py" "$SB/audio" >"$SB/audio.check"; then
      echo "      $(cat "$SB/audio.check")"
      return 0
    fi
    sleep 0.5
  done
  return 1
}
silent() {  # silent PORT NAME: the mount is gone within 10 s
  local url="http://127.0.0.1:$1/$(urlencode "$2")"
  for _ in $(seq 20); do
    [ "$(curl -s -o /dev/null -w '%{http_code}' --max-time 1 "$url")" = 404 ] && return 0
    sleep 0.5
  done
  return 1
}
tune_in() {  # tune_in PORT NAME: the .m3u answers with the stream's URL
  curl -s --max-time 2 "http://127.0.0.1:$1/$(urlencode "$2").m3u" | grep -q ":$1/"
}
# links_of NAME: "FUNCTION ARGUMENT" for each link cell of NAME's table row,
# read as a browser reads them.
links_of() {
  cgi "cmd=GUI_ice_playlist&page=1" && printf '%s' "$LAST" >"$SB/table.xml" &&
    python3 "$ROOT/device/table_links.py" "$SB/table.xml" "$1"
}
# follow_link NAME FUNCTION: the link to the page function FUNCTION hands it
# exactly NAME; then sends the command that function stands for.
follow_link() {
  local arg
  arg=$(links_of "$1" | sed -n "s/^$2 //p")
  [ "$arg" = "$1" ] || { echo "      $2 received '$arg'"; return 1; }
  case $2 in
    isplaylist_enable) res1 "cmd=GUI_ice_playlist_enable&f_name=$(urlencode "$arg")" ;;
    isplaylist_disable) res1 "cmd=GUI_ice_playlist_disable&f_name=$(urlencode "$arg")" ;;
  esac
}
# follow_tune_in NAME: the tune-in link hands over PORT/NAME.m3u, which opens
# the playlist on the device's host.
follow_tune_in() {
  local arg
  arg=$(links_of "$1" | sed -n 's/^ices_playlist //p')
  [ "$arg" = "$PORT2/$1.m3u" ] || { echo "      ices_playlist received '$arg'"; return 1; }
  curl -s --max-time 2 "http://127.0.0.1:${arg%%/*}/$(urlencode "${arg#*/}")" | grep -q ":${arg%%/*}/"
}
# listener_stayed: the background listener ($LISTENER) ran into its own time
# limit (curl's status 28) instead of losing the stream.
listener_stayed() {
  local status=0
  wait "$LISTENER" || status=$?
  [ "$status" = 28 ]
}
# status_has_figures NAME: GUI_ice_status shows the songs of NAME, the
# server's listener count and title for it (the server's statistics may miss the one-second limit
# of a request now and then on a busy machine: a few tries).
status_has_figures() {
  for _ in 1 2 3 4 5; do
    curl -s --max-time 3 "$CGI?cmd=GUI_ice_status" |
      grep -qE "<name>$1</name><enabled>1</enabled><running>1</running><songs>[1-9][0-9]*</songs><listeners>[0-9]+</listeners><title>" && return 0
    sleep 1
  done
  return 1
}
# status_title NAME TITLE: GUI_ice_status shows TITLE for NAME within 30 s.
status_title() {
  for _ in $(seq 30); do
    curl -s --max-time 3 "$CGI?cmd=GUI_ice_status" | python3 -c '
import sys, xml.etree.ElementTree as tree
for playlist in tree.parse(sys.stdin).iter("playlist"):
    if playlist.findtext("name") == sys.argv[1] and playlist.findtext("title") == sys.argv[2]:
        sys.exit(0)
sys.exit(1)' "$1" "$2" 2>/dev/null && return 0
    sleep 1
  done
  echo "      last status: $(curl -s --max-time 3 "$CGI?cmd=GUI_ice_status")"
  return 1
}
# From the other machine on the LAN. lan_streams PORT NAME: it hears the
# mount within 20 s. lan_code CURL-ARGS...: the HTTP status it gets.
# lan_cgi QUERY [HEADER...]: its request through the web server, with these
# headers; the response body lands in $LAST.
lan_streams() {
  local url="http://$LAN_DEVICE:$1/$(urlencode "$2")"
  for _ in $(seq 40); do
    rm -f "$SB/lan-audio"
    other curl -s --max-time 2 -o "$SB/lan-audio" -f "$url" || true
    [ -s "$SB/lan-audio" ] && python3 "$ROOT/device/mp3check.py" "$SB/lan-audio" >/dev/null && return 0
    sleep 0.5
  done
  return 1
}
lan_code() { other curl -s -o /dev/null -w '%{http_code}' --max-time 5 "$@" || true; }
lan_refused() {  # lan_refused CURL-ARGS...: answered 401
  local code
  code=$(lan_code "$@")
  [ "$code" = 401 ] || { echo "      answered $code"; return 1; }
}
lan_cgi() {
  local query=$1 args=()
  shift
  for header; do args+=(-H "$header"); done
  LAST=$(other curl -s --max-time 10 "${args[@]}" "http://$LAN_DEVICE:$HTTP_PORT/cgi-bin/stream_admin?$query") || true
}
lan_answers() {  # lan_answers RES QUERY [HEADER...]: <res>RES</res>
  local res=$1
  shift
  lan_cgi "$@"
  [ "$LAST" = '<?xml version="1.0" encoding="UTF-8"?>
<config><res>'"$res"'</res></config>' ] || { echo "      answered: $LAST"; return 1; }
}
in_table() { cgi "cmd=GUI_ice_playlist&page=1" && grep -qF "<cell>$1</cell>" <<<"$LAST"; }
no_files_of() {
  [ ! -e "$CONF/playlist-$1" ] && [ ! -e "$CONF/simple-ices-conf-$1" ] &&
    [ ! -e "$CONF/ices.conf-$1" ]
}

finish() {
  trap - EXIT INT TERM
  [ "$MODE" = run ] || echo "$PASSED passed, $FAILED failed"
  # Leaving the PID namespace ends everything started in it.
  [ "$FAILED" = 0 ] && exit 0
  echo "logs: $SB/log, $SB/lighttpd-error.log" >&2
  exit 1
}
trap finish EXIT INT TERM

PORT1=$(free_port)
PORT2=$(free_port)

if [ "$MODE" = --browser ]; then
  # The same steps in each browser, one after the other on one device, each
  # on a port of its own.
  BROWSER_START=$(date +%s)
  check "the web pages work in Chromium" timeout --kill-after=10 400 /usr/bin/python3 "$ROOT/device/browser_test.py" \
    --browser chromium --url "http://127.0.0.1:$HTTP_PORT/" --port "$PORT1" --music "$MUSIC" --conf "$CONF" \
    --cgi "$CGI_DIR/stream_admin" \
    ${WAVELORN_SCREENSHOT:+--screenshot "$WAVELORN_SCREENSHOT"} \
    ${WAVELORN_PHONE_SCREENSHOT:+--phone-screenshot "$WAVELORN_PHONE_SCREENSHOT"} \
    --failure-screenshot "$SB/failed-chromium.png"
  check "the web pages work in Firefox ESR" timeout --kill-after=10 400 /usr/bin/python3 "$ROOT/device/browser_test.py" \
    --browser firefox --url "http://127.0.0.1:$HTTP_PORT/" --port "$PORT2" --music "$MUSIC" --conf "$CONF" \
    --cgi "$CGI_DIR/stream_admin" --failure-screenshot "$SB/failed-firefox.png"
  echo "both browsers took $(( $(date +%s) - BROWSER_START )) s"
  finish
fi

if [ "$MODE" = run ]; then
  # The port of the last run, unless another program holds it now.
  KEPT=$(sed -n 's/^port=//p' "$CONF/simple-icecast-conf" 2>/dev/null | head -n 1)
  if [ -n "$KEPT" ] && port_free "$KEPT"; then PORT1=$KEPT; fi
  res1 "cmd=GUI_ice_set&f_port=$PORT1" && listening "$PORT1" || { echo "icecast did not start" >&2; FAILED=1; finish; }
  cat <<EOF
The device is up (Ctrl-C stops everything):
  web page    http://127.0.0.1:$HTTP_PORT/   (open it in a browser)
  web server  $CGI   (lighttpd, stream_admin as CGI)
  streaming   http://127.0.0.1:$PORT1/   (icecast2, started by tarnwick)
  config dir  $CONF   (kept between runs; scripts/run --fresh starts afresh)
  music       $MUSIC
  logs        $SB/log

Try:
  curl -s '$CGI?cmd=GUI_ice_get'
  curl -s '$CGI?cmd=GUI_ice_playlist_new&f_name=Demo&f_genre=Ambient&f_desc=Generated&f_randomized=0&f_total=1&f_dir0=$(urlencode "$MUSIC")'
  curl -s '$CGI?cmd=GUI_ice_playlist_enable&f_name=Demo'
  curl -s '$CGI?cmd=GUI_ice_playlist&page=1'
  curl -s 'http://127.0.0.1:$PORT1/Demo.m3u'
  curl -s --max-time 5 -o demo.mp3 'http://127.0.0.1:$PORT1/Demo'     # listen
  curl -s '$CGI?cmd=GUI_ice_set&f_port=$PORT2'
EOF
  while :; do sleep 3600 & wait $!; done
fi

check "GUI_ice_set starts icecast2 on port $PORT1" res1 "cmd=GUI_ice_set&f_port=$PORT1"
check "icecast2 listens on $PORT1" listening "$PORT1"
check "GUI_ice_get answers the port" answered "cmd=GUI_ice_get" '<?xml version="1.0" encoding="UTF-8"?>
<config><res>1</res><port>'"$PORT1"'</port></config>'
check "GUI_ice_playlist_new (urlencoded) answers <res>1</res>" \
  res1 "cmd=GUI_ice_playlist_new&f_name=Demo&f_genre=Ambient&f_desc=Generated&f_randomized=0&f_total=1&f_dir0=$(urlencode "$MUSIC/Ambient")"
check "the table lists Demo" in_table Demo
check "GUI_ice_playlist_enable Demo" res1 "cmd=GUI_ice_playlist_enable&f_name=Demo"
check "Demo streams MP3 audio" streams "$PORT1" Demo
check "the tune-in link's .m3u answers" tune_in "$PORT1" Demo

if [ "$MODE" = --e2e ]; then
  NAME="Jazz & Blues Live"
  check "GUI_ice_playlist_new (multipart) answers <res>1</res>" cgi_multipart \
    cmd=GUI_ice_playlist_new "f_name=$NAME" f_genre=Jazz f_desc=Night f_randomized=1 f_total=2 \
    "f_dir0=$MUSIC/Jazz & Blues" "f_dir1=$MUSIC/Singles/Hum.mp3"
  check "  ... with <res>1</res>" [ "$LAST" = '<?xml version="1.0" encoding="UTF-8"?>
<config><res>1</res></config>' ]
  check "its playlist holds three files" [ "$(wc -l <"$CONF/playlist-$NAME")" = 3 ]
  # Text cells carry HTML, written as XML text: "&" is "&amp;" in HTML, "&amp;amp;" here.
  check "the table lists it" in_table "Jazz &amp;amp; Blues Live"
  check "GUI_ice_playlist_enable '$NAME'" res1 "cmd=GUI_ice_playlist_enable&f_name=$(urlencode "$NAME")"
  check "'$NAME' streams" streams "$PORT1" "$NAME"
  check "Demo streams at the same time" streams "$PORT1" Demo
  check "GUI_ice_playlist_disable Demo" res1 "cmd=GUI_ice_playlist_disable&f_name=Demo"
  check "Demo's stream ends" silent "$PORT1" Demo
  check "its ezstream died with its source client" [ "$(pgrep -xc ezstream)" = 1 ]
  check "'$NAME' goes on" streams "$PORT1" "$NAME"
  check "GUI_ice_playlist_enable Demo again" res1 "cmd=GUI_ice_playlist_enable&f_name=Demo"
  check "GUI_ice_set moves to port $PORT2" res1 "cmd=GUI_ice_set&f_port=$PORT2"
  check "icecast2 listens on $PORT2" listening "$PORT2"
  check "nothing listens on $PORT1 any more" closed "$PORT1"
  check "Demo streams on $PORT2" streams "$PORT2" Demo
  check "'$NAME' streams on $PORT2" streams "$PORT2" "$NAME"
  check "the .m3u names the new port" tune_in "$PORT2" "$NAME"
  check "GUI_ice_playlist_del '$NAME'" res1 "cmd=GUI_ice_playlist_del&f_name=$(urlencode "$NAME")"
  check "every file of '$NAME' is gone" no_files_of "$NAME"
  check "'$NAME' stream ends" silent "$PORT2" "$NAME"
  check "Demo goes on" streams "$PORT2" Demo
  check "a refused name changes nothing" answered "cmd=GUI_ice_playlist_del&f_name=..%2Fx" \
    '<?xml version="1.0" encoding="UTF-8"?>
<config><res>0</res></config>'

  # Names that an unquoted href, a javascript: URL or a script string cannot
  # carry as they are: every link of the table hands the page the exact name.
  for LINKED in "Road Trip" "O'Brien"; do
    check "GUI_ice_playlist_new '$LINKED'" res1 "cmd=GUI_ice_playlist_new&f_name=$(urlencode "$LINKED")&f_genre=Mix&f_desc=&f_randomized=0&f_total=1&f_dir0=$(urlencode "$MUSIC/Ambient")"
    check "  its enable link, followed, enables it" follow_link "$LINKED" isplaylist_enable
    check "  '$LINKED' streams" streams "$PORT2" "$LINKED"
    check "  its tune-in link opens its playlist" follow_tune_in "$LINKED"
    check "  its disable link, followed, disables it" follow_link "$LINKED" isplaylist_disable
    check "  '$LINKED' stream ends" silent "$PORT2" "$LINKED"
    check "  GUI_ice_playlist_del '$LINKED'" res1 "cmd=GUI_ice_playlist_del&f_name=$(urlencode "$LINKED")"
  done

  # A client that dies is brought back by tarnwick check, and only it.
  tw() { PATH="${DEVICE_PATH:+$DEVICE_PATH:}$SB/bin:/usr/sbin:/usr/bin:/sbin:/bin" tarnwick "$@"; }
  DEMO_PID=$(tw status | awk -F'\t' '$1 == "playlist" && $2 == "Demo" { print $5 }')
  SERVER_PID=$(tw status | awk -F'\t' '$1 == "server" { print $5 }')
  check "tarnwick status: the server listens and Demo is live" \
    bash -c "$(declare -f tw); SB='$SB' DEVICE_PATH='${DEVICE_PATH:-}'; tw status | grep -qxF \"\$(printf 'server\\trunning\\t$PORT2\\tlistening\\t$SERVER_PID')\" && tw status | grep -qP '^playlist\\tDemo\\tenabled\\tlive\\t$DEMO_PID\$'"
  kill -9 "$DEMO_PID"
  check "Demo's stream ends when its client is killed" silent "$PORT2" Demo
  check "tarnwick status then exits 3" bash -c "$(declare -f tw); SB='$SB' DEVICE_PATH='${DEVICE_PATH:-}'; tw status >/dev/null; [ \$? = 3 ]"
  check "tarnwick check exits 0" tw check
  check "Demo streams again" streams "$PORT2" Demo
  check "the server was left alone" [ "$(tw status | awk -F'\t' '$1 == "server" { print $5 }')" = "$SERVER_PID" ]

  # A folder that follows the music: a file added and rescanned reaches the
  # playlist while a listener stays connected.
  mkdir "$MUSIC/Live"
  cp "$MUSIC/Ambient/Morning/01 Sunrise.mp3" "$MUSIC/Live/"
  check "GUI_ice_playlist_new Live" res1 "cmd=GUI_ice_playlist_new&f_name=Live&f_genre=Live&f_desc=Folder&f_randomized=0&f_total=1&f_dir0=$(urlencode "$MUSIC/Live")"
  check "GUI_ice_playlist_enable Live" res1 "cmd=GUI_ice_playlist_enable&f_name=Live"
  check "Live streams" streams "$PORT2" Live
  curl -s --max-time 8 -o "$SB/listener" "http://127.0.0.1:$PORT2/Live" & LISTENER=$!
  sleep 2
  cp "$MUSIC/Singles/Hum.mp3" "$MUSIC/Live/"
  check "GUI_ice_playlist_rescan Live" res1 "cmd=GUI_ice_playlist_rescan&f_name=Live"
  check "  the new file is in the playlist" grep -qxF "$MUSIC/Live/Hum.mp3" "$CONF/playlist-Live"
  check "  the listener stayed connected to the end" listener_stayed
  check "  and kept receiving audio" bash -c "[ \$(stat -c %s '$SB/listener') -gt 40000 ] && python3 '$ROOT/device/mp3check.py' '$SB/listener' >/dev/null"
  check "GUI_ice_status counts listeners and names the title" status_has_figures Live
  check "GUI_ice_folders counts the songs of Live as its playlist holds them" answered \
    "cmd=GUI_ice_folders&f_count=1&f_path=$(urlencode "$MUSIC/Live")" '<?xml version="1.0" encoding="UTF-8"?>
<config><res>1</res><path>'"$(realpath "$MUSIC/Live")"'</path><songs>2</songs></config>'

  # Folders followed by themselves: the minute's check finds a song added to
  # Live's folder, rebuilds the playlist and has its client reread it; the
  # client and its listener stay.
  LIVE_PID=$(tw status | awk -F'\t' '$1 == "playlist" && $2 == "Live" { print $5 }')
  curl -s --max-time 8 -o "$SB/listener" "http://127.0.0.1:$PORT2/Live" & LISTENER=$!
  sleep 2
  cp "$MUSIC/Singles/Hum.mp3" "$MUSIC/Live/Hum again.mp3"
  check "tarnwick check rebuilds Live, whose folder changed" \
    bash -c "$(declare -f tw); SB='$SB' DEVICE_PATH='${DEVICE_PATH:-}'; tw check | grep -qxF 'rescanned Live: 3 songs (+1)'"
  check "  the new file is in the playlist" grep -qxF "$MUSIC/Live/Hum again.mp3" "$CONF/playlist-Live"
  check "  the same client plays on" [ "$(tw status | awk -F'\t' '$1 == "playlist" && $2 == "Live" { print $5 }')" = "$LIVE_PID" ]
  check "  the listener stayed connected to the end" listener_stayed
  check "  and kept receiving audio" bash -c "[ \$(stat -c %s '$SB/listener') -gt 40000 ] && python3 '$ROOT/device/mp3check.py' '$SB/listener' >/dev/null"
  check "  the next check, nothing having changed, rebuilds nothing" \
    bash -c "$(declare -f tw); SB='$SB' DEVICE_PATH='${DEVICE_PATH:-}'; ! tw check | grep -q rescanned"

  # Titles as tagged: a song tagged "Ünïcødé" in each text encoding of ID3v2
  # and in ID3v1; the source client sends each title without a character set.
  mapfile -t TAGGED < <(python3 "$ROOT/device/tagged_songs.py" "$MUSIC/Singles/Hum.mp3" "$MUSIC/Tagged")
  check "GUI_ice_playlist_new Tagged" res1 "cmd=GUI_ice_playlist_new&f_name=Tagged&f_genre=Tags&f_desc=Titles&f_randomized=0&f_total=1&f_dir0=$(urlencode "$MUSIC/Tagged")"
  check "GUI_ice_playlist_enable Tagged" res1 "cmd=GUI_ice_playlist_enable&f_name=Tagged"
  for SONG in "${TAGGED[@]}"; do
    check "  GUI_ice_status shows '${SONG#*$'\t'}' for '${SONG%%$'\t'*}'" status_title Tagged "${SONG#*$'\t'}"
  done
  check "GUI_ice_playlist_del Tagged" res1 "cmd=GUI_ice_playlist_del&f_name=Tagged"

  # Another machine on the LAN hears the streams but cannot steer them:
  # the server's password is the device's own, and the web commands refuse
  # requests sent from another site or to a name the device does not go by.
  check "from the LAN: a listener hears Demo" lan_streams "$PORT2" Demo
  ADMIN="http://$LAN_DEVICE:$PORT2/admin"
  check "from the LAN: killsource with the fixed password is refused" \
    lan_refused -u admin:quillfen "$ADMIN/killsource?mount=/Demo"
  check "  ... and so are metadata and listclients" bash -c "$(declare -f other lan_code lan_refused); LAN_PID=$LAN_PID
    lan_refused -u admin:quillfen '$ADMIN/metadata?mount=/Demo&mode=updinfo&song=HACKED' &&
    lan_refused -u admin:quillfen '$ADMIN/listclients?mount=/Demo'"
  check "  ... and a source with the fixed password" lan_refused -X PUT -u source:quillfen \
    -H 'Content-Type: audio/mpeg' --data-binary "@$MUSIC/Singles/Hum.mp3" "http://$LAN_DEVICE:$PORT2/Intruder"
  check "  ... and the listener still hears Demo" lan_streams "$PORT2" Demo
  check "from the LAN: a cross-site delete is refused" \
    lan_answers 0 "cmd=GUI_ice_playlist_del&f_name=Demo" "Origin: http://evil.example"
  check "  ... and a delete from a page with a foreign Referer" \
    lan_answers 0 "cmd=GUI_ice_playlist_del&f_name=Demo" "Referer: http://evil.example/cats.html"
  check "  ... and a port change through a rebinding Host" \
    lan_answers 0 "cmd=GUI_ice_set&f_port=$PORT1" "Host: rebound.example:$HTTP_PORT" "Origin: http://rebound.example:$HTTP_PORT"
  check "  ... Demo is still listed and streams on $PORT2" bash -c "[ -e '$CONF/playlist-Demo' ] && grep -q '^port=$PORT2\$' '$CONF/simple-icecast-conf'"
  check "from the LAN: the page loads" bash -c "$(declare -f other); LAN_PID=$LAN_PID
    other curl -s --max-time 5 'http://$LAN_DEVICE:$HTTP_PORT/' | grep -q streams.js"
  # A browser sends the page's requests to a plain http address with
  # Origin (a POST) or Referer (a GET) and no Sec-Fetch-Site.
  check "  ... and its own requests change what they should" \
    lan_answers 1 "cmd=GUI_ice_playlist_disable&f_name=Demo" "Origin: http://$LAN_DEVICE:$HTTP_PORT"
  check "  ... and again" lan_answers 1 "cmd=GUI_ice_playlist_enable&f_name=Demo" \
    "Referer: http://$LAN_DEVICE:$HTTP_PORT/"
  check "  ... Demo streams again" lan_streams "$PORT2" Demo
  check "no generated file holds the fixed password" bash -c "! grep -rl quillfen '$CONF'"

  # From another machine, a change needs the page's proof: curl without it
  # is refused, with the header the manual shows it goes through.
  check "from the LAN: a change without Origin, Referer or X-Requested-With is refused" \
    lan_answers 0 "cmd=GUI_ice_playlist_disable&f_name=Demo"
  check "  ... with X-Requested-With it is carried out" \
    lan_answers 1 "cmd=GUI_ice_playlist_disable&f_name=Demo" "X-Requested-With: curl"
  check "  ... and again" lan_answers 1 "cmd=GUI_ice_playlist_enable&f_name=Demo" "X-Requested-With: curl"
  # A page opened by a name the device does not know is told why its
  # changes are refused, until the name is added from an accepted address.
  refused_by_name() {
    lan_cgi "cmd=GUI_ice_status" "Host: nas.fritz.box:$HTTP_PORT" "X-Requested-With: XMLHttpRequest"
    grep -qF "<changes_refused><reason>name</reason><host>nas.fritz.box</host>" <<<"$LAST"
  }
  check "from the LAN: the status of a page opened as nas.fritz.box names the refusal" refused_by_name
  check "  ... the name is added from the device's address" \
    lan_answers 1 "cmd=GUI_ice_allow_host&f_host=nas.fritz.box" "X-Requested-With: XMLHttpRequest"
  accepted_by_name() { ! refused_by_name && grep -qF "<allowed_host>nas.fritz.box</allowed_host>" <<<"$LAST"; }
  check "  ... and then takes changes" accepted_by_name

  # Another site's page on the LAN, visited in a real browser, makes it send
  # changing GETs without Origin or Referer: each reaches the device (its
  # access log shows it) and is refused; nothing changes.
  SITE_PORT=$(free_port)
  other python3 "$ROOT/device/cross_site.py" "$LAN_SITE" "$SITE_PORT" "http://$LAN_DEVICE:$HTTP_PORT/cgi-bin/stream_admin" &
  for _ in $(seq 50); do other curl -s -o /dev/null --max-time 1 "http://$LAN_SITE:$SITE_PORT/img.html" && break; sleep 0.1; done
  visit() {  # visit PAGE: Chromium on the other machine opens the site's page
    local profile
    profile=$(mktemp -d)
    other timeout 60 chromium --headless --no-sandbox --disable-gpu --disable-quic --no-first-run \
      --disable-background-networking --disable-component-update --disable-sync --user-data-dir="$profile" \
      --virtual-time-budget=3000 --dump-dom "http://$LAN_SITE:$SITE_PORT/$1" >/dev/null 2>"$SB/chromium-$1.log" || true
    rm -rf "$profile"
  }
  # The web server writes its access log in batches: each arrival is waited
  # for (at most 15 s).
  arrived() {
    for _ in $(seq 30); do grep -q "via=$1[ \"]" "$SB/access.log" && return 0; sleep 0.5; done
    echo "      not in the access log"
    return 1
  }
  for via in img fetch link iframe redirect; do
    visit "$via.html"
    check "from another site's page in Chromium ($via): the request reached the device" arrived "$via"
  done
  check "  ... and each was refused: Demo is listed, on, and the port is still $PORT2" bash -c "
    [ -e '$CONF/playlist-Demo' ] && grep -qx 'enabled=1' '$CONF/simple-ices-conf-Demo' &&
    grep -q '^port=$PORT2\$' '$CONF/simple-icecast-conf'"
  check "  ... and Demo still streams" lan_streams "$PORT2" Demo

  # The stand-in refuses configs the device's source client could not read.
  printf '<ices:Configuration xmlns:ices="http://www.icecast.org/projects/ices"><File>x' >"$SB/broken.conf"
  sed 's|<Port>.*</Port>||' "$CONF/ices.conf-Demo" >"$SB/portless.conf"
  check "the source client stand-in refuses malformed XML" \
    bash -c "! '$SB/bin/ices' -c '$SB/broken.conf' -B && grep -q 'refusing $SB/broken.conf: not well-formed' '$SB/log/ices.log'"
  check "  ... and a config without <Port>" \
    bash -c "! '$SB/bin/ices' -c '$SB/portless.conf' -B && grep -q 'refusing $SB/portless.conf: no <Port>' '$SB/log/ices.log'"

  # The manual's curl examples, as the manual shows them, in their order.
  check "the curl examples of docs/commands.md" "$ROOT/device/doc_examples.sh" "$ROOT/docs/commands.md" "$CGI" "$MUSIC" "$(free_port)"
fi
finish
