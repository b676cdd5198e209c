#!/usr/bin/env bash
# The patch tool in faults, run as the installer runs it: each fault must end
# the run with its exit code (4 for a full disk or a used-up quota, whenever it
# shows; 5 for any other failure to write or flush, and for want of memory),
# one GBK line that says which, and neither TARGET nor TARGET.part left.
#
# - Under Wine, through an LD_PRELOAD shim (write_faults.c, built here for the
#   loader of each size) over the calls ntdll makes for the tool: the disk
#   full at several offsets, the last window already handed over among them;
#   fsync failing with ENOSPC on a target smaller than the flush interval (the
#   final flush) and on one larger (the flusher's), and with EIO; a write that
#   is lost at the end, which only the check of the file's size sees; and, on
#   a tmpfs of its own (root only), the disk filled for real just before the
#   file is ended at its size past a hole.
# - Through the test build patch_tool_faults.exe (ToolFaults.cpp): Windows'
#   own quota and disk-full errors, which Wine never reports, and every
#   allocation of a run refused in turn, thread starts included. A run may
#   carry on only when the refused allocation was the writer's second or third
#   buffer; then its output must be what it is without the fault.
# Usage: patch_tool_fault_test.sh TOOL_PROGRAM FAULTS_PROGRAM MAKE_PATCH_TOOL (run through wine-run --unix)
set -uo pipefail
program=$(readlink -f "$1") faults_program=$(readlink -f "$2") make_tool=$(readlink -f "$3")
here=$(cd "$(dirname "$0")" && pwd)
# The writer's buffers: the decoder's largest window (vcdiff::BufferSizes::maxTargetWindow).
buffer_bytes=$((16 << 20))

source "$(dirname "${BASH_SOURCE[0]}")/../support/test_script.sh"

# The shim for each size of Wine loader; the dynamic loader picks its own
# through $LIB (lib/x86_64-linux-gnu or lib/i386-linux-gnu).
for build in "64 x86_64-linux-gnu" "32 i386-linux-gnu"; do
  read -r bits triplet <<<"$build"
  mkdir -p "$scratch/shim/lib/$triplet"
  if ! cc -m"$bits" -O2 -Wall -shared -fPIC -o "$scratch/shim/lib/$triplet/write_faults.so" \
    "$here/write_faults.c" -ldl 2>"$scratch/cc.log"; then
    [[ $bits == 64 ]] && { cat "$scratch/cc.log"; echo "FAIL: the shim does not build"; exit 1; }
  fi
done
shim="$scratch/shim/\$LIB/write_faults.so"

# Pseudo-random packs without a zero block, as patch_tool_test.sh has them; a
# localised one that ends in a hole; and a pair larger than the writer's flush
# interval (64 MiB).
make_packs=(python3 "$(dirname "$make_tool")/make-packs.py" --dense)
"${make_packs[@]}" --regions 24 "$scratch" pack:$((3 << 20)):$(((3 << 20) + 24000)) &&
  "${make_packs[@]}" --regions 16 "$scratch" big:$((80 << 20)):$((80 << 20)) || { echo "FAIL: no packs"; exit 1; }
for kind in original localised; do
  mv "$scratch/$kind/pack" "$scratch/$kind.gpk"
  mv "$scratch/$kind/big" "$scratch/big-$kind.gpk"
done
cp "$scratch/localised.gpk" "$scratch/holes.gpk"
truncate -s +300000 "$scratch/holes.gpk"

