#!/usr/bin/env bash
# The way back: a pack patched by its tool, as the installer runs it, leaves an
# undo record, and Restore.exe run in the game's folder puts the original back
# byte for byte, for both System.GPK originals (01.exe and 011.exe). The
# record is also checked by xdelta3 -d. Restore must refuse, changing nothing
# and leaving no file behind, a pack changed since it was patched, a damaged
# record and a disk that fills up; killed half-way, it leaves the pack as it
# was. A record that cannot be written fails the patch.
# Usage: undo_restore_test.sh TOOL_PROGRAM RESTORE MAKE_PATCH_TOOL (run through wine-run --unix)
set -uo pipefail
program=$(readlink -f "$1") restore=$(readlink -f "$2") make_tool=$(readlink -f "$3")

source "$(dirname "${BASH_SOURCE[0]}")/../support/test_script.sh"

# Two originals of one pack and its localised version: regions replaced by
# text of other lengths, and a block moved, so that COPYs leave the original's
# order. The second original differs from the first in a few places.
python3 - "$scratch" <<'EOF'
import random, sys
rnd = random.Random(28)
def noise(n):
    return rnd.randbytes(n)
first = bytearray(noise(3 << 20))
# Text and padding among the data, so that the record has RUNs and COPYs of
# what it made itself for xdelta3 to read, as well as COPYs and ADDs.
for at in range(0, len(first) - 8192, 8192):
    first[at:at + 2000] = ((b"original line %d " % (at % 5)) * 200)[:2000]
    first[at + 2000:at + 2100] = bytes(100)
second = bytearray(first)
for at in rnd.sample(range(0, len(second) - 5000, 4096), 6):
    second[at:at + 100] = noise(rnd.randint(50, 300))
moved = bytes(first[1 << 20:(1 << 20) + 200000])
body = first[:1 << 20] + first[(1 << 20) + 200000:]
localised = bytearray()
at = 0
for start in sorted(rnd.sample(range(0, len(body) - 4096, 4096), 30)):
    localised += body[at:start] + "汉化文本".encode("utf-8") * rnd.randint(1, 200)
    at = start + rnd.randint(1, 3000)
localised += body[at:] + moved
for name, data in (("original", first), ("original-011", second), ("localised", localised)):
    open(sys.argv[1] + "/" + name + ".gpk", "wb").write(data)
EOF

for tool in 01 011; do
  source_pack=$scratch/original.gpk
  [[ $tool == 011 ]] && source_pack=$scratch/original-011.gpk
  if ! out=$(bash "$make_tool" --program "$program" "$source_pack" "$scratch/localised.gpk" "$scratch/$tool.exe" 2>&1); then
    echo "$out"
    echo "FAIL: make-patch-tool could not make $tool.exe"
    exit 1
  fi
done

# game_with NAME ORIGINAL TOOL: a game folder whose System.GPK is ORIGINAL,
# patched by TOOL as the installer does it: the tool, then the move.
game_with() {
  local folder=$scratch/$1
  rm -rf "$folder"
  mkdir -p "$folder/Packs"
  cp "$2" "$folder/Packs/System.GPK"
  cp "$scratch/$3.exe" "$restore" "$folder/"
  run_in "$folder" "$3.exe" 'Packs\System.GPK' 'Packs\01.tmp'
  ((status == 0)) || fail "$1: the tool failed ($status): $said"
  mv "$folder/Packs/01.tmp" "$folder/Packs/System.GPK"
  game=$folder record=$folder/PatchUndo/System.GPK.undo
}

# The folder's files and their contents, to show that nothing changed.
snapshot() { (cd "$1" && find . -type f | sort | xargs -d '\n' md5sum); }

