#!/usr/bin/env bash
# One installer run that localises all four packs at full size with real tools,
# against four plain copies of the same packs under Wine (flushed, as the tools
# flush theirs), in one interleaved run. The packs are pseudo-random, each with
# 300 regions replaced by data of other lengths, the real sizes apart; the tools
# are made by scripts/make-patch-tool. The data is made in DIR and removed at
# the end.
# Usage: full_run_bench.sh BUILD DIR RUNS (with scripts/wine-env sourced and Wine started)
set -euo pipefail
BUILD=$1 work=$2 runs=$3
here=$(cd "$(dirname "$0")" && pwd)
source "$here/../scripts/lib.sh"
tools=(01 02 03 04)
status=0

# Originals and localised packs, the game's four packs, and one copy at a time.
need=0
for tool in "${tools[@]}"; do need=$((need + TOOL_SIZE[$tool] + 2 * LOCALISED_SIZE[${TOOL_PACK[$tool]}])); done
need=$((need + (256 << 20)))
mkdir -p "$work"
free=$(($(df -B1 --output=avail "$work" | tail -n 1)))
if ((free < need)); then
  echo "full run: needs $((need >> 30)) GiB free in $work, has $((free >> 30)) GiB; skipped"
  exit 1
fi
trap 'rm -rf "$work"' EXIT

start=$(now_ms)
mapfile -t pairs < <(pack_pairs "${tools[@]}")
python3 "$here/../scripts/make-packs.py" --dense "$work" "${pairs[@]}"
echo "full run: four pairs of packs made in $(($(now_ms) - start)) ms"
start=$(now_ms)
mkdir -p "$work/tools"
for tool in "${tools[@]}"; do
  pack=${TOOL_PACK[$tool]}
  bash "$here/../scripts/make-patch-tool" --program "$BUILD/bin/PatchTool.exe" \
    "$work/original/$pack" "$work/localised/$pack" "$work/tools/$tool.exe" | sed -n "s|^make-patch-tool: $work/||p"
done
echo "full run: four tools made in $(($(now_ms) - start)) ms"
lay_out_bundle "$BUILD/bin" "$work/tools" "$work/game"

# The installer moves each copy over its pack; hard links bring the originals back.
reset_game() {
  local pack
  for pack in "${PACKS[@]}"; do ln -f "$work/original/$pack" "$work/game/Packs/$pack"; done
}
run_installer() {
  reset_game
  sync
  local t output
  t=$(now_ms)
  output=$(cd "$work/game" && wine "$BUILD/bin/Brisunde.exe" </dev/null 2>/dev/null | iconv -c -f GBK -t UTF-8)
  installer+=($(($(now_ms) - t)))
  [[ $output == *"100%，注入完成"* ]] || { echo "full run: the installer did not finish: $output"; status=1; }
}
copy_exe=$(wine_path "$BUILD/bench/plain_copy.exe")
copy_packs() {
  local pack
  for pack in "${PACKS[@]}"; do
    (cd "$work/game" && wine "$copy_exe" "Packs\\$pack" 'Packs\copy.out' --flush) || status=1
    rm -f "$work/game/Packs/copy.out"
  done
}
run_copies() { sync; timed copies copy_packs; }
installer=() copies=()
for ((i = 0; i < runs; i++)); do
  if ((i % 2 == 0)); then run_installer; run_copies; else run_copies; run_installer; fi
done
checked=0
for pack in "${PACKS[@]}"; do cmp -s "$work/game/Packs/$pack" "$work/localised/$pack" && checked=$((checked + 1)); done
((checked == ${#PACKS[@]})) || { echo "full run: only $checked of ${#PACKS[@]} packs are the localised ones"; status=1; }

i=$(median "${installer[@]}") c=$(median "${copies[@]}")
echo "full run runs (ms, in order): installer ${installer[*]}; four copies ${copies[*]}"
echo "full run: spreads: installer $(spread "${installer[@]}"), four copies $(spread "${copies[@]}")"
echo "full run: Brisunde localising four full-size packs $i ms, four flushed plain copies under Wine $c ms (medians of $runs), ratio $(ratio "$i" "$c") (goal 1.10); the greeting says 15-30 minutes"
within "$(ratio "$i" "$c")" 1.10 || status=1
exit $status