# make NAME PROGRAM ORIGINAL LOCALISED [XDELTA3 OPTION...]: NAME.exe in $scratch.
make() {
  local name=$1 tool_program=$2 original=$3 localised=$4 out
  shift 4
  xdelta3 -e -S none -f "$@" -s "$original" "$localised" "$scratch/$name.vcdiff" &&
    out=$(bash "$make_tool" --program "$tool_program" --vcdiff "$scratch/$name.vcdiff" \
      "$original" "$localised" "$scratch/$name.exe" 2>&1) && return 0
  echo "$out"
  fail "make-patch-tool could not make $name.exe"
  return 1
}
make one "$program" "$scratch/original.gpk" "$scratch/localised.gpk" || exit 1
make windows "$program" "$scratch/original.gpk" "$scratch/localised.gpk" -W 262144 || exit 1
make holes "$program" "$scratch/original.gpk" "$scratch/holes.gpk" || exit 1
make big "$program" "$scratch/big-original.gpk" "$scratch/big-localised.gpk" -1 -B $((80 << 20)) || exit 1
make faults "$faults_program" "$scratch/original.gpk" "$scratch/localised.gpk" -W 262144 || exit 1
make faults-holes "$faults_program" "$scratch/original.gpk" "$scratch/holes.gpk" || exit 1
size=$(stat -c %s "$scratch/localised.gpk")

game="$scratch/游戏 文件夹"
mkdir -p "$game/Packs"

