#!/bin/sh
# Runs one test program in private mount and PID namespaces with its own
# empty /tmp, so that no test ever reads or writes the machine's
# /tmp/iceconf.dir, the process scans see only the test's own processes, and
# nothing a test starts outlives it.
set -eu
if [ "${WAVELORN_SANDBOX:-}" = 1 ]; then
  exec "$@"
fi
if [ "$(id -u)" = 0 ]; then
  userns=""
else
  userns="--map-root-user"
fi
exec unshare --mount --pid --fork --mount-proc $userns --propagation private \
  sh -c 'mount -t tmpfs -o mode=1777 wavelorn-test /tmp && WAVELORN_SANDBOX=1 exec "$@"' sh "$@"
