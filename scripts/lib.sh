# Sourced by every script: the source root, how to stop with a reason, how to
# time, the pack table and checksum, the build trees, and what kind of machine
# this is.
ROOT=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
SCRIPT=$(basename "$0")
BUILD=${BUILD:-$ROOT/build}
source "$ROOT/scripts/packs.sh"
source "$ROOT/scripts/checksum.sh"

# die MESSAGE...: the script's name and the reason on standard error, then exit 1.
die() {
  echo "$SCRIPT: $*" >&2
  exit 1
}

# The calling script's header comment, which is its usage text: written once,
# read by people in the file and by --help.
usage() {
  awk 'NR > 1 && !/^#/ {exit} NR > 1 {sub(/^# ?/, ""); print}' "$0"
}

# usage_error MESSAGE...: the command cannot run as given; nothing was done.
usage_error() {
  echo "$SCRIPT: $*; see $(realpath --relative-to="$ROOT" -- "$0") --help" >&2
  exit 2
}

# Wall times: milliseconds since the epoch, shown as seconds.
now_ms() { local t=${EPOCHREALTIME//[!0-9]/}; echo $((10#$t / 1000)); }
seconds() { printf '%d.%d s' $(($1 / 1000)) $(($1 % 1000 / 100)); }

# Series of wall times in ms: their median and their spread from fastest to
# slowest; ratios, and whether one is within its goal.
median() { printf '%s\n' "$@" | sort -n | awk '{v[NR] = $1} END {print v[int((NR + 1) / 2)]}'; }
spread() { printf '%s\n' "$@" | sort -n | awk 'NR == 1 {lo = $1} {hi = $1} END {printf "%d-%d ms (%.1fx)", lo, hi, hi / lo}'; }
ratio() { awk -v a="$1" -v b="$2" 'BEGIN {printf "%.2f", a / b}'; }
within() { awk -v v="$1" -v g="$2" 'BEGIN {exit !(v <= g)}'; }   # within RATIO GOAL
# timed SERIES COMMAND...: COMMAND run, and its wall time added to the array SERIES.
timed() {
  local -n timed_series=$1
  local timed_start
  timed_start=$(now_ms)
  "${@:2}"
  timed_series+=($(($(now_ms) - timed_start)))
}

# quietly COMMAND...: COMMAND without its standard output; failures still speak.
quietly() { "$@" >/dev/null; }

# wine_path FILE: the name Wine gives a Unix path, on the drive Z: that maps the
# Unix root (Debian's winepath would start the 32-bit loader).
wine_path() {
  local path
  path=$(realpath -m -- "$1")
  echo "Z:${path//\//\\}"
}

# pe_machine EXE: i686 or x64, from the machine field of the PE header.
pe_machine() {
  local at
  at=$(od -An -tu4 -j60 -N4 "$1" | tr -d ' ')
  case $(od -An -tx2 -j$((at + 4)) -N2 "$1" | tr -d ' ') in
    014c) echo i686 ;;
    8664) echo x64 ;;
    *) echo unknown ;;
  esac
}

