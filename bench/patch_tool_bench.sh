#!/usr/bin/env bash
# The patch tool on one realistic pair at full size: a 1.9 GB pseudo-random
# original and a localised copy with 400 regions replaced by data of other
# lengths, System.GPK's size apart, and its first 8 MiB moved to the end. In one
# interleaved run it times the tool under Wine (as the installer starts it,
# output flushed), native xdelta3 -d of the same delta, and plain copies of the
# pack under Wine with and without a flush, and gives each series' spread; it
# also gives the tool's peak memory against a bare console program's, its
# delta's size against xdelta3 -9 -S none with a source window over the pack,
# and the time to make it. In each round, Restore.exe puts the original
# back from the first tool run's output and undo record; its time and the record's size
# are given against a flushed copy and the delta, as figures without limits.
# The data is made in DIR and removed at the end.
# Usage: patch_tool_bench.sh BUILD DIR RUNS (with scripts/wine-env sourced and Wine started)
set -euo pipefail
BUILD=$1 work=$2 runs=$3
here=$(cd "$(dirname "$0")" && pwd)
source "$here/../scripts/lib.sh"
original=$work/original/System.GPK localised=$work/localised/System.GPK
status=0

need=$((5 * ${LOCALISED_SIZE[System.GPK]} + (64 << 20)))
free=$(($(df -B1 --output=avail "$(dirname "$work")" | tail -n 1)))
if ((free < need)); then
  echo "patch tool: needs $((need >> 30)) GiB free beside $work, has $((free >> 30)) GiB; skipped"
  exit 1
fi
mkdir -p "$work/game/Packs" "$work/restore/Packs"
trap 'rm -rf "$work"' EXIT

start=$(now_ms)
python3 "$here/../scripts/make-packs.py" --dense --regions 400 --move $((8 << 20)) "$work" \
  "$(pack_pairs 01)"
echo "patch tool: packs made in $(($(now_ms) - start)) ms ($(stat -c %s "$original") -> $(stat -c %s "$localised") bytes)"

start=$(now_ms)
bash "$here/../scripts/make-patch-tool" --program "$BUILD/bin/PatchTool.exe" "$original" "$localised" "$work/game/01.exe"
make_ms=$(($(now_ms) - start))
# The tool's own delta, cut out of it by its trailer, for xdelta3 -d.
read -r delta_offset delta_size _ < <(bash "$here/../scripts/patch-trailer" read "$work/game/01.exe")
tail -c +$((delta_offset + 1)) "$work/game/01.exe" | head -c "$delta_size" >"$work/tool.vcdiff"

start=$(now_ms)
xdelta3 -e -9 -S none -B "$(stat -c %s "$original")" -f -s "$original" "$localised" "$work/reference.vcdiff"
reference_ms=$(($(now_ms) - start))
reference_size=$(stat -c %s "$work/reference.vcdiff")

