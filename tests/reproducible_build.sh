#!/usr/bin/env bash
# Two clean builds of this source tree, in build trees of different paths, must
# give byte-identical executables.
# Usage: reproducible_build.sh SOURCE_DIR
set -euo pipefail
src=$1
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
for tree in first second-tree; do
  cmake -S "$src" -B "$work/$tree" --toolchain "$src/cmake/i686-mingw32-posix.cmake" \
    -DCMAKE_BUILD_TYPE=Release -DQUORVELIN_TESTS=OFF >/dev/null
  cmake --build "$work/$tree" -j2 >/dev/null
done
status=0
for exe in "$work/first/bin/"*.exe; do
  name=$(basename "$exe")
  if cmp -s "$exe" "$work/second-tree/bin/$name"; then
    echo "$name: identical, $(sha256sum <"$exe" | cut -d' ' -f1)"
  else
    echo "$name: the two builds differ"
    status=1
  fi
done
exit $status