# expect_refusal NAME: Restore exits non-zero, says so, and changes nothing.
expect_refusal() {
  local before after
  before=$(snapshot "$game")
  run_in "$game" Restore.exe
  after=$(snapshot "$game")
  ((status != 0)) || fail "$1: Restore exited 0: $said"
  [[ $before == "$after" ]] || fail "$1: files changed: $(diff <(echo "$before") <(echo "$after"))"
  echo "ok: $1 refused (exit $status): $(grep -m1 System.GPK <<<"$said")"
}

for tool in 01 011; do
  original=$scratch/original.gpk
  [[ $tool == 011 ]] && original=$scratch/original-011.gpk
  game_with "game-$tool" "$original" "$tool"
  cmp -s "$game/Packs/System.GPK" "$scratch/localised.gpk" || fail "$tool: the pack was not localised"
  [[ -f $record && ! -e $record.part ]] || fail "$tool: no record, or its temporary name was left"
  xdelta3 -d -f -s "$game/Packs/System.GPK" "$record" "$scratch/xdelta3.out" && cmp -s "$scratch/xdelta3.out" "$original" ||
    fail "$tool: xdelta3 -d does not make the original from the record"
  delta=$(bash "$(dirname "$make_tool")/patch-trailer" read "$scratch/$tool.exe" | cut -d' ' -f2)
  echo "$tool: record $(stat -c %s "$record") bytes, forward delta $delta bytes"

  run_in "$game" Restore.exe
  ((status == 0)) || fail "$tool: Restore failed ($status): $said"
  cmp -s "$game/Packs/System.GPK" "$original" || fail "$tool: the restored pack is not the original"
  [[ ! -e $record && ! -e $game/Packs/System.GPK.restoring ]] || fail "$tool: the record or the copy was left"
  # With no record left, a pack this small is of no size the table knows, so
  # it is refused; what matters is that nothing changes.
  before=$(snapshot "$game")
  run_in "$game" Restore.exe
  [[ $(snapshot "$game") == "$before" ]] || fail "$tool: a second Restore changed files: $status, $said"
  echo "ok: $tool: patched, restored, and a second run changed nothing"
done

# The installer after a restore patches again and leaves a fresh record.
run_in "$game" 011.exe 'Packs\System.GPK' 'Packs\01.tmp'
mv "$game/Packs/01.tmp" "$game/Packs/System.GPK"
[[ -f $record ]] && cmp -s "$game/Packs/System.GPK" "$scratch/localised.gpk" || fail "patch after restore: $status, $said"
echo "ok: patched again after a restore"

# One byte of the localised pack changed since: refused.
game_with changed "$scratch/original.gpk" 01
printf 'X' | dd of="$game/Packs/System.GPK" bs=1 seek=2000000 conv=notrunc status=none
expect_refusal "pack changed since"

