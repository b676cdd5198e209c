#!/usr/bin/env bash
# The patch tool as the installer runs it, in a game folder whose path has a
# space and Chinese characters: made by scripts/make-patch-tool from two small
# packs, then run where it succeeds and where it must refuse. Every refusal
# exits non-zero with one GBK line naming its case and leaves nothing at TARGET
# or under TARGET's temporary name.
# With SHIPPED_PROGRAM, the 32-bit program, the 64-bit TOOL_PROGRAM also checks
# the shipped tool made from it, as a machine that cannot run it does.
# Usage: patch_tool_test.sh TOOL_PROGRAM MAKE_PATCH_TOOL [SHIPPED_PROGRAM] (run through wine-run --unix)
set -uo pipefail
program=$(readlink -f "$1") make_tool=$(readlink -f "$2") shipped=${3:+$(readlink -f "$3")}
source "$(dirname "$make_tool")/checksum.sh"

source "$(dirname "${BASH_SOURCE[0]}")/../support/test_script.sh"

# Pseudo-random packs: the localised one has regions replaced by data of other
# lengths, so that what follows each region moves.
python3 "$(dirname "$make_tool")/make-packs.py" --dense --regions 24 "$scratch" pack:$((3 << 20)):$(((3 << 20) + 24000))
for kind in original localised; do mv "$scratch/$kind/pack" "$scratch/$kind.gpk"; done

game="$scratch/游戏 文件夹"
mkdir -p "$game/Packs"
if ! out=$(bash "$make_tool" --program "$program" "$scratch/original.gpk" "$scratch/localised.gpk" "$game/01.exe" 2>&1); then
  echo "$out"
  echo "FAIL: make-patch-tool could not make the tool"
  exit 1
fi
echo "$out"
[[ $out == *"delta "*" bytes"* ]] || fail "make-patch-tool did not report the delta's size"

# expect_refusal NAME FOLDER PHRASE ARGS...: a non-zero exit, one line with PHRASE, no output left.
expect_refusal() {
  local name=$1 folder=$2 phrase=$3 lines before=$failures
  shift 3
  rm -f "$folder/Packs/01.tmp" "$folder/Packs/01.tmp.part"
  run_in "$folder" 01.exe "$@"
  lines=$(printf '%s\n' "$said" | grep -c .)
  ((status != 0)) || fail "$name: exit code 0"
  [[ $said == *"$phrase"* && $lines == 1 ]] || fail "$name: expected one line with '$phrase', got: $said"
  [[ ! -e $folder/Packs/01.tmp && ! -e $folder/Packs/01.tmp.part ]] || fail "$name: left a file behind"
  ((failures > before)) || echo "ok: $name (exit $status): $said"
}

use_pack() { cp "$1" "$game/Packs/System.GPK"; }

# The whole run as the installer starts it.
use_pack "$scratch/original.gpk"
run_in "$game" 01.exe 'Packs\System.GPK' 'Packs\01.tmp'
((status == 0)) || fail "patch: exit code $status: $said"
cmp -s "$game/Packs/01.tmp" "$scratch/localised.gpk" || fail "patch: the output is not the localised pack"
[[ ! -e $game/Packs/01.tmp.part ]] || fail "patch: the temporary name was left behind"
[[ -z $said ]] || fail "patch: printed to a pipe: $said"
echo "ok: patch"

# Zeros are passed over rather than written: a pack with a hole inside and at
# its end must still come out whole, at its full size.
head -c 200000 /dev/zero | cat "$scratch/localised.gpk" - >"$scratch/holes.gpk"
printf 'data between the holes' >>"$scratch/holes.gpk"
head -c 300000 /dev/zero >>"$scratch/holes.gpk"
if bash "$make_tool" --program "$program" "$scratch/original.gpk" "$scratch/holes.gpk" "$scratch/holes.exe" >/dev/null 2>&1; then
  cp "$scratch/holes.exe" "$game/holes.exe"
  rm -f "$game/Packs/01.tmp"
  run_in "$game" holes.exe 'Packs\System.GPK' 'Packs\01.tmp'
  ((status == 0)) && cmp -s "$game/Packs/01.tmp" "$scratch/holes.gpk" || fail "holes: status $status, $said"
  rm -f "$game/holes.exe"
  echo "ok: holes"
else
  fail "make-patch-tool could not make the tool for the pack with holes"
fi

# A copy left by a killed run is replaced, never taken for this run's.
printf 'half' >"$game/Packs/01.tmp.part"
rm -f "$game/Packs/01.tmp"
run_in "$game" 01.exe 'Packs\System.GPK' 'Packs\01.tmp'
((status == 0)) && cmp -s "$game/Packs/01.tmp" "$scratch/localised.gpk" && [[ ! -e $game/Packs/01.tmp.part ]] ||
  fail "stale copy: status $status, $said"
echo "ok: stale copy"

run_in "$game" 01.exe
((status != 0)) && [[ $said == *"Brisunde.exe"* ]] || fail "no parameters: status $status, $said"
echo "ok: no parameters: $said"

