#!/usr/bin/env bash
# Telvaro on the real display, operated with real key presses through the X
# server: loads a stored choice, is photographed, then the user moves to the
# bold box, clears it, moves to the list, picks the next font and presses Enter.
# Usage: telvaro_screenshot.sh TELVARO_EXE WINE_RUN ARTIFACT_DIR
set -euo pipefail
source "$(dirname "$0")/../scripts/photograph.sh"
exe=$1 run=$2 out=$3
mkdir -p "$out"
key='HKCU\Software\Pellavor\QUORVELIN'
export="$out/telvaro-after.reg"

"$run" reg delete 'HKCU\Software\Pellavor' /f >/dev/null 2>&1 || true
"$run" reg add "$key" /v FontName /t REG_SZ /d 黑体 /f >/dev/null
"$run" reg add "$key" /v FontWeight /t REG_DWORD /d 700 /f >/dev/null

"$run" "$exe" &
program=$!
trap 'kill $program 2>/dev/null || true' EXIT

started=$SECONDS
window=$(find_window '^Telvaro$' $program) ||
  { echo "no Telvaro window after $((SECONDS - started)) s: $(no_window_because $program)"; exit 1; }
echo "Telvaro window after $((SECONDS - started)) s"

photograph_when_painted root "$out/telvaro.png" 16 -crop 320x200+0+0 ||
  { echo "the dialog never finished painting, or looks empty"; exit 1; }
echo "screenshot $out/telvaro.png: $(convert "$out/telvaro.png" -format %k info:) colours"

# Tab order: confirm, cancel, bold box, font list.
xdotool windowfocus --sync "$window" 2>/dev/null
xdotool key --delay 100 Tab Tab space Tab Down Return 2>/dev/null

wait_for_exit $program || { echo "Telvaro did not close on Enter"; exit 1; }
wait $program || true

# Exported as UTF-16 text; compare as UTF-8.
rm -f "$export"
"$run" reg export "$key" "Z:${export//\//\\}" /y >/dev/null
stored=$(iconv -f UTF-16 -t UTF-8 "$export" | tr -d '\r')
echo "$stored"
grep -qx '"FontName"="楷体"' <<<"$stored" || { echo "FontName is not 楷体"; exit 1; }
grep -qx '"FontWeight"=dword:00000190' <<<"$stored" || { echo "FontWeight is not 400"; exit 1; }
"$run" reg delete 'HKCU\Software\Pellavor' /f >/dev/null 2>&1 || true
echo "ok"
