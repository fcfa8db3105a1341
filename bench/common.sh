# Sourced by the benchmark scripts: builds what is missing, makes a work
# folder (outside /tmp, which the benchmarks' private namespace hides) that is
# removed on exit, and compiles the side-by-side timer into it.
cd "$(dirname "$0")/.."
[ -x build/bin/stream_admin ] && [ -x build/bin/build_playlist ] && [ -x build/bin/replace_bench ] &&
  [ -x build/bin/folder_check ] || scripts/build >/dev/null
mkdir -p build
work=$(mktemp -d "$PWD/build/bench.XXXXXX")
trap 'rm -rf "$work"' EXIT
cc -O2 -static -o "$work/spawn_bench" bench/spawn_bench.c
