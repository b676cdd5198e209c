#!/usr/bin/env bash
# A clean build of this source tree, in a build tree of another path and
# without the tests, must give executables byte-identical to the build tree's
# own: neither the path nor the tests may leave a trace in what ships.
# Usage: reproducible_build.sh SOURCE_DIR BUILT_BIN_DIR
set -euo pipefail
src=$1 built=$2
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
cmake -S "$src" -B "$work/second-tree" --toolchain "$src/cmake/i686-mingw32-posix.cmake" \
  -DCMAKE_BUILD_TYPE=Release -DQUORVELIN_TESTS=OFF >/dev/null
cmake --build "$work/second-tree" -j2 >/dev/null
status=0
for exe in "$work/second-tree/bin/"*.exe; do
  name=$(basename "$exe")
  if cmp -s "$exe" "$built/$name"; then
    echo "$name: identical, $(sha256sum <"$exe" | cut -d' ' -f1)"
  else
    echo "$name: the two builds differ"
    status=1
  fi
done
exit $status
