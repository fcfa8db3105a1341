#!/bin/sh
# Runs one test program in private mount and PID namespaces with its own
# empty /tmp, so that no test ever reads or writes the machine's
# /tmp/iceconf.dir, the process scans see only the test's own processes, and
# nothing a test starts outlives it. A private network namespace (the test
# entry brings its loopback up) keeps the ports that stand-in servers take
# apart from the machine's and from other test programs running meanwhile.
#
# Usage: tests/sandbox.sh [EMULATOR] PROGRAM [ARGS...]
#
# The program is not PID 1 of the namespace: a shell stays PID 1 and waits
# for it. PID 1 gets no default signal actions, so a test that aborts as PID 1
# would not die (under a user-mode emulator it hangs instead).
set -eu
if [ "${WAVELORN_SANDBOX:-}" = 1 ]; then
  exec "$@"
fi
if [ "$(id -u)" = 0 ]; then
  userns=""
else
  userns="--map-root-user"
fi
# --kill-child: when the test is stopped (a ctest timeout), the whole
# namespace goes with it.
exec unshare --mount --pid --net --fork --kill-child --mount-proc $userns --propagation private \
  sh -c 'mount -t tmpfs -o mode=1777 wavelorn-test /tmp || exit 1
    WAVELORN_SANDBOX=1 "$@"
    exit $?' sh "$@"
