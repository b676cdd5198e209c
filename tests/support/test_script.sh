# Sourced by the test scripts: a scratch folder, $scratch, removed when the
# script exits, with whatever the script mounted in it (listed in $mounts)
# unmounted first; fail MESSAGE, which says what failed and counts it in
# $failures, so that a script reports every failure before it exits; and
# run_in, which runs one of our console programs as a player would.
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

# run_in FOLDER PROGRAM ARGS...: PROGRAM run under Wine in FOLDER, with standard
# input at its end; its exit code in $status, its output as UTF-8 in $said.
# With FILE_LIMIT_KB set, no file it writes may grow past that size: a write
# past it fails with EFBIG, wherever the writing is, which Wine reports as a
# general failure (error 31).
run_in() {
  local folder=$1 exe=$2 raw
  shift 2
  raw=$(cd "$folder" && if [[ -n ${FILE_LIMIT_KB:-} ]]; then trap '' XFSZ; ulimit -f "$FILE_LIMIT_KB"; fi &&
    wine "$exe" "$@" </dev/null 2>/dev/null)
  status=$?
  said=$(printf '%s' "$raw" | iconv -f GBK -t UTF-8 2>/dev/null) || said="(not GBK: $raw)"
  said=${said//$'\r'/}
}
