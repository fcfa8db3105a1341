#!/bin/sh
# Installs the streaming add-on from this unpacked archive.
#
#   ./install.sh [--root DIR] [--app-dir DIR] [--conf-dir DIR] [--cgi-dir DIR]
#                [--bin-dir DIR] [--web-user USER] [--music-roots PATHS]
#
# --root DIR      install below DIR as if it were / (default /); every other
#                 path is the path the device sees at run time
# --app-dir DIR   the add-on's own folder on a disk that survives a reboot
#                 (default /mnt/HD/HD_a2/Nas_Prog/sonorell)
# --conf-dir DIR  the config directory (default
#                 /mnt/HD/HD_a2/Nas_Prog/sonorell/iceconf, which the programs
#                 use without being told; any other is announced in
#                 /tmp/iceconf.dir at every boot)
# --cgi-dir DIR   where the web server runs the add-on's CGI programs
#                 (default APP-DIR/web/cgi-bin)
# --bin-dir DIR   a folder on the web server's search path (default /usr/bin)
# --web-user USER the user the web server runs CGI programs as, who must own
#                 the config directory (default root)
# --music-roots PATHS  the folders (":"-separated) that playlists may hold
#                 music from and the page browses (default /mnt/HD/HD_a2);
#                 stored in new settings, and in kept settings without
#                 roots only when given
#
# Creates only what the programs need, and records it for uninstall.sh. Refuses,
# changing nothing, when icecast, ices or killall is missing from the search
# path or the group allaccount does not exist. Needs root.
set -eu
here=$(cd "$(dirname "$0")" && pwd)
root=/
app=/mnt/HD/HD_a2/Nas_Prog/sonorell
default_conf=/mnt/HD/HD_a2/Nas_Prog/sonorell/iceconf
conf=$default_conf
cgi=
bindir=/usr/bin
web_user=root
music_roots=/mnt/HD/HD_a2
music_roots_given=
while [ $# -gt 0 ]; do
  case $1 in
    --root | --app-dir | --conf-dir | --cgi-dir | --bin-dir | --web-user | --music-roots)
      [ $# -ge 2 ] || { echo "install: $1 needs a value" >&2; exit 2; }
      case $1 in
        --root) root=$2 ;;
        --app-dir) app=$2 ;;
        --conf-dir) conf=$2 ;;
        --cgi-dir) cgi=$2 ;;
        --bin-dir) bindir=$2 ;;
        --web-user) web_user=$2 ;;
        --music-roots) music_roots=$2; music_roots_given=1 ;;
      esac
      shift 2 ;;
    -h | --help) sed -n '2,28p' "$0"; exit 0 ;;
    *) echo "install: unknown option $1 (see --help)" >&2; exit 2 ;;
  esac
