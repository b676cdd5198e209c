#!/usr/bin/env bash
# One whole installer run with a real patch tool: a System.GPK of the size that
# "01.exe" patches (sparse, with data in a few places), a tool made from it and a
# localised pack by scripts/make-patch-tool, and Brisunde.exe run in the game
# folder. Afterwards the pack must be the localised one, byte for byte, and
# nothing of the tool's may be left in Packs.
# Usage: brisunde_real_tool_test.sh BRISUNDE TOOL_PROGRAM MAKE_PATCH_TOOL (through wine-run --unix)
set -euo pipefail
brisunde=$(readlink -f "$1") program=$(readlink -f "$2") make_tool=$(readlink -f "$3")

scratch=$(mktemp -d)
trap 'rm -rf "$scratch"' EXIT

# The published sizes: what "01.exe" patches, and the localised pack.
source "$(dirname "$make_tool")/packs.sh"
python3 "$(dirname "$make_tool")/make-packs.py" "$scratch" "$(pack_pairs 01)"
original=$scratch/original/System.GPK localised=$scratch/localised/System.GPK

# A quick delta: the full-pack search of make-patch-tool's own settings takes
# half a minute over 1.9 GB; any delta checks the installer's path just as well.
xdelta3 -e -0 -S none -B 16777216 -W 16777216 -f -s "$original" "$localised" \
  "$scratch/delta.vcdiff"
game="$scratch/游戏 Game"
mkdir -p "$game/Packs"
bash "$make_tool" --program "$program" --vcdiff "$scratch/delta.vcdiff" \
  "$original" "$localised" "$game/01.exe"
cp --sparse=always "$original" "$game/Packs/System.GPK"

start=$(date +%s%N)
said=$(cd "$game" && wine "$brisunde" </dev/null 2>/dev/null | iconv -f GBK -t UTF-8)
echo "Brisunde.exe ran for $((($(date +%s%N) - start) / 1000000)) ms and said:"
echo "${said//$'\r'/}"

status=0
[[ $said == *"汉化进度.......25%"*"汉化进度.......100%，注入完成"* ]] || { echo "FAIL: not the done line"; status=1; }
source "$(dirname "$make_tool")/checksum.sh"
want=$(xxh3_of "$localised")
got=$(xxh3_of "$game/Packs/System.GPK")
[[ $want == "$got" ]] || { echo "FAIL: System.GPK is not the localised pack ($got, want $want)"; status=1; }
left=$(cd "$game/Packs" && ls -A | grep -v '^System\.GPK$' || true)
[[ -z $left ]] || { echo "FAIL: left in Packs: $left"; status=1; }
exit $status
