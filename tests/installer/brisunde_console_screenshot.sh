#!/usr/bin/env bash
# Brisunde in a real console window on the display, over a game folder whose
# packs are all patchable: photographed at its closing pause, then given a real
# key press, after which it must end with every pack replaced.
# Usage: brisunde_console_screenshot.sh BRISUNDE_EXE STANDIN_EXE WINE_RUN ARTIFACT_DIR
set -euo pipefail
source "$(dirname "$0")/../../scripts/photograph.sh"
exe=$(realpath "$1") tool=$(realpath "$2") run=$(realpath "$3") out=$(realpath -m "$4")
game=$out/console-game
mkdir -p "$out"
rm -rf "$game"
mkdir -p "$game/Packs"
for name in 01 011 02 03 04; do cp "$tool" "$game/$name.exe"; done
cp "$tool" "$game/Packs/02.exe"
truncate -s 1918642538 "$game/Packs/System.GPK"
truncate -s 1597155581 "$game/Packs/Event02.GPK"
truncate -s 1988639031 "$game/Packs/Event03.GPK"
truncate -s 1913472604 "$game/Packs/Event04.GPK"

# The console's own font must have the Chinese glyphs; this prefix is the tests' own.
# A blinking cursor would keep the picture from ever settling.
"$run" reg add 'HKCU\Console' /v FaceName /d 'WenQuanYi Micro Hei Mono' /f >/dev/null
"$run" reg add 'HKCU\Console' /v CursorVisible /t REG_DWORD /d 0 /f >/dev/null
window=
restore() {
  # Closing the console ends what runs in it; a kill of the wine command alone
  # would leave the installer waiting at its pause.
  if [[ -n $window ]]; then kill "$(xdotool getwindowpid "$window" 2>/dev/null)" 2>/dev/null || true; fi
  kill $console 2>/dev/null || true
  "$run" reg delete 'HKCU\Console' /v FaceName /f >/dev/null 2>&1 || true
  "$run" reg delete 'HKCU\Console' /v CursorVisible /f >/dev/null 2>&1 || true
}
trap restore EXIT

# Its output goes to a file: whatever it leaves running must not hold CTest's pipe.
(cd "$game" && exec "$run" wineconsole "Z:${exe//\//\\}") >"$out/brisunde-console.log" 2>&1 &
console=$!

# The closing pause is reached when the last tool has run and its copy is in
# place: a whole run, the console's and every tool's first start included.
deadline=$((SECONDS + COLD_START_SECONDS))
until [[ $(stat -c %s "$game/Packs/Event04.GPK") == 1913208630 ]]; do
  ((SECONDS < deadline)) || { echo "the last pack was not replaced in time"; exit 1; }
  sleep 0.1
done
window=$(find_window 'Brisunde') || { echo "no console window"; exit 1; }

# The pause prompt follows the last line; the picture is taken once nothing changes.
photograph_when_painted "$window" "$out/brisunde-console.png" 8 ||
  { echo "the console never finished painting, or looks empty"; exit 1; }
echo "screenshot $out/brisunde-console.png: $(convert "$out/brisunde-console.png" -format %k info:) colours"

# The pause waits for a real key.
kill -0 $console 2>/dev/null || { echo "the installer ended before its pause"; exit 1; }
xdotool windowfocus --sync "$window" || { echo "cannot focus the console window"; exit 1; }
xdotool key space
wait_for_exit $console || { echo "the installer did not end on a key press"; exit 1; }
wait $console || true

sizes=$(stat -c %s "$game"/Packs/*.GPK | tr '\n' ' ')
echo "pack sizes after: $sizes"
[[ $sizes == "1596877503 1988620516 1913208630 1920111811 " ]] || { echo "packs not replaced"; exit 1; }
rm -rf "$game"
echo "ok"