# Another version of the pack: one byte changed where the delta copies from it,
# and one byte longer.
python3 - "$scratch/original.gpk" "$game/Packs/System.GPK" <<'EOF'
import sys
data = bytearray(open(sys.argv[1], "rb").read())
data[len(data) // 2] ^= 0x01
open(sys.argv[2], "wb").write(data)
EOF
expect_refusal "one byte changed" "$game" "不是本补丁所对应的版本" 'Packs\System.GPK' 'Packs\01.tmp'
use_pack "$scratch/original.gpk"
printf 'x' >>"$game/Packs/System.GPK"
expect_refusal "one byte longer" "$game" "不是本补丁所对应的版本" 'Packs\System.GPK' 'Packs\01.tmp'
use_pack "$scratch/original.gpk"
expect_refusal "missing pack" "$game" "失败" 'Packs\Missing.GPK' 'Packs\01.tmp'

# Damaged tools: cut short, and one byte of the delta flipped.
cp "$game/01.exe" "$scratch/whole.exe"
size=$(stat -c %s "$scratch/whole.exe")
head -c $((size - 1000)) "$scratch/whole.exe" >"$game/01.exe"
expect_refusal "truncated tool" "$game" "已损坏" 'Packs\System.GPK' 'Packs\01.tmp'
python3 - "$scratch/whole.exe" "$game/01.exe" <<'EOF'
import sys
data = bytearray(open(sys.argv[1], "rb").read())
data[len(data) - 64 - 100] ^= 0x40  # inside the delta, just before the trailer
open(sys.argv[2], "wb").write(data)
EOF
expect_refusal "flipped delta byte" "$game" "已损坏" 'Packs\System.GPK' 'Packs\01.tmp'
cp "$scratch/whole.exe" "$game/01.exe"

# A tool whose delta has many small windows, so that some are being written while
# later ones are decoded: it patches like the others; a write that fails part-way
# and a damaged window half-way through each leave nothing behind. The damaged
# tool's own checksum is made again, so that the decoder is what finds the damage.
xdelta3 -e -S none -W 262144 -f -s "$scratch/original.gpk" "$scratch/localised.gpk" "$scratch/windows.vcdiff"
if bash "$make_tool" --program "$program" --vcdiff "$scratch/windows.vcdiff" \
  "$scratch/original.gpk" "$scratch/localised.gpk" "$scratch/windows.exe" >/dev/null 2>&1; then
  cp "$scratch/windows.exe" "$game/01.exe"
  rm -f "$game/Packs/01.tmp"
  run_in "$game" 01.exe 'Packs\System.GPK' 'Packs\01.tmp'
  ((status == 0)) && cmp -s "$game/Packs/01.tmp" "$scratch/localised.gpk" || fail "small windows: status $status, $said"
  echo "ok: small windows"
  FILE_LIMIT_KB=1536 expect_refusal "write failing part-way" "$game" "失败" 'Packs\System.GPK' 'Packs\01.tmp'
  cp "$scratch/windows.exe" "$game/01.exe"
  read -r offset size _ < <(bash "$(dirname "$make_tool")/patch-trailer" read "$game/01.exe")
  printf '\x40' | dd of="$game/01.exe" bs=1 seek=$((offset + size * 2 / 3)) conv=notrunc status=none
  bash "$(dirname "$make_tool")/patch-trailer" seal "$game/01.exe"
  expect_refusal "damaged window half-way" "$game" "已损坏" 'Packs\System.GPK' 'Packs\01.tmp'
  cp "$scratch/whole.exe" "$game/01.exe"
else
  fail "make-patch-tool could not make the tool with small windows"
fi

# A read-only target folder and a full disk need a file system of their own,
# which only root can mount; Wine running as root writes past permission bits.
# mounted_game NAME SIZE: a game folder with the tool and the pack on a tmpfs of SIZE.
mounted_game() {
  local folder=$scratch/$1
  mkdir -p "$folder"
  mount -t tmpfs -o "size=$2" tmpfs "$folder" || return 1
  mounts+=("$folder")
  mkdir -p "$folder/Packs"
  cp "$scratch/whole.exe" "$folder/01.exe"
  cp "$scratch/original.gpk" "$folder/Packs/System.GPK"
}
if ((EUID == 0)); then
  # The tool and the pack leave about 1 MB of 5 MB for a 3 MB copy.
  if mounted_game small 5m && mounted_game readonly 64m && mount -o remount,ro "$scratch/readonly"; then
    expect_refusal "too little free space" "$scratch/small" "磁盘空间不足" 'Packs\System.GPK' 'Packs\01.tmp'
    expect_refusal "read-only folder" "$scratch/readonly" "失败" 'Packs\System.GPK' 'Packs\01.tmp'
  else
    fail "could not mount the tmpfs folders as root"
  fi
else
  echo "skipped: free space and read-only folder (mounting needs root)"
fi

# make-patch-tool refuses what it cannot make a working tool of, and writes nothing.
expect_maker_error() {
  local name=$1 phrase=$2 out
  shift 2
  rm -f "$scratch/made.exe"
  if out=$(bash "$make_tool" --program "$program" "$@" 2>&1); then
    fail "make-patch-tool $name: succeeded"
  elif [[ $out != *"$phrase"* ]]; then
    fail "make-patch-tool $name: expected '$phrase', got: $out"
  fi
  [[ ! -e $scratch/made.exe ]] || fail "make-patch-tool $name: wrote the tool"
  ls -a "$scratch" | grep -q '^\.make-patch-tool' && fail "make-patch-tool $name: left its work folder"
  echo "ok: make-patch-tool $name: $(tail -n 1 <<<"$out")"
}
expect_maker_error "missing file" "no such file" "$scratch/none.gpk" "$scratch/localised.gpk" "$scratch/made.exe"
expect_maker_error "same file twice" "same file" "$scratch/original.gpk" "$scratch/original.gpk" "$scratch/made.exe"
xdelta3 -e -S djw -f -s "$scratch/original.gpk" "$scratch/localised.gpk" "$scratch/djw.vcdiff"
expect_maker_error "secondary compression" "-S none" --vcdiff "$scratch/djw.vcdiff" \
  "$scratch/original.gpk" "$scratch/localised.gpk" "$scratch/made.exe"
xdelta3 -e -S none -f -s "$scratch/original.gpk" "$scratch/localised.gpk" "$scratch/good.vcdiff"
python3 - "$scratch/good.vcdiff" "$scratch/flipped.vcdiff" <<'EOF'
import sys
data = bytearray(open(sys.argv[1], "rb").read())
for at in range(len(data) // 3, len(data), 97):
    data[at] ^= 0x10
open(sys.argv[2], "wb").write(data)
EOF
expect_maker_error "flipped delta" "cannot make" --vcdiff "$scratch/flipped.vcdiff" \
  "$scratch/original.gpk" "$scratch/localised.gpk" "$scratch/made.exe"
expect_maker_error "delta for other packs" "cannot make" --vcdiff "$scratch/good.vcdiff" \
  "$scratch/localised.gpk" "$scratch/original.gpk" "$scratch/made.exe"

# A delta made elsewhere becomes a tool that patches like the others.
if out=$(bash "$make_tool" --program "$program" --vcdiff "$scratch/good.vcdiff" \
  "$scratch/original.gpk" "$scratch/localised.gpk" "$scratch/made.exe" 2>&1); then
  cp "$scratch/made.exe" "$game/01.exe"
  rm -f "$game/Packs/01.tmp"
  run_in "$game" 01.exe 'Packs\System.GPK' 'Packs\01.tmp'
  ((status == 0)) && cmp -s "$game/Packs/01.tmp" "$scratch/localised.gpk" || fail "--vcdiff tool: status $status, $said"
  echo "ok: --vcdiff"
else
  fail "make-patch-tool --vcdiff: $out"
fi

# Where 32-bit programs cannot run, the shipped tool is checked by its twin:
# the same delta and trailer on the 64-bit program. What is written is the
# shipped tool, whole, and a delta that the twin refuses writes nothing.
if [[ -n $shipped ]]; then
  if out=$(QUORVELIN_I386=no bash "$make_tool" --program "$shipped" --check-program "$program" \
    --vcdiff "$scratch/good.vcdiff" "$scratch/original.gpk" "$scratch/localised.gpk" "$scratch/made.exe" 2>&1); then
    size=$(stat -c %s "$shipped")
    [[ $out == *"x64 twin"* ]] || fail "twin check: the maker did not say which check it did: $out"
    cmp -s -n "$size" "$shipped" "$scratch/made.exe" || fail "twin check: the tool is not the shipped program"
    read -r _ _ _ _ _ _ tool_hash _ < <(bash "$(dirname "$make_tool")/patch-trailer" read "$scratch/made.exe")
    [[ $(bash "$(dirname "$make_tool")/patch-trailer" hash "$scratch/made.exe") == "$tool_hash" ]] ||
      fail "twin check: the tool's own checksum does not cover the shipped tool"
    echo "ok: make-patch-tool checks the shipped tool by its twin: $(tail -n 1 <<<"$out")"
  else
    fail "make-patch-tool with the twin's check: $out"
  fi
  expect_maker_error "flipped delta, twin's check" "cannot make" --program "$shipped" --check-program "$program" \
    --vcdiff "$scratch/flipped.vcdiff" "$scratch/original.gpk" "$scratch/localised.gpk" "$scratch/made.exe"
  QUORVELIN_I386=no expect_maker_error "32-bit check where it cannot run" "cannot run 32-bit" \
    --program "$shipped" --vcdiff "$scratch/good.vcdiff" "$scratch/original.gpk" "$scratch/localised.gpk" "$scratch/made.exe"
fi

((failures == 0)) || { echo "$failures failure(s)"; exit 1; }
echo "all patch tool cases passed"