# run FOLDER TOOL PACK [VAR=VALUE...]: the tool run on PACK as the installer runs
# it, with VARs in its environment: its exit code in $status, its output as
# UTF-8 in $said, its standard error in $scratch/stderr, and the faults made
# (the shim's record and the test build's lines) in $faults.
run() {
  local folder=$1 tool=$2 pack=$3 raw
  shift 3
  cp "$scratch/$tool.exe" "$folder/$tool.exe"
  cp "$pack" "$folder/Packs/System.GPK"
  rm -f "$folder/Packs/01.tmp" "$folder/Packs/01.tmp.part" "$scratch/fault.log"
  raw=$(cd "$folder" && env FAULT_LOG="$scratch/fault.log" "$@" timeout 120 wine "$tool.exe" 'Packs\System.GPK' \
    'Packs\01.tmp' </dev/null 2>"$scratch/stderr")
  status=$?
  said=$(printf '%s' "$raw" | iconv -f GBK -t UTF-8 2>/dev/null) || said="(not GBK: $raw)"
  said=${said//$'\r'/}
  faults=$(cat "$scratch/fault.log" 2>/dev/null; grep '^tool faults:' "$scratch/stderr")
  faults=${faults//$'\n'/ }
}

# left FOLDER: what the run left of TARGET and TARGET.part.
left() {
  local file found=
  for file in "$1/Packs/01.tmp" "$1/Packs/01.tmp.part"; do
    [[ -e $file ]] && found+="$(basename "$file") ($(stat -c %s "$file") bytes) "
  done
  echo "${found:-nothing}"
}

# expect NAME STATUS PHRASE FAULT FOLDER TOOL PACK [VAR=VALUE...]: the run ends
# with STATUS and one line with PHRASE, leaves nothing, and FAULT is among the
# faults made.
expect() {
  local name=$1 want=$2 phrase=$3 fault=$4 lines before=$failures
  shift 4
  run "$@"
  lines=$(printf '%s\n' "$said" | grep -c .)
  ((status == want)) || fail "$name: exit code $status, not $want"
  [[ $said == *"$phrase"* && $lines == 1 ]] || fail "$name: expected one line with '$phrase', got: $said"
  [[ $(left "$1") == nothing ]] || fail "$name: left $(left "$1")"
  [[ $faults == *"$fault"* ]] || fail "$name: the fault was never made (made: ${faults:-nothing})"
  ((failures > before)) || echo "ok: $name: exit $status, left $(left "$1"): $said"
}

full="磁盘空间不足"
with_shim=(LD_PRELOAD="$shim")

# The shim itself: with no fault chosen, the tool writes its pack through it.
run "$game" windows "$scratch/original.gpk" "${with_shim[@]}"
((status == 0)) && cmp -s "$game/Packs/01.tmp" "$scratch/localised.gpk" || fail "through the shim: status $status, $said"
echo "ok: through the shim, no fault: exit $status"

# The disk full while writing: at the first byte, half-way (the 256 KiB windows
# share buffers handed over a MiB at a time), and 1000 bytes before the end, in
# the last buffer, handed over only once the last window was taken; the
# one-window tool's single window is handed over before any write fails.
for at in 0 $((3 << 19)) $((size - 1000)); do
  expect "disk full at byte $at" 4 "$full" write-failed "$game" windows "$scratch/original.gpk" \
    "${with_shim[@]}" FAULT_WRITE_AT=$at
done
expect "disk full at byte 0, one window" 4 "$full" write-failed "$game" one "$scratch/original.gpk" \
  "${with_shim[@]}" FAULT_WRITE_AT=0
expect "disk full 1000 bytes before the end, one window" 4 "$full" write-failed "$game" one "$scratch/original.gpk" \
  "${with_shim[@]}" FAULT_WRITE_AT=$((size - 1000))
expect "write failing with EIO" 5 "失败（错误代码 21）" write-failed "$game" windows "$scratch/original.gpk" \
  "${with_shim[@]}" FAULT_WRITE_AT=$((1 << 20)) FAULT_WRITE_ERRNO=EIO

# Flushes: the only flush of a target smaller than the flush interval is the
# final one, after the writer has ended; a larger target's first is the
# flusher's, while writing goes on. The flusher may be scheduled late, after
# the writer was told to stop, when the final flush alone covers the file; so
# the big target's last write waits for the flusher's failed flush.
expect "final flush: disk full" 4 "$full" fsync-failed-main "$game" one "$scratch/original.gpk" \
  "${with_shim[@]}" FAULT_FSYNC_ERRNO=ENOSPC
expect "final flush: EIO" 5 "失败（错误代码 21）" fsync-failed-main "$game" one "$scratch/original.gpk" \
  "${with_shim[@]}" FAULT_FSYNC_ERRNO=EIO
last_byte=$(($(stat -c %s "$scratch/big-localised.gpk") - 1))
expect "flusher: disk full" 4 "$full" fsync-failed-thread "$game" big "$scratch/big-original.gpk" \
  "${with_shim[@]}" FAULT_FSYNC_ERRNO=ENOSPC FAULT_HOLD_WRITE_AT=$last_byte
expect "flusher: EIO" 5 "失败（错误代码 21）" fsync-failed-thread "$game" big "$scratch/big-original.gpk" \
  "${with_shim[@]}" FAULT_FSYNC_ERRNO=EIO FAULT_HOLD_WRITE_AT=$last_byte

# The last 1000 bytes written nowhere, though the system said they were: the
# file comes out short, which only its size, checked before the rename, shows.
expect "last write lost" 5 "失败（错误代码 29）" lost "$game" one "$scratch/original.gpk" \
  "${with_shim[@]}" FAULT_LOSE_AT=$((size - 1000))

# Windows' own errors, made by the test build: quotas and a full disk where
# the shim cannot reach (SetEndOfFile is the wineserver's).
expect "WriteFile: ERROR_DISK_QUOTA_EXCEEDED" 4 "$full" "WriteFile failed with 1295" "$game" faults \
  "$scratch/original.gpk" QUORVELIN_FAIL_WRITEFILE=1295
expect "WriteFile: ERROR_HANDLE_DISK_FULL" 4 "$full" "WriteFile failed with 39" "$game" faults \
  "$scratch/original.gpk" QUORVELIN_FAIL_WRITEFILE=39
expect "FlushFileBuffers: ERROR_NOT_ENOUGH_QUOTA" 4 "$full" "FlushFileBuffers failed with 1816" "$game" faults \
  "$scratch/original.gpk" QUORVELIN_FAIL_FLUSHFILEBUFFERS=1816
expect "SetEndOfFile: ERROR_DISK_FULL" 4 "$full" "SetEndOfFile failed with 112" "$game" faults-holes \
  "$scratch/original.gpk" QUORVELIN_FAIL_SETENDOFFILE=112
expect "SetEndOfFile: ERROR_ACCESS_DENIED" 5 "失败（错误代码 5）" "SetEndOfFile failed with 5" "$game" faults-holes \
  "$scratch/original.gpk" QUORVELIN_FAIL_SETENDOFFILE=5

# The disk filled for real between the last write and the end of the file,
# which lies past a hole: Wine's server makes the file that long by writing its
# last byte, which a full tmpfs refuses. Root only, for the mount.
if ((EUID == 0)); then
  tight="$scratch/tight"
  mkdir -p "$tight"
  if mount -t tmpfs -o size=16m tmpfs "$tight"; then
    mounts+=("$tight")
    mkdir -p "$tight/Packs"
    expect "disk filled before the end of the file" 4 "$full" filled "$tight" holes "$scratch/original.gpk" \
      "${with_shim[@]}" FAULT_FILL_PAST_END=1 FAULT_FILL_FILE="$tight/filler"
    rm -f "$tight/filler"
  else
    fail "could not mount a tmpfs as root"
  fi
else
  echo "skipped: the disk filled for real (mounting needs root)"
fi

# refusals NAME PACK NORMAL_STATUS: every allocation of the run refused in
# turn. Each ends the run for want of memory, or the run goes on as without the
# fault when the refused one was a writer's buffer beyond its first (whether
# the decoder gets ahead enough to need one depends on the writer's pace).
refusals() {
  local name=$1 pack=$2 normal=$3 n report lines fewer=0 fatal=0
  for ((n = 1; n <= 400; n++)); do
    run "$game" faults "$pack" QUORVELIN_REFUSE_ALLOCATION=$n
    report=$(grep '^tool faults:' "$scratch/stderr")
    if [[ $report == *"none refused"* ]]; then
      ((status == normal)) || fail "$name: with nothing refused, exit code $status: $said"
      echo "ok: $name: each of $((n - 1)) allocations refused in turn: $fatal ended the run (exit 5, left nothing);" \
        "$fewer left the writer fewer buffers, and the run went on to exit $normal"
      return
    fi
    if ((status == normal)) && [[ $report =~ "operator new of "$buffer_bytes" bytes, number "([0-9]+) ]] &&
      ((BASH_REMATCH[1] >= 2)); then
      fewer=$((fewer + 1))
    else
      lines=$(printf '%s\n' "$said" | grep -c .)
      ((status == 5)) || fail "$name, ${report:-no report}: exit code $status"
      [[ $said == *"内存不足"* && $lines == 1 ]] ||
        fail "$name, ${report:-no report}: expected the out-of-memory line, got: $said"
      [[ $(left "$game") == nothing ]] || fail "$name, ${report:-no report}: left $(left "$game")"
      fatal=$((fatal + 1))
      ((failures >= 10)) && return
      continue
    fi
    # Gone on: as without the fault.
    if ((normal == 0)); then
      cmp -s "$game/Packs/01.tmp" "$scratch/localised.gpk" || fail "$name, $report: went on, but the output is wrong"
    else
      [[ $(left "$game") == nothing ]] || fail "$name, $report: left $(left "$game")"
    fi
  done
  fail "$name: more than 400 allocations"
}
refusals "allocations of a run" "$scratch/original.gpk" 0
# Another version of the pack: the decode stops at a window's checksum, and
# the tool then reads the pack through for its own checksum.
cp "$scratch/original.gpk" "$scratch/other.gpk"
middle=$(($(stat -c %s "$scratch/other.gpk") / 2))
byte=$(od -An -tu1 -j "$middle" -N1 "$scratch/other.gpk")
printf "\\$(printf %03o $((byte ^ 1)))" | dd of="$scratch/other.gpk" bs=1 seek="$middle" conv=notrunc status=none
refusals "allocations of a run on another version" "$scratch/other.gpk" 2

((failures == 0)) || { echo "$failures failure(s)"; exit 1; }
echo "all patch tool fault cases passed"
