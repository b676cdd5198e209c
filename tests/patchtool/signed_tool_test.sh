#!/usr/bin/env bash
# A patch tool signed with Authenticode, as the release signs it, by
# certificates of throwaway authorities made for this run: signing changes
# nothing of ours but what the tool's own checksum skips; the signed tool
# verifies against its authority only, patches, refuses a wrong pack (2) and a
# damaged delta (3) and leaves nothing behind; it still does after re-signing
# with another certificate; and a tool in the layout from before signing
# (QVDELTA1) is taken unsigned, as before, and refused once signed.
# TRUST_CHECK asks Wine's WinVerifyTrust too: under Wine its pass is needed,
# not enough (Wine takes a root that Windows would not).
# Usage: signed_tool_test.sh TOOL_PROGRAM MAKE_PATCH_TOOL TRUST_CHECK (run through wine-run --unix)
set -uo pipefail
program=$(readlink -f "$1") make_tool=$(readlink -f "$2") trust_check=$(readlink -f "$3")
scripts=$(dirname "$make_tool")
source "$scripts/lib.sh"  # xxh3_of, wine_path
source "$(dirname "$(readlink -f "$0")")/../support/throwaway_ca.sh"
check=${BUILD:-$(dirname "$scripts")/build}/native-release/vcdiff_check

source "$(dirname "${BASH_SOURCE[0]}")/../support/test_script.sh"

make_signer "$scratch" first && make_signer "$scratch" second || { echo "FAIL: openssl could not make the certificates"; exit 1; }

python3 "$scripts/make-packs.py" --dense --regions 40 "$scratch" pack:$((1 << 20)):$(((1 << 20) + 14)) ||
  { echo "FAIL: no packs"; exit 1; }
for kind in original localised; do mv "$scratch/$kind/pack" "$scratch/$kind.gpk"; done
game=$scratch/game
mkdir -p "$game/Packs"
if ! out=$(bash "$make_tool" --program "$program" "$scratch/original.gpk" "$scratch/localised.gpk" "$scratch/unsigned.exe" 2>&1); then
  echo "$out"
  echo "FAIL: make-patch-tool could not make the tool"
  exit 1
fi

# run_tool TOOL ARGS...: TOOL copied into the game folder as 01.exe and run
# there; its exit code in $status. Nothing may be left at the target.
run_tool() {
  cp "$1" "$game/01.exe"
  shift
  rm -f "$game/Packs/01.tmp" "$game/Packs/01.tmp.part"
  (cd "$game" && wine 01.exe "$@" </dev/null >/dev/null 2>&1)
  status=$?
}
# works NAME TOOL: patches, checks with --verify, refuses a wrong pack and leaves nothing.
works() {
  local name=$1 tool=$2 before=$failures
  cp "$scratch/original.gpk" "$game/Packs/System.GPK"
  run_tool "$tool" 'Packs\System.GPK' 'Packs\01.tmp'
  ((status == 0)) && cmp -s "$game/Packs/01.tmp" "$scratch/localised.gpk" || fail "$name: did not patch (exit $status)"
  run_tool "$tool" --verify 'Packs\System.GPK'
  ((status == 0)) || fail "$name: --verify exited $status"
  printf 'x' | dd of="$game/Packs/System.GPK" bs=1 seek=4096 conv=notrunc status=none
  run_tool "$tool" 'Packs\System.GPK' 'Packs\01.tmp'
  ((status == 2)) || fail "$name: a wrong pack exited $status, not 2"
  [[ ! -e $game/Packs/01.tmp && ! -e $game/Packs/01.tmp.part ]] || fail "$name: left a file behind"
  "$check" "$tool" "$scratch/original.gpk" >/dev/null 2>&1 || fail "$name: vcdiff_check does not take it"
  ((failures > before)) || echo "ok: $name patches, verifies, refuses a wrong pack"
}
# refused NAME TOOL: exits 3 as damaged, leaves nothing, and the native check refuses it too.
refused() {
  cp "$scratch/original.gpk" "$game/Packs/System.GPK"
  run_tool "$2" 'Packs\System.GPK' 'Packs\01.tmp'
  ((status == 3)) || fail "$1: exited $status, not 3"
  [[ ! -e $game/Packs/01.tmp && ! -e $game/Packs/01.tmp.part ]] || fail "$1: left a file behind"
  "$check" "$2" "$scratch/original.gpk" >/dev/null 2>&1 && fail "$1: vcdiff_check takes it"
  echo "ok: $1 refused (exit $status)"
}
verifies() { osslsigncode verify -CAfile "$scratch/$2-ca.pem" -in "$1" >/dev/null 2>&1; }
# trusted FILE: WinVerifyTrust's HRESULT for FILE, 00000000 when it takes the signature.
trusted() { wine "$trust_check" "$(wine_path "$1")" </dev/null 2>/dev/null | tr -d '\r'; }

# Signing: a multiple of 8 already, the tool gets no padding; only CheckSum
# and entry 4 of what was ours change, and the table follows.
sign_with "$scratch" first "$scratch/unsigned.exe" "$scratch/signed.exe" || fail "osslsigncode could not sign the tool"
size=$(stat -c %s "$scratch/unsigned.exe")
((size % 8 == 0)) || fail "the made tool is $size bytes, not a multiple of 8"
read -r _ _ _ _ _ _ _ trailer_at < <(bash "$scripts/patch-trailer" read "$scratch/signed.exe")
((trailer_at + 64 == size)) || fail "in the signed tool the trailer is at $trailer_at, not where it was made"
# The offsets of CheckSum and of entry 4, in the program of either size.
pe=$(od -An -tu4 -j60 -N4 "$program" | tr -d ' ')
case $(od -An -tx2 -j$((pe + 24)) -N2 "$program" | tr -d ' ') in
  010b) entry4=$((pe + 24 + 96 + 32)) ;;
  020b) entry4=$((pe + 24 + 112 + 32)) ;;
  *) echo "FAIL: $program has no optional header of a known kind"; exit 1 ;;
