#!/bin/sh
# Removes the streaming add-on: stops the streams and the server, then removes
# what install.sh added. The config directory with the playlists and settings
# stays unless --purge is given.
#
#   uninstall.sh [--root DIR] [--app-dir DIR] [--purge]
#
# --root, --app-dir as given to install.sh (default /, the folder of this
# script).
set -eu
root=/
app=
purge=0
while [ $# -gt 0 ]; do
  case $1 in
    --root) root=$2; shift 2 ;;
    --app-dir) app=$2; shift 2 ;;
    --purge) purge=1; shift ;;
    -h | --help) sed -n '2,10p' "$0"; exit 0 ;;
    *) echo "uninstall: unknown option $1" >&2; exit 2 ;;
  esac
done
root=${root%/}
R() { printf '%s%s' "$root" "$1"; }
# What install.sh recorded, beside this script unless --app-dir says where.
if [ -n "$app" ]; then settings=$(R "$app/install.conf"); else settings=$(dirname "$0")/install.conf; fi
[ "$(id -u)" = 0 ] || { echo "uninstall: run me as root" >&2; exit 1; }
[ -f "$settings" ] || { echo "uninstall: nothing installed (no $settings)" >&2; exit 1; }
conf= cgi= bin=
while IFS='=' read -r key value; do
  case $key in
    app) app=$value ;;
    conf) conf=$value ;;
    cgi) cgi=$value ;;
    bin) bin=$value ;;
  esac
done <"$settings"

# Stop the source clients and the server (the pointer to the config directory
# is still in place for this).
if [ -x "$(R "$app/bin/tarnwick")" ]; then
  PATH="$(R "$bin"):$(R /usr/local/sbin):$(R /usr/local/bin):$(R /usr/sbin):$(R /usr/bin):$(R /sbin):$(R /bin):$PATH" \
    "$(R "$app/bin/tarnwick")" stop all || echo "uninstall: stopping the streams failed; going on" >&2
fi

# The links and the pointer, when they are still ours.
[ "$(readlink "$(R "$cgi/stream_admin")" 2>/dev/null)" = "$app/bin/stream_admin" ] && rm -f "$(R "$cgi/stream_admin")"
[ "$(readlink "$(R "$bin/tarnwick")" 2>/dev/null)" = "$app/bin/tarnwick" ] && rm -f "$(R "$bin/tarnwick")"
if [ -f "$(R /tmp/iceconf.dir)" ] && [ "$(cat "$(R /tmp/iceconf.dir)")" = "$conf" ]; then
  rm -f "$(R /tmp/iceconf.dir)"
fi

# The add-on's own files.
rm -f "$(R "$app/bin/stream_admin")" "$(R "$app/bin/tarnwick")" "$(R "$app/start.sh")" \
  "$(R "$app/README")" "$(R "$app/install.conf")"
rm -rf "$(R "$app/web")"
if [ $purge = 1 ]; then
  # Only the files the programs make, so that nothing else in a shared
  # folder goes.
  for pattern in simple-icecast-conf 'simple-ices-conf-*' 'playlist-*' 'folders-*' 'ices.conf-*' icecast.xml '.wl-*'; do
    find "$(R "$conf")" -mindepth 1 -maxdepth 1 -name "$pattern" -exec rm -rf {} + 2>/dev/null || true
  done
  # The folder itself too, when that leaves it empty (a reinstall over kept
  # settings did not create it, but an earlier install did).
  rmdir "$(R "$conf")" 2>/dev/null || true
fi

# The folders install.sh created, deepest first, when they are empty (the
# config directory still holds the playlists unless purged); the log folder
# goes with its logs.
manifest=$(cat "$(R "$app/install.manifest")")
rm -f "$(R "$app/install.manifest")" "$(R "$app/uninstall.sh")"
printf '%s\n' "$manifest" | sort -r | while read -r dir; do
  [ -n "$dir" ] || continue
  [ "$dir" = /var/log/wavelorn ] && rm -rf "$(R "$dir")"
  rmdir "$(R "$dir")" 2>/dev/null || true
done
if [ -d "$(R "$conf")" ]; then
  echo "uninstalled; kept the config directory $conf with your playlists and settings (--purge removes them)"
else
  echo "uninstalled"
fi
