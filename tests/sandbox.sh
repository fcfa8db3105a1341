#!/bin/sh
# Runs one test program in a private mount namespace with its own empty /tmp,
# so that no test ever reads or writes the machine's /tmp/iceconf.dir.
set -eu
if [ "${WAVELORN_SANDBOX:-}" = 1 ]; then
  exec "$@"
fi
if [ "$(id -u)" = 0 ]; then
  userns=""
else
  userns="--map-root-user"
fi
exec unshare --mount $userns --propagation private \
  sh -c 'mount -t tmpfs -o mode=1777 wavelorn-test /tmp && WAVELORN_SANDBOX=1 exec "$@"' sh "$@"