done
[ -n "$cgi" ] || cgi=$app/web/cgi-bin
for dir in "$app" "$conf" "$cgi" "$bindir"; do
  case $dir in
    /*) ;;
    *) echo "install: $dir: paths must be absolute" >&2; exit 2 ;;
  esac
  case $dir in
    *"
"*) echo "install: a path holds a line feed" >&2; exit 2 ;;
  esac
done
root=${root%/}
R() { printf '%s%s' "$root" "$1"; }

fail() { echo "install: $*" >&2; echo "install: nothing was changed" >&2; exit 1; }
[ "$(id -u)" = 0 ] || fail "run me as root"
[ -x "$here/bin/stream_admin" ] && [ -x "$here/bin/tarnwick" ] || fail "bin/stream_admin or bin/tarnwick missing next to me"
[ ! -e "$(R "$app/install.conf")" ] || fail "already installed in $app (run $app/uninstall.sh first; it keeps your playlists and settings)"

# What the programs run: the streaming server, the source client, killall.
search="$bindir /usr/local/sbin /usr/local/bin /usr/sbin /usr/bin /sbin /bin"
missing=
for prog in icecast ices killall; do
  found=
  for dir in $search; do
    if [ -x "$(R "$dir/$prog")" ]; then found=1; break; fi
  done
  [ -n "$found" ] || missing="$missing $prog"
done
[ -z "$missing" ] || fail "missing on the search path ($search):$missing
install: the add-on starts icecast and ices and stops them with killall; install them first"
grep -q '^allaccount:' "$(R /etc/group)" 2>/dev/null ||
  fail "the group allaccount does not exist ($(R /etc/group)); the streaming server runs in it"
id "$web_user" >/dev/null 2>&1 || fail "no user $web_user"
# The web user may own the config directory already (a reinstall): a link
# or a second name (hard link) of another file is no settings file of its
# own. (The install reads and writes there only as the owner, below, which
# keeps a file swapped in later out of reach too.)
# The config directory is handed over by path: a link there (which a user
# owning a folder above it could put in) would hand over its target.
[ ! -L "$(R "$conf")" ] || fail "$(R "$conf") is a link; give the folder itself with --conf-dir"
settings=$(R "$conf/simple-icecast-conf")
if [ -L "$settings" ] || { [ -e "$settings" ] && { [ ! -f "$settings" ] || [ "$(stat -c %h "$settings")" != 1 ]; }; }; then
  fail "$settings is not a regular file of its own"
fi

# Everything created is listed in the manifest, so that uninstall.sh removes
# exactly that.
manifest_lines=
record() { manifest_lines="$manifest_lines$1
"; }
make_dir() {  # creates DIR and its missing parents, recording each one
  [ -d "$(R "$1")" ] && return 0
  make_dir "$(dirname "$1")"
  mkdir -m 0755 "$(R "$1")"
  record "$1"
}

make_dir "$app"
make_dir "$app/bin"
for prog in stream_admin tarnwick; do
  cp "$here/bin/$prog" "$(R "$app/bin/$prog")"
  chmod 0755 "$(R "$app/bin/$prog")"
done
for file in start.sh uninstall.sh; do
  cp "$here/$file" "$(R "$app/$file")"
  chmod 0755 "$(R "$app/$file")"
done
cp "$here/README" "$(R "$app/README")"
# The web page's static files: whatever the archive's web/ folder holds.
make_dir "$app/web"
(cd "$here/web" && find . -mindepth 1 ! -name README.web) | while read -r item; do
  if [ -d "$here/web/$item" ]; then mkdir -p "$(R "$app/web/$item")"; else cp "$here/web/$item" "$(R "$app/web/$item")"; fi
done
make_dir "$cgi"

# The config directory and its server settings: the port, the streaming
# server's password and the music roots. What is stored already (a reinstall
# over kept playlists) stays as it is; a missing value is added.
# An existing config directory's owner and mode are noted, for uninstall.sh
# to give them back; folders that an earlier install made and its uninstall
# kept (noted in the directory) are this install's to remove too.
conf_owner= conf_mode=
if [ -d "$(R "$conf")" ]; then
  conf_owner=$(stat -c %u:%g "$(R "$conf")")
  conf_mode=$(stat -c %a "$(R "$conf")")
fi
make_dir "$conf"
web_group=$(id -g "$web_user")
# Owner and mode of the config directory itself, never of what a link swapped
# in for it points to: chown -h changes a link, not its target, and chmod
# (which has no such option) goes ahead only when the path is no link.
chmod_conf() {
  [ ! -L "$(R "$conf")" ] || { echo "install: $(R "$conf") became a link; stopping" >&2; exit 1; }
  chmod "$1" "$(R "$conf")"
}
# A directory that changes hands (another web user's before, or a folder of
# someone else's): what its owner left there is the new owner's to use only
# when it is a file of its own. The directory is first made root's alone, so
# that nothing in it can change, and the two files the install reads are
# looked at and handed over; a link or a second name of another file is
# refused.
if [ -n "$conf_owner" ] && [ "${conf_owner%%:*}" != "$(id -u "$web_user")" ]; then
  chown -h 0:0 "$(R "$conf")"
  chmod_conf 0700
  for file in simple-icecast-conf .wl-install-dirs; do
    path=$(R "$conf/$file")
    [ -e "$path" ] || [ -L "$path" ] || continue
    if [ -L "$path" ] || [ ! -f "$path" ] || [ "$(stat -c %h "$path")" != 1 ]; then
      chown -h "$conf_owner" "$(R "$conf")"
      chmod_conf "$conf_mode"
      echo "install: $path is a link or another file's second name; remove it first" >&2
      exit 1
    fi
    chown "$web_user:$web_group" "$path"
  done
  # The rest of what the programs made (lock, configs, playlists): the new
  # user could neither open nor replace the old user's private files. Only
  # regular files with one name, never through a link; others stay as they
  # are (the programs pass over what they cannot read).
  for path in "$(R "$conf")"/icecast.xml "$(R "$conf")"/.wl-* "$(R "$conf")"/simple-ices-conf-?* \
    "$(R "$conf")"/playlist-?* "$(R "$conf")"/ices.conf-?* "$(R "$conf")"/folders-?*; do
    [ -f "$path" ] && [ ! -L "$path" ] && [ "$(stat -c %h "$path")" = 1 ] || continue
    chown -h "$web_user:$web_group" "$path"
  done
fi
# The web user's, and no one else's to enter: the settings hold the server's
# password, and a group (nogroup, a NAS's users) may be shared. The streams
# run as the directory's owner and group: the web user's own group, not the
# group root made the folder with.
chown -h "$web_user:$web_group" "$(R "$conf")"
chmod_conf 0700
# The web user may plant links and hard links in the directory to any file:
# root never reads or writes there by path. The work there is done by
# "tarnwick as-owner", as the directory's owner, in the directory.
in_conf() { "$here/bin/tarnwick" as-owner "$(R "$conf")" "$@"; }
# The note lies in the web user's folder: only the kept config directory,
# and folders on the way to it inside the add-on's folder, are taken from
# it, never any other (not /mnt, /usr, a mount point on the way).
if in_conf test -f .wl-install-dirs; then
  note=$(in_conf cat .wl-install-dirs) || note=
  while read -r dir; do
    case $dir in /*) ;; *) continue ;; esac
    case $conf/ in "$dir"/*) ;; *) continue ;; esac
    case $dir/ in "$app"/* | "$conf"/) [ -d "$(R "$dir")" ] && record "$dir" ;; esac
  done <<EOF
$note
EOF
  in_conf rm -f .wl-install-dirs
  conf_owner= conf_mode=
fi
kept_settings=
[ ! -e "$settings" ] || kept_settings=1
has_value() { in_conf grep -q "^$1=." simple-icecast-conf 2>/dev/null; }
# store KEY VALUE: replaces the file whole, never half written, as the
# owner, readable by the owner alone, as the programs write it. The value comes on
# standard input, so that no other user sees the password in a process list.
# With no KEY, the file is only rewritten as the owner's.
store() {
  printf '%s' "${2-}" | in_conf sh -c '
    umask 077
    new=$(mktemp .wl-XXXXXX) || exit 1
    if [ -e simple-icecast-conf ]; then
      [ -r simple-icecast-conf ] || { rm -f "$new"; exit 1; }
      if [ -n "$1" ]; then grep -v "^$1=" simple-icecast-conf; else cat simple-icecast-conf; fi >"$new"
      [ $? -le 1 ] || { rm -f "$new"; exit 1; }
    fi
    if [ -n "$1" ]; then { printf "%s=" "$1"; cat; echo; } >>"$new" || { rm -f "$new"; exit 1; }; fi
    chmod 0600 "$new" && mv -f "$new" simple-icecast-conf || { rm -f "$new"; exit 1; }' store "${1-}" ||
    { echo "install: could not write $settings" >&2; exit 1; }
}
random_hex() {  # 32 hex digits (128 bits) from /dev/urandom
  { od -An -N16 -tx1 /dev/urandom 2>/dev/null || hexdump -n 16 -e '16/1 "%02x"' /dev/urandom; } | tr -d ' \n'
}
has_value port || store port 8000
# The device's own password for the server's source and admin access, in
# characters no config file needs to escape.
if ! has_value passwd; then
  password=$(random_hex)
  case $password in
    *[!0-9a-f]* | "") fail "could not read 16 random bytes from /dev/urandom" ;;
  esac
  [ ${#password} = 32 ] || fail "could not read 16 random bytes from /dev/urandom"
  store passwd "$password"
fi
# The music roots confine what playlists hold. Kept settings without them
# get them only when asked (--music-roots): playlists made before may hold
# music from elsewhere, which a rescan would then drop.
if ! has_value music_roots && { [ -z "$kept_settings" ] || [ -n "$music_roots_given" ]; }; then
  store music_roots "$music_roots"
fi
# Kept settings that an earlier install or another user left become the
# web user's, with the mode above.
[ -z "$kept_settings" ] || store

# The folders the start script fills at every boot.
make_dir "$bindir"
make_dir /var/log/wavelorn
[ "$conf" = "$default_conf" ] || make_dir /tmp

{
  printf 'app=%s\nconf=%s\ncgi=%s\nbin=%s\n' "$app" "$conf" "$cgi" "$bindir"
  [ "$conf" = "$default_conf" ] || printf 'pointer=1\n'
  [ -z "$conf_owner" ] || printf 'conf_owner=%s\nconf_mode=%s\n' "$conf_owner" "$conf_mode"
} >"$(R "$app/install.conf")"
printf '%s' "$manifest_lines" >"$(R "$app/install.manifest")"

# What a reboot loses (links, /tmp, /var/log) is made by the start script,
# now and at every boot; it does not start the streams when given --prepare.
"$(R "$app/start.sh")" --root "$root" --app-dir "$app" --prepare

echo "installed in $app (config directory $conf)"
echo "make the device run '$app/start.sh' at boot; it starts the streaming server and the enabled playlists"
