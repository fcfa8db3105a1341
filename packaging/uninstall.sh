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
conf= cgi= bin= conf_owner= conf_mode=
while IFS='=' read -r key value; do
  case $key in
    app) app=$value ;;
    conf) conf=$value ;;
    cgi) cgi=$value ;;
    bin) bin=$value ;;
    conf_owner) conf_owner=$value ;;
    conf_mode) conf_mode=$value ;;
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

# The config directory is the web user's, who may plant links and hard links
# there to any file: root never reads or writes there by path. The work there
# is done by "tarnwick as-owner", as the directory's owner, in the directory;
# a copy of tarnwick in a fresh folder of root's serves once the add-on's
# own is gone.
helper_dir=$(mktemp -d "$(R /tmp)/wl-uninstall.XXXXXX")
trap 'rm -rf "$helper_dir"' EXIT
cp "$(R "$app/bin/tarnwick")" "$helper_dir/tarnwick" 2>/dev/null && chmod 0700 "$helper_dir/tarnwick" ||
  echo "uninstall: no tarnwick in $app/bin; the config directory is left as it is" >&2
in_conf() { [ -x "$helper_dir/tarnwick" ] && "$helper_dir/tarnwick" as-owner "$(R "$conf")" "$@"; }

# The add-on's own files.
rm -f "$(R "$app/bin/stream_admin")" "$(R "$app/bin/tarnwick")" "$(R "$app/start.sh")" \
  "$(R "$app/README")" "$(R "$app/install.conf")"
rm -rf "$(R "$app/web")"
if [ $purge = 1 ]; then
  # Only regular files of the names the programs make, never a folder or a
  # link, so that nothing else in a shared folder goes (a user's folder
  # "playlist-2019 party" stays, with what it holds, and so does a file
  # "playlist-summer.m3u"): a playlist's files only where its settings file
  # names it, and the add-on's own fixed names. (Temporary files of killed
  # runs were cleared by the stop above, which took the command lock.)
  [ ! -d "$(R "$conf")" ] || in_conf sh -c '
    remove_file() { [ -f "$1" ] && [ ! -L "$1" ] && rm -f "$1"; return 0; }
    for playlist_settings in simple-ices-conf-?*; do
      [ -f "$playlist_settings" ] && [ ! -L "$playlist_settings" ] || continue
      name=${playlist_settings#simple-ices-conf-}
      grep -qxF "name=$name" "$playlist_settings" || continue
      for file in "playlist-$name" "folders-$name" "ices.conf-$name" ".wl-incomplete-$name" ".wl-folders-$name" "simple-ices-conf-$name"; do
        remove_file "$file"
      done
    done
    for file in simple-icecast-conf icecast.xml .wl-lock .wl-journal .wl-restarts .wl-server-id .wl-install-dirs; do
      remove_file "$file"
    done
    for staged in .wl-s-[0-9] .wl-s-[0-9][0-9] .wl-s-[0-9][0-9][0-9]; do
      remove_file "$staged"
    done' || echo "uninstall: could not remove the add-on's files from $conf" >&2
fi
# What install.sh changed on a config directory that was there before it.
# Never through a link put in the directory's place (by a user owning a
# folder above it): chown -h changes a link, not its target.
if [ -n "$conf_owner" ] && [ -L "$(R "$conf")" ]; then
  echo "uninstall: $(R "$conf") is a link; its owner and mode are left as they are" >&2
elif [ -n "$conf_owner" ] && [ -d "$(R "$conf")" ]; then
  chown -h "$conf_owner" "$(R "$conf")"
  [ -z "$conf_mode" ] || [ -L "$(R "$conf")" ] || chmod "$conf_mode" "$(R "$conf")"
fi

# The folders install.sh created, deepest first, when they are empty (the
# config directory still holds the playlists unless purged); the log folder
# goes with its logs.
manifest=$(cat "$(R "$app/install.manifest")")
rm -f "$(R "$app/install.manifest")" "$(R "$app/uninstall.sh")"
# The log folder is the stream user's, or root's with the server (nobody)
# writing there: whoever may write there could swap a subfolder for a link
# while root deletes, and root would delete what the link reaches. So it is
# emptied as its owner (a folder of root's is first given to nobody, the
# server's user, with the streams stopped), and only the empty folder is
# removed as root.
empty_log_folder() {
  [ -d "$1" ] && [ ! -L "$1" ] || return 0
  if [ "$(stat -c %u "$1")" = 0 ]; then
    chown -h nobody "$1" || { echo "uninstall: could not give $1 to nobody to empty it; it stays" >&2; return 0; }
  fi
  { [ -x "$helper_dir/tarnwick" ] && "$helper_dir/tarnwick" as-owner "$1" sh -c 'rm -rf -- * .[!.]* ..?*'; } ||
    echo "uninstall: could not empty $1; it stays" >&2
}
kept=$(printf '%s\n' "$manifest" | sort -r | while read -r dir; do
  [ -n "$dir" ] || continue
  [ "$dir" = /var/log/wavelorn ] && empty_log_folder "$(R "$dir")"
  rmdir "$(R "$dir")" 2>/dev/null || [ ! -d "$(R "$dir")" ] || printf '%s\n' "$dir"
done)
# Folders the add-on made that stay (the kept config directory and the
# folders above it) are noted in the config directory, so that a reinstall
# over it takes them into its manifest and the last uninstall removes them.
if [ -n "$kept" ] && [ -d "$(R "$conf")" ]; then
  printf '%s\n' "$kept" | in_conf sh -c '
    umask 077
    new=$(mktemp .wl-XXXXXX) && cat >"$new" && mv -f "$new" .wl-install-dirs || { rm -f "$new"; exit 1; }' ||
    echo "uninstall: could not note the kept folders in $conf" >&2
fi
if [ -d "$(R "$conf")" ] && [ $purge = 1 ]; then
  echo "uninstalled; removed the add-on's files from $conf and kept the folder with whatever else it holds"
elif [ -d "$(R "$conf")" ]; then
  echo "uninstalled; kept the config directory $conf with your playlists and settings (--purge removes them)"
else
  echo "uninstalled"
fi
