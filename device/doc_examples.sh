#!/bin/sh
# Runs the curl examples of docs/commands.md against a running device, in the
# order of their step numbers, and checks every answer.
#
#   device/doc_examples.sh DOC CGI MUSIC PORT
#
# An example is the fenced ```sh block that follows a marker line
#   <!-- run STEP -->   or   <!-- run STEP expect TEXT -->
# It runs under sh with CGI, MUSIC and PORT set; its output must begin with
# the XML declaration and, when the marker says so, contain TEXT. Every sh
# block of the page that runs curl must carry a marker, so that no example
# goes untested. Prints one line per example; exits 0 only if all passed.
set -u
[ $# = 4 ] || { echo "usage: $0 DOC CGI MUSIC PORT" >&2; exit 2; }
DOC=$1
CGI=$2 MUSIC=$3 PORT=$4
export CGI MUSIC PORT
work=$(mktemp -d) || exit 1
trap 'rm -rf "$work"' EXIT

# Split the page into one file per marked example, named by its step, and
# count the curl blocks without a marker.
awk -v dir="$work" '
  /^<!-- run [0-9]+( expect .*)? -->$/ {
    step = $3; expect = $0
    sub(/^<!-- run [0-9]+( expect )?/, "", expect); sub(/ ?-->$/, "", expect)
    marked = 1; next
  }
  /^```sh$/ { inblock = 1; body = ""; hascurl = 0; next }
  inblock && /^```$/ {
    inblock = 0
    if (marked) {
      file = sprintf("%s/%06d", dir, step)
      printf "%s", body > file; close(file)
      printf "%s", expect > (file ".expect"); close(file ".expect")
    } else if (hascurl) {
      unmarked++
    }
    marked = 0; next
  }
  inblock { body = body $0 "\n"; if ($0 ~ /^curl /) hascurl = 1; next }
  /[^ \t]/ { marked = 0 }
  END { printf "%d\n", unmarked + 0 > (dir "/unmarked") }
' "$DOC" || exit 1

status=0
if [ "$(cat "$work/unmarked")" != 0 ]; then
  echo "FAIL  $(cat "$work/unmarked") curl example(s) in $DOC carry no run marker"
  status=1
fi
count=0
declaration='<?xml version="1.0" encoding="UTF-8"'
for example in "$work"/[0-9]*; do
  case $example in *.expect | *.out) continue ;; esac
  [ -f "$example" ] || continue
  count=$((count + 1))
  step=$(basename "$example" | sed 's/^0*//')
  expect=$(cat "$example.expect")
  what=$(grep -o 'cmd=GUI_ice_[A-Za-z_]*' "$example" | head -n 1)
  timeout 60 sh "$example" >"$example.out" 2>&1
  if [ "$(head -c ${#declaration} "$example.out")" != "$declaration" ]; then
    echo "FAIL  step $step ($what): no XML answer: $(head -c 200 "$example.out")"
    status=1
  elif [ -n "$expect" ] && ! grep -qF -- "$expect" "$example.out"; then
    echo "FAIL  step $step ($what): expected $expect in: $(head -c 300 "$example.out")"
    status=1
  else
    echo "ok    step $step ($what)"
  fi
done
[ "$count" -gt 0 ] || { echo "FAIL  no examples found in $DOC"; status=1; }
exit $status
