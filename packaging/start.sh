#!/bin/sh
# Boot script of the streaming add-on: restores what a reboot loses, then
# starts the streaming server and every enabled playlist.
#
#   start.sh [--root DIR] [--app-dir DIR] [--prepare | --stop]
#
# --prepare  only restore the links, /tmp/iceconf.dir and /var/log/wavelorn
# --stop     stop the streams and the server instead
# --root, --app-dir as given to install.sh (default /, the folder of this
# script).
set -eu
root=/
app=
action=start
while [ $# -gt 0 ]; do
  case $1 in
    --root) root=$2; shift 2 ;;
    --app-dir) app=$2; shift 2 ;;
    --prepare) action=prepare; shift ;;
    --stop) action=stop; shift ;;
    *) echo "start.sh: unknown option $1" >&2; exit 2 ;;
  esac
done
root=${root%/}
R() { printf '%s%s' "$root" "$1"; }
# What install.sh recorded, beside this script unless --app-dir says where.
if [ -n "$app" ]; then settings=$(R "$app/install.conf"); else settings=$(dirname "$0")/install.conf; fi
conf= cgi= bin= pointer=
while IFS='=' read -r key value; do
  case $key in
    app) app=$value ;;
    conf) conf=$value ;;
    cgi) cgi=$value ;;
    bin) bin=$value ;;
    pointer) pointer=$value ;;
  esac
done <"$settings"

if [ "$action" != stop ]; then
  # The programs, where the web server runs the add-on's CGI and on its
  # search path. A link that is right already is left alone: the add-on's
  # volume may be read-only after a disk fault, and the streams start all
  # the same. A link that cannot be made is reported, and the boot goes on.
  link() {  # TARGET LINK
    [ "$(readlink "$2" 2>/dev/null)" != "$1" ] || return 0
    { mkdir -p "$(dirname "$2")" && ln -sfn "$1" "$2"; } || echo "start.sh: could not link $2 to $1; going on" >&2
  }
  link "$app/bin/stream_admin" "$(R "$cgi/stream_admin")"
  link "$app/bin/tarnwick" "$(R "$bin/tarnwick")"
  # A config directory other than the default one is announced in
  # /tmp/iceconf.dir: a regular file owned by root holding the bare path.
  # Anyone may create names in /tmp, so the file is made under a fresh name
  # and renamed over whatever is there: a planted link is replaced, never
  # followed.
  if [ "$pointer" = 1 ]; then
    mkdir -p "$(R /tmp)"
    pointer_file=$(R /tmp/iceconf.dir)
    new_pointer=$(mktemp "$(R /tmp)/iceconf.dir.XXXXXX")
    printf '%s' "$conf" >"$new_pointer"
    chmod 0644 "$new_pointer"
    chown 0:0 "$new_pointer"
    # A folder planted there is moved aside (mv would move into it).
    if [ -d "$pointer_file" ] && [ ! -L "$pointer_file" ]; then
      mv -f "$pointer_file" "$(mktemp -d "$(R /tmp)/iceconf.dir.planted.XXXXXX")/"
    fi
    # -T renames over a link to a folder too instead of moving into it; a
    # mv without -T (a small busybox) first removes a link.
    if ! mv -fT "$new_pointer" "$pointer_file" 2>/dev/null; then
      [ ! -L "$pointer_file" ] || rm -f "$pointer_file"
      mv -f "$new_pointer" "$pointer_file"
    fi
  fi
  # The server's and the source clients' logs.
  # The streams run as the config directory's owner and write their logs
  # here: the folder is theirs. When that is root, the server changes to
  # nobody and the group allaccount (icecast.xml's changeowner) and then
  # writes its logs, while the clients, root, write ices.log and ices.cue by
  # name, following links. The folder then stays root's, the group
  # allaccount's to write, sticky (1770): the server creates and renames its
  # own logs, and no one else removes or replaces root's files (tarnwick
  # makes them root's before it starts a client).
  log_owner=$(stat -c %u:%g "$(R "$conf")" 2>/dev/null || echo 0:0)
  log_mode=0755
  case $log_owner in
    0:*)
      server_group=$(awk -F: '$1 == "allaccount" { print $3; exit }' "$(R /etc/group)" 2>/dev/null || true)
      log_owner=0:${server_group:-allaccount}
      log_mode=1770 ;;
  esac
  log_dir=$(R /var/log/wavelorn)
  { mkdir -p "$log_dir" && [ ! -L "$log_dir" ] && chown -h "$log_owner" "$log_dir" && chmod "$log_mode" "$log_dir"; } ||
    echo "start.sh: could not prepare /var/log/wavelorn; going on" >&2
fi
[ "$action" = prepare ] && exit 0
PATH="$(R "$bin"):$(R /usr/local/sbin):$(R /usr/local/bin):$(R /usr/sbin):$(R /usr/bin):$(R /sbin):$(R /bin):$PATH"
export PATH
if [ "$action" = stop ]; then
  exec "$(R "$app/bin/tarnwick")" stop all
fi
exec "$(R "$app/bin/tarnwick")" start all
