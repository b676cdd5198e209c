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
python3 - "$scratch" 1918642538 1920111811 <<'EOF'
import os, random, sys
folder, original_size, localised_size = sys.argv[1], int(sys.argv[2]), int(sys.argv[3])
rnd = random.Random(1920111811)
def block(n):
    return bytes(rnd.getrandbits(8) for _ in range(n))
# The same data in both at a few places, localised text in one region, and the
# localised pack's extra bytes before its last block, so that the end moves.
shared = [(0, block(65536)), (700 << 20, block(65536)), (1500 << 20, block(65536))]
tail = block(4096)
with open(folder + "/original.gpk", "wb") as f:
    f.truncate(original_size)
    for at, data in shared:
        f.seek(at); f.write(data)
    f.seek(1 << 30); f.write(b"ORIGINAL TEXT " * 1000)
    f.seek(original_size - len(tail)); f.write(tail)
with open(folder + "/localised.gpk", "wb") as f:
    f.truncate(localised_size)
    for at, data in shared:
        f.seek(at); f.write(data)
    f.seek(1 << 30); f.write("汉化文本 ".encode("utf-8") * 2000)
    f.seek(localised_size - len(tail) - 1000); f.write(block(1000) + tail)
EOF

# A quick delta: the full-pack search of make-patch-tool's own settings takes
# half a minute over 1.9 GB; any delta checks the installer's path just as well.
xdelta3 -e -0 -S none -B 16777216 -W 16777216 -f -s "$scratch/original.gpk" "$scratch/localised.gpk" \
  "$scratch/delta.vcdiff"
game="$scratch/游戏 Game"
mkdir -p "$game/Packs"
bash "$make_tool" --program "$program" --vcdiff "$scratch/delta.vcdiff" \
  "$scratch/original.gpk" "$scratch/localised.gpk" "$game/01.exe"
cp --sparse=always "$scratch/original.gpk" "$game/Packs/System.GPK"

start=$(date +%s%N)
said=$(cd "$game" && wine "$brisunde" </dev/null 2>/dev/null | iconv -f GBK -t UTF-8)
echo "Brisunde.exe ran for $((($(date +%s%N) - start) / 1000000)) ms and said:"
echo "${said//$'\r'/}"

status=0
[[ $said == *"汉化进度.......25%"*"汉化进度.......100%，注入完成"* ]] || { echo "FAIL: not the done line"; status=1; }
source "$(dirname "$make_tool")/checksum.sh"
want=$(xxh3_of "$scratch/localised.gpk")
got=$(xxh3_of "$game/Packs/System.GPK")
[[ $want == "$got" ]] || { echo "FAIL: System.GPK is not the localised pack ($got, want $want)"; status=1; }
left=$(cd "$game/Packs" && ls -A | grep -v '^System\.GPK$' || true)
[[ -z $left ]] || { echo "FAIL: left in Packs: $left"; status=1; }
exit $status