# cmake_build WHAT SOURCE TREE [OPTION...] [-- TARGET...]: TREE configured from
# SOURCE with OPTIONs and TARGETs built (everything without any); WHAT names
# the tree when either step fails.
cmake_build() {
  local what=$1 source=$2 tree=$3 options=()
  shift 3
  while (($#)) && [[ $1 != -- ]]; do options+=("$1"); shift; done
  (($#)) && shift
  cmake -S "$source" -B "$tree" "${options[@]}" >/dev/null || die "cmake could not configure $what"
  cmake --build "$tree" -j2 ${1:+--target "$@"} || die "$what failed"
}

# cross_build WHAT TREE i686|x86_64 [OPTION...] [-- TARGET...]: a Release
# build of the Windows programs with the mingw toolchain for that machine.
cross_build() {
  local what=$1 tree=$2 arch=$3
  shift 3
  cmake_build "$what" "$ROOT" "$tree" --toolchain "$ROOT/cmake/$arch-mingw32-posix.cmake" \
    -DCMAKE_BUILD_TYPE=Release "$@"
}

# native_build FLAVOUR TREE [OPTION...] [-- TARGET...]: one of tests/native's
# clang builds of the decoder and its tests for this machine. A tree configured
# from native/, where they were defined before, starts afresh.
native_build() {
  local flavour=$1 tree=$2
  shift 2
  grep -qsx "CMAKE_HOME_DIRECTORY:INTERNAL=$ROOT/native" "$tree/CMakeCache.txt" && rm "$tree/CMakeCache.txt"
  cmake_build "the build in $tree" "$ROOT/tests/native" "$tree" -DNATIVE_FLAVOUR="$flavour" \
    -DCMAKE_C_COMPILER=clang -DCMAKE_CXX_COMPILER=clang++ "$@"
}

# write_i386_probe FILE: the smallest i386 program, an ELF header, one segment
# and exit(42), made executable.
write_i386_probe() {
  printf '%b' '\177ELF\001\001\001\000\000\000\000\000\000\000\000\000' \
    '\002\000\003\000\001\000\000\000\124\200\004\010\064\000\000\000\000\000\000\000' \
    '\000\000\000\000\064\000\040\000\001\000\000\000\000\000\000\000' \
    '\001\000\000\000\000\000\000\000\000\200\004\010\000\200\004\010' \
    '\140\000\000\000\140\000\000\000\005\000\000\000\000\020\000\000' \
    '\270\001\000\000\000\273\052\000\000\000\315\200' >"$1"
  chmod +x "$1"
}

# i386_verdict PROBE: yes when PROBE, a program that exits 42, runs; no when
# the kernel refuses its format. The shell says both "refused format" and "not
# allowed" with status 126, and words them in the user's language, so a
# control tells them apart: a script made beside PROBE with PROBE's
# permissions, which every kernel runs. If the control cannot run either (no
# execute permission, a noexec mount, no PROBE at all), the fault is not the
# format, and the verdict stops with what was seen.
i386_verdict() {
  local probe=$1 control status=0 control_status=0 error
  control=$(mktemp "$(dirname "$probe")/control.XXXXXX")
  printf '#!/bin/sh\nexit 7\n' >"$control"
  chmod --reference="$probe" "$control" 2>/dev/null || chmod a-x "$control"
  error=$(cd "$(dirname "$probe")" && "./$(basename "$probe")" 2>&1) || status=$?
  "$control" >/dev/null 2>&1 || control_status=$?
  rm -f "$control"
  if ((status == 42)); then
    echo yes
  elif ((status == 126 && control_status == 7)); then
    echo no
  else
    die "cannot tell whether this machine runs 32-bit x86 programs: a probe in $(dirname "$probe") ended with $status (${error:-no message}); set QUORVELIN_I386=yes or no"
  fi
}

# Whether this machine's kernel runs 32-bit x86 programs, probed once and handed
# to every script started from here through QUORVELIN_I386 (yes or no). Setting
# QUORVELIN_I386=no makes a machine that can run them behave as one that cannot;
# QUORVELIN_I386_PROBE_FOUND keeps what the probe itself found, if it ran.
# A kernel may be built or booted without 32-bit support (ia32_emulation=off);
# then every i386 program, Wine's 32-bit half included, fails with "Exec format
# error", and no 64-bit process can enter 32-bit code either.
probe_i386() {
  [[ ${QUORVELIN_I386:-} == yes || ${QUORVELIN_I386:-} == no ]] && return 0
  [[ -z ${QUORVELIN_I386:-} ]] || die "QUORVELIN_I386 is '$QUORVELIN_I386'; it takes yes or no"
  local dir
  dir=$(mktemp -d)
  write_i386_probe "$dir/probe"
  # A verdict that stops the script has already said why; the folder goes either way.
  QUORVELIN_I386=$(i386_verdict "$dir/probe") || { rm -rf "$dir"; exit 1; }
  rm -rf "$dir"
  QUORVELIN_I386_PROBE_FOUND=$QUORVELIN_I386
  export QUORVELIN_I386 QUORVELIN_I386_PROBE_FOUND
}

# Why this machine cannot run 32-bit x86 programs, in the words a person can act on.
i386_cause() {
  if [[ ${QUORVELIN_I386_PROBE_FOUND:-} != no ]]; then
    echo "QUORVELIN_I386=no was set"
  elif grep -qw 'ia32_emulation=off' /proc/cmdline 2>/dev/null; then
    echo "the kernel was booted with ia32_emulation=off; boot it with ia32_emulation=on to run them"
  else
    echo "the kernel has 32-bit support off; boot it with ia32_emulation=on, or use a kernel built with IA32 emulation, to run them"
  fi
}

# say_host WHAT-FOLLOWS-IF-YES WHAT-FOLLOWS-IF-NO: the one line every entry
# script prints about this machine.
say_host() {
  probe_i386
  if [[ $QUORVELIN_I386 == yes ]]; then
    echo "$SCRIPT: this machine runs 32-bit x86 programs: $1"
  else
    echo "$SCRIPT: this machine cannot run 32-bit x86 programs ($(i386_cause)): $2"
  fi
}

# run_setup_then_wine_env: what every script that builds or runs the programs
# does first: set-up, then the build trees and Wine prefixes of wine-env, from
# the root.
run_setup_then_wine_env() {
  "$ROOT/scripts/setup"
  source "$ROOT/scripts/wine-env"
  cd "$ROOT"
}

# build_while_wine_boots COMMAND...: COMMAND (the build the script needs) run
# while the prefixes in WINE_PREFIXES (by default the one the demo and the
# tools run in) boot, since neither needs the other; every Wine and display
# started here stops when the script exits. Dies saying which failed.
build_while_wine_boots() {
  local build booted=0
  "$@" &
  build=$!
  trap stop_all EXIT
  start_wine "${WINE_PREFIXES[@]:-$RUN_PREFIX}" || booted=$?
  wait "$build" || die "the build failed (see above)"
  ((booted == 0)) || die "the Wine prefix ${WINE_PREFIXES[*]:-$RUN_PREFIX} could not be started (see above)"
}

