#!/bin/bash
# The package test: unpacks this machine's archive from build/packages
# (scripts/package), installs it into a scratch root that stands for a
# device, runs the end-to-end test (device/device.sh --e2e) against the
# installed programs, uninstalls, and checks that exactly what the install
# added is gone: the config directory with the user's playlists stays, and
# goes too with --purge. The install is the one of a device whose web server
# is not root (--web-user nobody): the boot script runs as root, then the
# end-to-end test's requests go through a web server that runs as nobody.
# Also: the install refuses a device without ices, a reinstall keeps the
# kept settings, the boot script starts the enabled playlists and the
# uninstall stops them, and a purge of a shared folder given as the config
# directory removes only the programs' files and gives the folder back.
#
# Everything runs in private mount and PID namespaces: the scratch root lives
# on a tmpfs, and its /tmp, /var/log, /etc/group and /mnt/HD are mounted where
# the programs look for them. The machine itself is not changed. Needs root.
set -euo pipefail
SRC=$(cd "$(dirname "$0")/.." && pwd)
if [ "${WAVELORN_PACKAGE_TEST_INSIDE:-}" != 1 ]; then
  if [ "$(id -u)" != 0 ]; then
    echo "package_test: needs root (private namespaces)" >&2
    exit 77
  fi
  archives=("$SRC"/build/packages/wavelorn-stream-*-"$(uname -m)".tar.gz)
  if [ ! -f "${archives[0]}" ] || [ ${#archives[@]} != 1 ]; then
    echo "package_test: no single $(uname -m) archive in build/packages (scripts/package)" >&2
    exit 1
  fi
  for tool in "$SRC/build/device/ices" "$SRC/build/bin/fake_ices"; do
    [ -x "$tool" ] || { echo "package_test: $tool is missing (scripts/build)" >&2; exit 77; }
  done
  export WAVELORN_PACKAGE_TEST_INSIDE=1 ARCHIVE="${archives[0]}"
  exec timeout -s KILL 900 unshare --mount --pid --fork --kill-child --mount-proc --propagation private "$0"
fi

PASSED=0
FAILED=0
check() {  # check DESCRIPTION COMMAND...
  local what=$1
  shift
  if "$@"; then
    PASSED=$((PASSED + 1))
    echo "ok    $what"
  else
    FAILED=$((FAILED + 1))
    echo "FAIL  $what"
  fi
}

mount -t tmpfs wl-package-tmp /tmp
mount -t tmpfs wl-package-mnt /mnt  # hides the machine's /mnt, in here only
W=/mnt/package-test
R=$W/root
APP=/mnt/HD/HD_a2/Nas_Prog/sonorell
# Not the default (announced in /tmp/iceconf.dir), inside the add-on's
# folder: the kept settings keep that folder after an uninstall.
CONF=$APP/streams
mkdir -p "$W/unpacked" "$R"/{etc,tmp,var/log,usr/bin,usr/sbin,bin,sbin,mnt/HD/HD_a2/Nas_Prog}
chmod 1777 "$R/tmp"

# The device before the add-on: its group file with allaccount, and icecast,
# ices (the stand-in) and killall on its search path.
cp /etc/group "$R/etc/group"
if ! grep -q '^allaccount:' "$R/etc/group"; then
  gid=2049
  while getent group "$gid" >/dev/null; do gid=$((gid + 1)); done
  echo "allaccount:x:$gid:nobody" >>"$R/etc/group"
fi
ln -s "$(command -v icecast2)" "$R/usr/bin/icecast"
ln -s "$SRC/build/device/ices" "$R/usr/bin/ices"
ln -s "$(command -v killall)" "$R/usr/bin/killall"
# The device's view of the scratch root, for the programs.
mkdir /mnt/HD
mount --bind "$R/mnt/HD" /mnt/HD
mount --bind "$R/tmp" /tmp
mount --bind "$R/var/log" /var/log
mount --bind "$R/etc/group" /etc/group

listing() { (cd "$R" && find . -printf '%p %y %m %u:%g %l\n' | LC_ALL=C sort); }
# A root-only file that links planted by the web user point at: it must stay
# byte for byte as it is, root's, 0600.
VICTIM=$W/root-only
head -c 600000 /dev/urandom >"$VICTIM"
chmod 0600 "$VICTIM"
cp "$VICTIM" "$W/root-only.copy"
victim_intact() {
  cmp -s "$VICTIM" "$W/root-only.copy" && [ "$(stat -c %u:%g:%a:%h "$VICTIM")" = 0:0:600:1 ]
}
tar -C "$W/unpacked" -xzf "$ARCHIVE"
PKG=$(echo "$W"/unpacked/wavelorn-stream-*)
echo "package test of $(basename "$ARCHIVE")"

# -------------------------------------------------------------- refusals
before=$(listing)
mv "$R/usr/bin/ices" "$W/ices"
check "install refuses a device without ices" \
  bash -c "! '$PKG/install.sh' --root '$R' --conf-dir '$CONF' 2>'$W/refusal' && grep -q 'missing.*ices' '$W/refusal'"
mv "$W/ices" "$R/usr/bin/ices"
cp "$R/etc/group" "$W/group"
grep -v '^allaccount:' "$W/group" >"$R/etc/group"  # in place: /etc/group is bound to it
check "install refuses a device without the group allaccount" \
  bash -c "! '$PKG/install.sh' --root '$R' --conf-dir '$CONF' 2>'$W/refusal' && grep -q allaccount '$W/refusal'"
cat "$W/group" >"$R/etc/group"
check "  ... and both refusals change nothing" [ "$(listing)" = "$before" ]
# A config directory given by a link (one that a user owning the folder
# above could swap in): root would hand the target over.
mkdir "$W/target"
target_before=$(stat -c %u:%g:%a "$W/target")
ln -s "$W/target" "$R/mnt/HD/HD_a2/linked"
check "install refuses a config directory that is a link" \
  bash -c "! '$PKG/install.sh' --root '$R' --conf-dir /mnt/HD/HD_a2/linked 2>'$W/refusal' && grep -q 'is a link' '$W/refusal'"
check "  ... and hands nothing over" [ "$(stat -c %u:%g:%a "$W/target")" = "$target_before" ]
rm "$R/mnt/HD/HD_a2/linked"
check "  ... and changes nothing" [ "$(listing)" = "$before" ]
rmdir "$W/target"

pristine=$before

# -------------------------------------------------------------- install
check "install" "$PKG/install.sh" --root "$R" --conf-dir "$CONF" --web-user nobody
check "the config directory belongs to the web user, and no one else may look in" \
  [ "$(stat -c %U:%a "$R$CONF")" = nobody:700 ]
check "  ... nor read the settings" [ "$(stat -c %U:%a "$R$CONF/simple-icecast-conf")" = nobody:600 ]
check "the programs are in the add-on's folder" test -x "$R$APP/bin/stream_admin" -a -x "$R$APP/bin/tarnwick"
check "stream_admin is linked where the web server runs CGI" \
  [ "$(readlink "$R$APP/web/cgi-bin/stream_admin")" = "$APP/bin/stream_admin" ]
check "the web page and the listeners' page are beside cgi-bin/" \
  bash -c "cd '$R$APP/web' && test -f index.html -a -f streams.js -a -f device.js -a -f messages.js -a -f changes.js -a -f table.js -a -f editor.js -a -f folders.js -a -f server.js -a -f player.js -a -f streams.css -a -f listen.html -a -f listen.js -a -f sonorell/tunein.png"
check "tarnwick is linked on the search path" [ "$(readlink "$R/usr/bin/tarnwick")" = "$APP/bin/tarnwick" ]
check "default server settings: port, a password of the device's own, the music roots" \
  bash -c "[ \"\$(sed 's/^passwd=[0-9a-f]\{32\}\$/passwd=RANDOM/' '$R$CONF/simple-icecast-conf')\" = \"\$(printf 'port=8000\npasswd=RANDOM\nmusic_roots=/mnt/HD/HD_a2')\" ]"
PASSWORD=$(sed -n 's/^passwd=//p' "$R$CONF/simple-icecast-conf")
check "/tmp/iceconf.dir: a regular file owned by root holding the bare path" \
  bash -c "[ -f '$R/tmp/iceconf.dir' ] && [ ! -L '$R/tmp/iceconf.dir' ] && [ \"\$(stat -c %u '$R/tmp/iceconf.dir')\" = 0 ] && [ \"\$(cat '$R/tmp/iceconf.dir'; echo .)\" = '$CONF.' ]"
check "/var/log/wavelorn belongs to nobody, the stream user, as it did" [ "$(stat -c %U:%a "$R/var/log/wavelorn")" = nobody:755 ]
check "the installed CGI program answers with the default port" \
  bash -c "env -i REQUEST_METHOD=GET QUERY_STRING=cmd=GUI_ice_get '$APP/web/cgi-bin/stream_admin' | grep -q '<port>8000</port>'"
check "a second install refuses" bash -c "! '$PKG/install.sh' --root '$R' --conf-dir '$CONF' 2>/dev/null"

# -------------------------------------------------------------- end to end
check "the boot script, as root, starts the server on the stored port" \
  bash -c "'$R$APP/start.sh' --root '$R' && for i in \$(seq 100); do PATH='$R/usr/bin':\$PATH tarnwick status | grep -q '^server.running.8000.listening' && exit 0; sleep 0.1; done; exit 1"
check "  ... as the config directory's owner" bash -c "[ \"\$(ps -o user= -C icecast | sort -u)\" = nobody ]"
# The end-to-end test's music lives in the build folder: the owner adds that
# folder to the music roots, as one adds a share.
settings="$R$CONF/simple-icecast-conf"
sed "s|^music_roots=.*|&:$SRC/build/device-sandbox/music|" "$settings" >"$settings.new"
chown nobody "$settings.new"
mv -f "$settings.new" "$settings"
echo "-- end-to-end test against the installed programs, through a web server that runs as nobody"
if WAVELORN_DEVICE_WEB_USER=nobody WAVELORN_DEVICE_NO_BUILD=1 WAVELORN_BUILD_DIR="$SRC/build" WAVELORN_DEVICE_CGI="$APP/web/cgi-bin/stream_admin" \
  WAVELORN_DEVICE_PATH="$R/usr/bin" WAVELORN_DEVICE_CONF="$CONF" "$SRC/device/device.sh" --e2e | sed 's/^/   /'; then
  check "end-to-end test" true
else
  check "end-to-end test" false
fi

# ----------------------------------------- root's runs in the web user's folders
# The log folder is nobody's: a hard link named ices.log to a root-only file
# (an old kernel lets anyone make one) is no log to trim for cron's check.
rm -f "$R/var/log/wavelorn/ices.log"
ln "$VICTIM" "$R/var/log/wavelorn/ices.log"
PATH="$R/usr/bin:$PATH" tarnwick check >/dev/null || true
rm -f "$R/var/log/wavelorn/ices.log"
check "cron's check leaves a root-only file hard-linked as ices.log alone" victim_intact
check "  ... and copies nothing of it" [ ! -e "$R/var/log/wavelorn/ices.log.old" ]

# -------------------------------------------------- boot on a read-only volume
# After a disk fault the add-on's volume (programs, CGI link, config
# directory) is read-only: the boot leaves right links alone, reports one it
# cannot make, and starts the streams; the crontab line reaches tarnwick.
PATH="$R/usr/bin:$PATH" tarnwick stop all
rm -f "$R/usr/bin/tarnwick"  # a reboot lost it
for mnt in "$R$APP" "$APP"; do mount --bind "$mnt" "$mnt" && mount -o remount,bind,ro "$mnt"; done
streams_up() {
  for i in $(seq 100); do PATH="$R/usr/bin:$PATH" tarnwick status >/dev/null && return 0; sleep 0.1; done
  return 1
}
check "read-only volume: the boot starts the streams, with no complaint about right links" \
  bash -c "'$R$APP/start.sh' --root '$R' 2>'$W/boot-errors' && [ ! -s '$W/boot-errors' ] && [ \"\$(readlink '$R/usr/bin/tarnwick')\" = '$APP/bin/tarnwick' ]"
check "  ... all of them" streams_up
PATH="$R/usr/bin:$PATH" tarnwick stop all
umount "$APP" "$R$APP"
rm -f "$R$APP/web/cgi-bin/stream_admin" "$R/usr/bin/tarnwick"
for mnt in "$R$APP" "$APP"; do mount --bind "$mnt" "$mnt" && mount -o remount,bind,ro "$mnt"; done
check "  ... and with a link it cannot make, reported" \
  bash -c "'$R$APP/start.sh' --root '$R' 2>'$W/boot-errors' && grep -q 'could not link.*stream_admin' '$W/boot-errors'"
check "  ... all the same" streams_up
PATH="$R/usr/bin:$PATH" tarnwick stop all
PATH="$R/usr/bin:/usr/bin:/bin:/usr/sbin:/sbin" "$APP/bin/tarnwick" check >/dev/null 2>&1 || true
check "  ... and the crontab line of the manual runs tarnwick" streams_up
PATH="$R/usr/bin:$PATH" tarnwick stop all
umount "$APP" "$R$APP"
ln -s "$APP/bin/stream_admin" "$R$APP/web/cgi-bin/stream_admin"
# The source client stand-in leaves its ezstream config in /tmp when killed.
rm -f "$R"/tmp/ices-ezstream-*

# -------------------------------------------------------------- uninstall
# The note of kept folders goes into the web user's directory: a link
# planted there under its name is replaced, never written through.
ln -s "$VICTIM" "$R$CONF/.wl-install-dirs"
chown -h nobody "$R$CONF/.wl-install-dirs"
check "uninstall" "$R$APP/uninstall.sh" --root "$R"
check "  ... wrote its note in place of a planted link, not through it" victim_intact
check "  ... as a file of the web user's" [ "$(stat -c %F:%U "$R$CONF/.wl-install-dirs")" = "regular file:nobody" ]
# Only the config directory (with the user's playlists) remains.
added=$(comm -13 <(echo "$before") <(listing) | grep -v -e "^\./${CONF#/}[/ ]" -e "^\./${APP#/} " || true)
changed=$(comm -23 <(echo "$before") <(listing) || true)
check "uninstall removes what install added, and only that" [ -z "$added$changed" ]
[ -z "$added$changed" ] || printf 'left: %s\ngone: %s\n' "$added" "$changed"
check "the playlists and settings stay" test -f "$R$CONF/playlist-Demo" -a -f "$R$CONF/simple-ices-conf-Demo"

# ------------------------------------ reinstall over kept settings, boot, purge
ln -sfn "$SRC/build/bin/fake_ices" "$R/usr/bin/ices"   # stays running, as ices -B does
ln -sfn /bin/true "$R/usr/bin/icecast"
port=$(sed -n 's/^port=//p' "$R$CONF/simple-icecast-conf")
# A settings file that is a second name of a root-only file (a hard link the
# web user made) is none of the install's to read, copy or hand over.
mv "$R$CONF/simple-icecast-conf" "$W/kept-settings"
ln "$VICTIM" "$R$CONF/simple-icecast-conf"
before_refusal=$(listing)
check "reinstall refuses a settings file that is a hard link to a root-only file" \
  bash -c "! '$PKG/install.sh' --root '$R' --conf-dir '$CONF' --web-user nobody 2>/dev/null"
check "  ... and changes nothing" [ "$(listing)" = "$before_refusal" ]
rm "$R$CONF/simple-icecast-conf"
check "  ... and leaves that file alone" victim_intact
mv "$W/kept-settings" "$R$CONF/simple-icecast-conf"
check "reinstall over the kept config directory" "$PKG/install.sh" --root "$R" --conf-dir "$CONF"
check "  ... keeps the settings (port $port)" [ "$(sed -n 's/^port=//p' "$R$CONF/simple-icecast-conf")" = "$port" ]
check "  ... and the password" [ "$(sed -n 's/^passwd=//p' "$R$CONF/simple-icecast-conf")" = "$PASSWORD" ]
# The directory changed hands (nobody's, now root's as the web user): every
# file the programs made is the new owner's, who could not open the old
# one's private files (the lock among them).
check "  ... and gives the new web user every file the programs made" \
  bash -c "[ -z \"\$(find '$R$CONF' -maxdepth 1 -type f ! -user root)\" ] && [ \"\$(stat -c %U '$R$CONF/.wl-lock')\" = root ]"
# Files generated before a password was stored (an update from a version
# without one) get it at the next boot; a link planted at /tmp/iceconf.dir
# is replaced, not followed.
sed -i "s/$PASSWORD/quillfen/" "$R$CONF/icecast.xml" "$R$CONF/ices.conf-Demo"
echo kept >"$W/planted"
ln -sfn "$W/planted" "$R/tmp/iceconf.dir"
check "the boot script starts the enabled playlist" bash -c "'$R$APP/start.sh' --root '$R' && sleep 0.5 && pgrep -f '^ices -c $CONF/ices.conf-Demo -B' >/dev/null"
check "  ... which carried the stored password into every generated file" \
  bash -c "! grep -rlq quillfen '$R$CONF' && grep -q '<admin-password>$PASSWORD</admin-password>' '$R$CONF/icecast.xml' &&
    grep -q '<Password>$PASSWORD</Password>' '$R$CONF/ices.conf-Demo'"
check "  ... and replaced the link planted at /tmp/iceconf.dir" \
  bash -c "[ ! -L '$R/tmp/iceconf.dir' ] && [ \"\$(cat '$R/tmp/iceconf.dir')\" = '$CONF' ] && [ \"\$(cat '$W/planted')\" = kept ]"
# The streams run as root now (the config directory is root's): the server
# (nobody:allaccount) writes its logs in the log folder, the clients (root)
# ices.log and ices.cue, by name, following links.
LOGS=$R/var/log/wavelorn
allaccount=$(awk -F: '$1 == "allaccount" { print $3 }' "$R/etc/group")
check "with root's streams the log folder is root's, the server's group's to write, sticky" \
  [ "$(stat -c %u:%g:%a "$LOGS")" = "0:$allaccount:1770" ]
check "  ... and the client's log is root's own file" \
  bash -c "[ -f '$LOGS/ices.log' ] && [ ! -L '$LOGS/ices.log' ] && [ \"\$(stat -c %u:%h '$LOGS/ices.log')\" = 0:1 ]"
# The server, compromised, plants links where root's client writes; a client
# started afterwards writes root's own files instead.
PATH="$R/usr/bin:$PATH" tarnwick stop all
ln -sfn "$VICTIM" "$LOGS/ices.cue"
rm -f "$LOGS/ices.log"
ln "$VICTIM" "$LOGS/ices.log"
chown -h nobody "$LOGS/ices.cue"
check "root's client is started with a link and a hard link planted as its logs" \
  bash -c "PATH='$R/usr/bin':\$PATH tarnwick start all && sleep 0.5 && pgrep -f '^ices -c $CONF/ices.conf-Demo -B' >/dev/null"
check "  ... which are root's own files again, and what they named is untouched" \
  bash -c "[ \"\$(stat -c %F:%u:%h '$LOGS/ices.log' '$LOGS/ices.cue' | sed 's/^regular empty file:/regular file:/' | sort -u)\" = 'regular file:0:1' ]"
check "  ... and the file they named is untouched" victim_intact
# cron's trim, as the folder's owner (root), keeps a full log's tail.
head -c 600000 /dev/zero | tr '\0' x >"$LOGS/ices.log"
PATH="$R/usr/bin:$PATH" tarnwick check >/dev/null || true
check "cron's check trims root's client log in root's log folder" \
  bash -c "[ ! -s '$LOGS/ices.log' ] && [ \"\$(stat -c %s:%u '$LOGS/ices.log.old')\" = 524288:0 ]"
# Whatever the server left there (here a folder of its own with a link to
# root's files) goes with the uninstall, emptied as nobody, not as root.
mkdir -p "$LOGS/sub" "$W/root-dir"
cp "$VICTIM" "$W/root-dir/file"
ln -s "$W/root-dir" "$LOGS/sub/link"
chown -R -h nobody "$LOGS/sub"
# A folder of root's in there tells who empties it: nobody cannot.
mkdir "$LOGS/sub/roots"
: >"$LOGS/sub/roots/file"
check "uninstall --purge" bash -c "'$R$APP/uninstall.sh' --root '$R' --purge 2>'$W/uninstall-errors'"
check "  ... empties the log folder as nobody, never as root" \
  bash -c "[ -e '$LOGS/sub/roots/file' ] && [ ! -e '$LOGS/sub/link' ] && grep -q 'could not empty' '$W/uninstall-errors'"
check "  ... and nothing a link there named goes" bash -c "cmp -s '$VICTIM' '$W/root-dir/file'"
rm -rf "$LOGS/sub/roots"
rmdir "$LOGS/sub" "$LOGS"
rm -rf "$W/root-dir"
check "  ... stopped the playlist's source client" bash -c "! pgrep -f '^ices -c $CONF/ices.conf-Demo -B' >/dev/null"
ln -sfn "$SRC/build/device/ices" "$R/usr/bin/ices"
ln -sfn "$(command -v icecast2)" "$R/usr/bin/icecast"
after=$(listing)
check "  ... leaves the device as it was before the first install, add-on folders included" [ "$after" = "$pristine" ]
[ "$after" = "$pristine" ] || diff <(echo "$pristine") <(echo "$after") || true

# ---------------------------------------- a shared folder as config directory
SHARED=/mnt/HD/HD_a2/shared
mkdir -p "$R$SHARED/playlist-2019 party" "$R$SHARED/folders-old"
echo photo >"$R$SHARED/playlist-2019 party/photo.jpg"
echo notes >"$R$SHARED/notes.txt"
echo music >"$R$SHARED/playlist-summer.m3u"
echo taxes >"$R$SHARED/folders-taxes-2023.ods"
ln -s notes.txt "$R$SHARED/playlist-link"
chown -R 4321:4321 "$R$SHARED"
check "install into a shared folder" "$PKG/install.sh" --root "$R" --conf-dir "$SHARED" --web-user nobody
printf 'name=Mine\nenabled=0\n' >"$R$SHARED/simple-ices-conf-Mine"
: >"$R$SHARED/playlist-Mine"
check "uninstall --purge" "$R$APP/uninstall.sh" --root "$R" --purge
check "  ... removes the programs' files" bash -c "[ ! -e '$R$SHARED/simple-icecast-conf' ] && [ ! -e '$R$SHARED/playlist-Mine' ] && [ ! -e '$R$SHARED/simple-ices-conf-Mine' ]"
check "  ... and no folder, link or file of the user" bash -c "[ \"\$(cat '$R$SHARED/playlist-2019 party/photo.jpg')\" = photo ] && [ -d '$R$SHARED/folders-old' ] && [ -L '$R$SHARED/playlist-link' ] && [ -f '$R$SHARED/notes.txt' ] &&
    [ -f '$R$SHARED/playlist-summer.m3u' ] && [ -f '$R$SHARED/folders-taxes-2023.ods' ]"
check "  ... and gives the folder back to its owner" [ "$(stat -c %u:%g "$R$SHARED")" = 4321:4321 ]
rm -rf "$R$SHARED"
check "  ... and nothing else is left" [ "$(listing)" = "$pristine" ]

echo "package test: $PASSED passed, $FAILED failed"
[ "$FAILED" = 0 ]