esac
# ours_changed A B: the offsets in A's first $size bytes where B differs
# outside CheckSum and entry 4.
ours_changed() {
  cmp -l -n "$size" "$1" "$2" | awk -v sum=$((pe + 88)) -v entry="$entry4" \
    '{at = $1 - 1} !(at >= sum && at < sum + 4 || at >= entry && at < entry + 8) {print at}' | paste -sd ' '
}
changed=$(ours_changed "$scratch/unsigned.exe" "$scratch/signed.exe")
[[ -z $changed ]] || fail "signing changed bytes $changed, which the tool's checksum covers"
((failures)) || echo "ok: signing changed only CheckSum and entry 4 of the tool and added $(($(stat -c %s "$scratch/signed.exe") - size)) bytes"

verifies "$scratch/signed.exe" first || fail "the signed tool does not verify against its authority"
verifies "$scratch/signed.exe" second && fail "the signed tool verifies against another authority"
verdict=$(trusted "$scratch/signed.exe")
[[ $verdict == 00000000 ]] || fail "WinVerifyTrust does not take the signed tool: $verdict"
verdict=$(trusted "$scratch/unsigned.exe")
[[ $verdict != 00000000 && -n $verdict ]] || fail "WinVerifyTrust takes the unsigned tool: $verdict"
works "signed tool" "$scratch/signed.exe"

# One byte of the delta flipped in the signed tool: the signature and the
# tool's own checksum both see it.
read -r offset delta_size _ < <(bash "$scripts/patch-trailer" read "$scratch/signed.exe")
cp "$scratch/signed.exe" "$scratch/flipped.exe"
printf '\x5a' | dd of="$scratch/flipped.exe" bs=1 seek=$((offset + delta_size / 2)) conv=notrunc status=none
verifies "$scratch/flipped.exe" first && fail "a signed tool with a flipped delta byte still verifies"
verdict=$(trusted "$scratch/flipped.exe")
[[ $verdict == 80096010 ]] || fail "WinVerifyTrust on a flipped delta byte: $verdict, not TRUST_E_BAD_DIGEST"
refused "signed tool with a flipped delta byte" "$scratch/flipped.exe"
# Its certificate table cut short: ours is whole, but the table's entry no longer fits the file.
head -c $(($(stat -c %s "$scratch/signed.exe") - 100)) "$scratch/signed.exe" >"$scratch/cut.exe"
refused "signed tool cut short" "$scratch/cut.exe"

# Re-signed by another certificate: the table is replaced where it was.
sign_with "$scratch" second "$scratch/signed.exe" "$scratch/resigned.exe" || fail "osslsigncode could not re-sign the tool"
verifies "$scratch/resigned.exe" second || fail "the re-signed tool does not verify against the second authority"
verifies "$scratch/resigned.exe" first && fail "the re-signed tool still verifies against the first authority"
verdict=$(trusted "$scratch/resigned.exe")
[[ $verdict == 00000000 ]] || fail "WinVerifyTrust does not take the re-signed tool: $verdict"
changed=$(ours_changed "$scratch/signed.exe" "$scratch/resigned.exe")
[[ -z $changed ]] || fail "re-signing changed bytes $changed, which the tool's checksum covers"
works "re-signed tool" "$scratch/resigned.exe"

# The layout from before signing: the program, the delta, then the trailer
# marked QVDELTA1 with the XXH3 of every byte before it, as the tools made
# until now are. Unsigned it is read as it always was; signed, its checksum
# covers what signing rewrote, so it is damaged, as it was before.
read -r _ _ source_size source_hash target_size target_hash _ < <(bash "$scripts/patch-trailer" read "$scratch/unsigned.exe")
dd if="$scratch/unsigned.exe" bs=1M iflag=skip_bytes,count_bytes skip="$offset" count="$delta_size" status=none \
  >"$scratch/delta"
python3 - "$program" "$scratch/delta" "$source_size" "$source_hash" "$target_size" "$target_hash" "$scratch/old.body" <<'EOF'
import struct, sys
program, delta = open(sys.argv[1], "rb").read(), open(sys.argv[2], "rb").read()
fields = struct.pack("<6Q", len(program), len(delta), int(sys.argv[3]), int(sys.argv[4], 16),
                     int(sys.argv[5]), int(sys.argv[6], 16))
open(sys.argv[7], "wb").write(program + delta + fields)
EOF
python3 - "$scratch/old.body" "$(xxh3_of "$scratch/old.body")" "$scratch/old.exe" <<'EOF'
import struct, sys
body = open(sys.argv[1], "rb").read()
open(sys.argv[3], "wb").write(body + struct.pack("<Q", int(sys.argv[2], 16)) + b"QVDELTA1")
EOF
works "unsigned tool in the layout from before signing" "$scratch/old.exe"
if sign_with "$scratch" first "$scratch/old.exe" "$scratch/old-signed.exe"; then
  refused "signed tool in the layout from before signing" "$scratch/old-signed.exe"
else
  fail "osslsigncode could not sign the old tool"
fi

((failures == 0)) || { echo "$failures failure(s)"; exit 1; }
echo "all signed tool cases passed"
