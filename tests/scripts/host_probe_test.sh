#!/usr/bin/env bash
# The scripts' verdict on whether this machine runs 32-bit x86 programs, driven
# with probes of known outcome, in the team's Chinese locale and in C: the
# shell words its failures in the user's language, and the verdict must not
# depend on them.
# Usage: host_probe_test.sh SOURCE_DIR
set -uo pipefail
src=$1
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
failures=0
fail() { echo "FAIL: $*"; failures=$((failures + 1)); }

locale -a 2>/dev/null | grep -qi '^zh_CN\.utf-\?8$' || fail "no zh_CN.UTF-8 locale to test in (scripts/setup makes it)"

# verdict LOCALE PROBE: the verdict's output, its error text and exit status,
# as "status|output|error", from a shell of its own in that locale.
verdict() {
  LANG=$1 LC_ALL=$1 bash -c 'source "$1/scripts/lib.sh"; i386_verdict "$2"' _ "$src" "$2" \
    >"$work/out" 2>"$work/err"
  echo "$?|$(cat "$work/out")|$(cat "$work/err")"
}

# expect LOCALE PROBE STATUS OUTPUT [ERROR-PART]
expect() {
  local got status output error
  got=$(verdict "$1" "$2")
  status=${got%%|*} && output=${got#*|} && error=${output#*|} && output=${output%%|*}
  [[ $status == "$3" && $output == "$4" ]] ||
    fail "$(basename "$(dirname "$2")") in $1: status $status, output '$output', expected $3 and '$4' ($error)"
  [[ -z ${5:-} || $error == *"$5"* ]] || fail "$(basename "$(dirname "$2")") in $1: the error does not say '$5': $error"
}

# The i386 probe made for a machine no x86-64 kernel runs natively: the ELF
# machine field (offset 18) set to the VAX, which no qemu-user, and so no
# binfmt_misc handler, takes; the kernel refuses it with ENOEXEC.
source "$src/scripts/lib.sh"
mkdir -p "$work/foreign" "$work/runs" "$work/locked" "$work/gone"
write_i386_probe "$work/foreign/probe"
printf '\113\000' | dd of="$work/foreign/probe" bs=1 seek=18 conv=notrunc status=none
printf '#!/bin/sh\nexit 42\n' >"$work/runs/probe" && chmod +x "$work/runs/probe"
write_i386_probe "$work/locked/probe" && chmod a-x "$work/locked/probe"

for loc in zh_CN.UTF-8 C; do
  expect "$loc" "$work/foreign/probe" 0 no
  expect "$loc" "$work/runs/probe" 0 yes
  # Not the format: the script stops, naming the probe's folder and its status.
  expect "$loc" "$work/locked/probe" 1 "" "$work/locked ended with 126"
  expect "$loc" "$work/gone/probe" 1 "" "$work/gone ended with 127"
done
# Nothing is left beside the probes.
leftover=$(find "$work" -name 'control.*')
[[ -z $leftover ]] || fail "the verdict left its control behind: $leftover"

# This machine's own answer is the same in either locale.
for loc in zh_CN.UTF-8 C; do
  answers+=("$(env -u QUORVELIN_I386 LANG=$loc LC_ALL=$loc bash -c \
    'source "$1/scripts/lib.sh"; probe_i386 && echo "$QUORVELIN_I386"' _ "$src" 2>&1)")
done
[[ ${answers[0]} == "${answers[1]}" && ${answers[0]} =~ ^(yes|no)$ ]] ||
  fail "this machine's verdict: '${answers[0]}' in zh_CN.UTF-8, '${answers[1]}' in C"

((failures == 0)) && echo "host probe: all cases passed"
exit $((failures > 0))