# A damaged record: a byte of its data flipped, and cut short.
game_with damaged "$scratch/original.gpk" 01
size=$(stat -c %s "$record")
python3 - "$record" <<'EOF'
import sys
data = bytearray(open(sys.argv[1], "rb").read())
data[len(data) // 2] ^= 0x20
open(sys.argv[1], "wb").write(data)
EOF
expect_refusal "damaged record"
truncate -s $((size / 3)) "$record"
expect_refusal "truncated record"

# A write fails while the original is rebuilt; and a disk without room for
# the original, on a file system of 5 MB that only root can mount.
game_with full "$scratch/original.gpk" 01
FILE_LIMIT_KB=1024 expect_refusal "write failing while restoring"
if ((EUID == 0)); then
  mkdir -p "$scratch/tiny"
  if mount -t tmpfs -o size=5m tmpfs "$scratch/tiny"; then
    mounts+=("$scratch/tiny")
    cp -r "$game/Packs" "$game/PatchUndo" "$restore" "$scratch/tiny/"
    game=$scratch/tiny
    expect_refusal "disk full while restoring"
  else
    fail "could not mount a tmpfs as root"
  fi
fi

# A record that cannot be written fails the patch: nothing at the copy's names,
# the pack untouched. Here a file stands where the record's folder would be.
rm -rf "$scratch/blocked"
mkdir -p "$scratch/blocked/Packs"
cp "$scratch/original.gpk" "$scratch/blocked/Packs/System.GPK"
cp "$scratch/01.exe" "$scratch/blocked/"
touch "$scratch/blocked/PatchUndo"
run_in "$scratch/blocked" 01.exe 'Packs\System.GPK' 'Packs\01.tmp'
((status != 0)) && [[ -z $(find "$scratch/blocked" -name '*.tmp*' -o -name '*.undo*') ]] &&
  cmp -s "$scratch/blocked/Packs/System.GPK" "$scratch/original.gpk" || fail "record not writable: $status, $said"
echo "ok: record not writable: exit $status: $said"
# The same on a full disk: the record's folder on a file system of 8 KiB,
# which only root can mount.
if ((EUID == 0)); then
  rm -f "$scratch/blocked/PatchUndo"
  mkdir "$scratch/blocked/PatchUndo"
  if mount -t tmpfs -o size=8k tmpfs "$scratch/blocked/PatchUndo"; then
    mounts+=("$scratch/blocked/PatchUndo")
    run_in "$scratch/blocked" 01.exe 'Packs\System.GPK' 'Packs\01.tmp'
    ((status == 4)) && [[ -z $(find "$scratch/blocked" -name '*.tmp*' -o -name '*.undo*') ]] ||
      fail "disk full while writing the record: $status, $said"
    echo "ok: disk full while writing the record: exit $status: $said"
  else
    fail "could not mount a tmpfs as root"
  fi
else
  echo "skipped: disk full while writing the record (mounting needs root)"
fi

# Killed while it writes the copy: a pack large enough that the copy is seen
# before the rename, the process killed then, and the pack as it was.
python3 - "$scratch" <<'EOF'
import random, sys
rnd = random.Random(2828)
original = rnd.randbytes(96 << 20)
localised = original[:50 << 20] + "汉化".encode("utf-8") * 5000 + original[(50 << 20) + 7000:]
open(sys.argv[1] + "/big-original.gpk", "wb").write(original)
open(sys.argv[1] + "/big-localised.gpk", "wb").write(localised)
EOF
if bash "$make_tool" --program "$program" "$scratch/big-original.gpk" "$scratch/big-localised.gpk" "$scratch/big.exe" >/dev/null 2>&1; then
  game_with killed "$scratch/big-original.gpk" big
  caught=no
  for attempt in 1 2 3; do
    before=$(snapshot "$game")
    (cd "$game" && exec wine Restore.exe </dev/null >/dev/null 2>&1) &
    pid=$!
    # Bounded: a cold Wine start on a loaded machine takes well over ten seconds.
    for ((i = 0; i < 60000; i++)); do
      [[ -e $game/Packs/System.GPK.restoring ]] && break
      kill -0 "$pid" 2>/dev/null || break
      sleep 0.001
    done
    if [[ -e $game/Packs/System.GPK.restoring ]] && kill -KILL "$pid" 2>/dev/null; then
      wait "$pid"
      caught=yes
      rm -f "$game/Packs/System.GPK.restoring"
      [[ $(snapshot "$game") == "$before" ]] || fail "killed restore: the pack or record changed"
      break
    fi
    wait "$pid"
    # It finished first: patch again and retry.
    rm -rf "$game"
    game_with killed "$scratch/big-original.gpk" big
  done
  [[ $caught == yes ]] || fail "killed restore: Restore finished three times before it could be killed"
  run_in "$game" Restore.exe
  ((status == 0)) && cmp -s "$game/Packs/System.GPK" "$scratch/big-original.gpk" || fail "restore after the kill: $status, $said"
  echo "ok: killed restore left the pack as it was, and a new run restored it"
else
  fail "make-patch-tool could not make the tool for the large pack"
fi

((failures == 0)) || { echo "$failures failure(s)"; exit 1; }
echo "all undo and restore cases passed"