# The tool, the copies and the bare program run in the game folder, as the installer starts the tool.
ln "$original" "$work/game/Packs/System.GPK"
cd "$work/game"
copy_exe=$(wine_path "$BUILD/bench/plain_copy.exe")
restore_exe=$(wine_path "$BUILD/bin/Restore.exe")
bare_exe=$(wine_path "$BUILD/bench/bare_console.exe")
tool=() native=() copy=() flushed=() restore=() peak_kib=0 bare_kib=0
run_tool() {
  rm -f Packs/01.tmp
  local t rss
  t=$(now_ms)
  rss=$(/usr/bin/time -f %M wine 01.exe 'Packs\System.GPK' 'Packs\01.tmp' 2>&1 >/dev/null | tail -n 1)
  tool+=($(($(now_ms) - t)))
  ((rss > peak_kib)) && peak_kib=$rss
  # The first output and its record are what every Restore.exe run starts from,
  # as every tool run starts from the same original. Once is enough for the
  # comparison: the tool checks its whole output against the localised pack's
  # checksum itself.
  if ((${#tool[@]} == 1)); then
    cmp -s Packs/01.tmp "$localised" || { echo "patch tool: WRONG OUTPUT"; status=1; }
    record_size=$(stat -c %s PatchUndo/System.GPK.undo)
    mv PatchUndo/System.GPK.undo "$work/record.undo"
    mv Packs/01.tmp "$work/patched.gpk"
  fi
  rm -rf Packs/01.tmp PatchUndo
}
run_restore() {
  # A link: Restore.exe renames its copy over the pack's name and leaves the file.
  ln -f "$work/patched.gpk" "$work/restore/Packs/System.GPK"
  mkdir -p "$work/restore/PatchUndo"
  cp "$work/record.undo" "$work/restore/PatchUndo/System.GPK.undo"
  cd "$work/restore"
  timed restore wine "$restore_exe" </dev/null >/dev/null
  cd "$work/game"
  if ((${#restore[@]} == 1)); then
    cmp -s "$work/restore/Packs/System.GPK" "$original" || { echo "patch tool: Restore.exe did not give the original"; status=1; }
  fi
  rm -f "$work/restore/Packs/System.GPK"
}
# The floor for the tool's memory: a console program that prints a line and
# pauses (its pause returns at once on an empty input), measured the same way.
run_bare() {
  local rss
  rss=$(/usr/bin/time -f %M wine "$bare_exe" 2>&1 >/dev/null </dev/null | tail -n 1)
  if ((rss > bare_kib)); then bare_kib=$rss; fi
}
run_native() {
  timed native xdelta3 -d -f -s "$original" "$work/tool.vcdiff" "$work/native.out"
  rm -f "$work/native.out"
}
# run_copy SERIES [--flush]
run_copy() {
  timed "$1" wine "$copy_exe" 'Packs\System.GPK' 'Packs\copy.out' ${2:-}
  rm -f Packs/copy.out
}
for ((i = 0; i < runs; i++)); do
  # Each starts first in turn, so that none always finds the page cache warmed by another.
  case $((i % 4)) in
    0) run_tool; run_restore; run_native; run_copy copy; run_copy flushed --flush ;;
    1) run_native; run_copy copy; run_copy flushed --flush; run_restore; run_tool ;;
    2) run_copy copy; run_copy flushed --flush; run_tool; run_native; run_restore ;;
    3) run_restore; run_copy flushed --flush; run_tool; run_native; run_copy copy ;;
  esac
  run_bare
  sync
done

t=$(median "${tool[@]}") n=$(median "${native[@]}") c=$(median "${copy[@]}") f=$(median "${flushed[@]}")
echo "patch tool runs (ms, in order): tool ${tool[*]}; xdelta3 -d ${native[*]}; copy ${copy[*]}; flushed copy ${flushed[*]}"
echo "patch tool: spreads: tool $(spread "${tool[@]}"), xdelta3 -d $(spread "${native[@]}"), copy $(spread "${copy[@]}"), flushed copy $(spread "${flushed[@]}")"
echo "patch tool: 1.9 GB pack: tool $t ms, native xdelta3 -d $n ms (medians of $runs), ratio $(ratio "$t" "$n") (goal 1.00)"
echo "patch tool: against a plain copy under Wine flushed to disk as the tool's output is: $f ms, ratio $(ratio "$t" "$f") (goal 1.15); not flushed: $c ms, ratio $(ratio "$t" "$c")"
echo "patch tool: peak resident memory under Wine $peak_kib KiB, a bare console program's $bare_kib KiB: $((peak_kib - bare_kib)) KiB more (goal 65536 KiB)"
echo "patch tool: delta $delta_size bytes, xdelta3 -9 -S none -B whole pack $reference_size bytes, ratio $(ratio "$delta_size" "$reference_size") (goal 1.01)"
echo "patch tool: making the tool took $make_ms ms (the reference delta alone $reference_ms ms)"
r=$(median "${restore[@]}")
echo "patch tool: Restore.exe runs (ms, in order) ${restore[*]}, spread $(spread "${restore[@]}"); median $r ms against the flushed copy's, ratio $(ratio "$r" "$f") (aim 1.15)"
echo "patch tool: undo record $record_size bytes against the delta's $delta_size, ratio $(ratio "$record_size" "$delta_size") (aim 1.00)"
((peak_kib - bare_kib <= 65536)) || status=1
within "$(ratio "$t" "$n")" 1.00 || status=1
within "$(ratio "$t" "$f")" 1.15 || status=1
exit $status
