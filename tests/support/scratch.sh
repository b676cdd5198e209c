# Sourced by the test scripts: a scratch folder, $scratch, removed when the
# script exits, with whatever the script mounted in it (listed in $mounts)
# unmounted first; and fail MESSAGE, which says what failed and counts it in
# $failures, so that a script reports every failure before it exits.
scratch=$(mktemp -d)
mounts=()
cleanup() {
  local m
  for m in "${mounts[@]}"; do umount "$m" 2>/dev/null; done
  rm -rf "$scratch"
}
trap cleanup EXIT

failures=0
fail() {
  echo "FAIL: $*"
  failures=$((failures + 1))
}
