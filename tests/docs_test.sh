#!/bin/sh
# The reference lists what the programs know: every command name of
# stream_admin's dispatch table has a "## NAME" section in docs/commands.md
# (and no section names a command that does not exist), and every action
# tarnwick accepts has a "## ACTION" section in docs/tarnwick.md.
#
#   tests/docs_test.sh SOURCE_DIR
set -u
root=${1:-$(dirname "$0")/..}
status=0
work=$(mktemp -d) || exit 1
trap 'rm -rf "$work"' EXIT

# The names of the table kCommands, from its opening line to its "};".
sed -n '/kCommands\[\] = {/,/^};/p' "$root/web/stream_admin.cc" |
  grep -o '{"[^"]*"' | sed 's/^{"//; s/"$//' | sort -u >"$work/commands"
grep '^## GUI_ice_' "$root/docs/commands.md" | sed 's/^## //; s/[[:space:]]*$//' | sort >"$work/sections"
if [ ! -s "$work/commands" ]; then
  echo "no command names found in web/stream_admin.cc" >&2
  status=1
fi
for name in $(comm -23 "$work/commands" "$work/sections"); do
  echo "docs/commands.md has no section \"## $name\"" >&2
  status=1
done
for name in $(comm -13 "$work/commands" "$work/sections"); do
  echo "docs/commands.md has a section for $name, which stream_admin does not know" >&2
  status=1
done
for name in $(uniq -d "$work/sections"); do
  echo "docs/commands.md has two sections \"## $name\"" >&2
  status=1
done

# The actions tarnwick compares its first argument with.
grep -o 'action [!=]= "[a-z]*"' "$root/controller/tarnwick.cc" | sed 's/.*"\([a-z]*\)"/\1/' |
  sort -u >"$work/actions"
grep '^## ' "$root/docs/tarnwick.md" | sed 's/^## //' | awk '{ print $1 }' | tr -d '`' | sort -u >"$work/headings"
if [ ! -s "$work/actions" ]; then
  echo "no actions found in controller/tarnwick.cc" >&2
  status=1
fi
for action in $(comm -23 "$work/actions" "$work/headings"); do
  echo "docs/tarnwick.md has no section \"## $action\"" >&2
  status=1
done

[ "$status" = 0 ] && echo "$(wc -l <"$work/commands") commands and $(wc -l <"$work/actions") actions documented"
exit $status
