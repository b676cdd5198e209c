#!/usr/bin/env bash
# scripts/release with and without signing, by throwaway certificates, each
# from the programs of this tree's build but the third party's rebuild, which
# is a clean build in a folder of its own: an unsigned release
# signs nothing and says so; a signed one, with patch tools taken from a
# bundle (--deltas-from: the packs are too large for a test), signs every
# program, verifies each against its authority and sums the signed files;
# attaching its published signatures to another clean build gives the same
# files and zip, byte for byte; a key on a PKCS#11 token (SoftHSM) signs as
# the PKCS#12 file does; a signature of another program, or signing
# whose verification fails (another authority), writes no bundle and no zip.
# Usage: release_signing_test.sh SOURCE_DIR BUILT_BIN_DIR
set -uo pipefail
src=$(readlink -f "$1") built=$(readlink -f "$2")
source "$src/tests/support/throwaway_ca.sh"
source "$(dirname "${BASH_SOURCE[0]}")/support/test_script.sh"
make_signer "$scratch" team && make_signer "$scratch" other || { echo "FAIL: openssl could not make the certificates"; exit 1; }

# release NAME ARGS...: scripts/release into $scratch/NAME with the programs
# built here, in $scratch/NAME-build; its exit status in $status and its output
# in $scratch/NAME.log. rebuild NAME ARGS...: the same from a clean build there.
release() {
  RELEASE_PROGRAMS=$built rebuild "$@"
}
rebuild() {
  local name=$1
  shift
  RELEASE_BUILD=$scratch/$name-build RELEASE_DIST=$scratch/$name bash "$src/scripts/release" "$@" >"$scratch/$name.log" 2>&1
  status=$?
}
guide() { iconv -f UTF-16LE -t UTF-8 "$1/QuorvelinPatch/README.txt" | tr -d '\r'; }

# Unsigned: no program carries a signature, and the guide says so.
release unsigned </dev/null
if ((status != 0)); then
  cat "$scratch/unsigned.log"
  fail "the unsigned release failed (exit $status)"
else
  for program in Brisunde.exe Telvaro.exe; do
    osslsigncode extract-signature -in "$scratch/unsigned/QuorvelinPatch/$program" -out "$scratch/none.sig" \
      >/dev/null 2>&1 && fail "the unsigned $program carries a signature"
  done
  [[ ! -e $scratch/unsigned/QuorvelinPatch-signatures ]] || fail "an unsigned release wrote signatures"
  [[ $(guide "$scratch/unsigned") == *"没有数字签名"* && $(guide "$scratch/unsigned") != *@SIGNER@* ]] ||
    fail "README.txt of an unsigned bundle does not say it is unsigned"
  echo "ok: unsigned release"
fi

# Tools as a published bundle holds them, made from the tool program that
# release built, each carrying a delta (any bytes: nothing here decodes it).
tools=$scratch/tools
mkdir -p "$tools"
for tool in 01 02; do
  head -c $((3000 + 10#$tool * 77)) /dev/urandom >"$scratch/$tool.delta"
  bash "$src/scripts/patch-trailer" write "$scratch/unsigned-build/bin/PatchTool.exe" "$scratch/$tool.delta" \
    1000 00000000000000aa 2000 00000000000000bb "$tools/$tool.exe" || fail "patch-trailer could not make $tool.exe"
done

# A tool whose program is not the one built here: one byte of its program
# changed and its own checksum made again. The release refuses to make it again.
mkdir -p "$scratch/other-tools"
cp "$tools/01.exe" "$scratch/other-tools/01.exe"
printf 'Q' | dd of="$scratch/other-tools/01.exe" bs=1 seek=1100 conv=notrunc status=none
bash "$src/scripts/patch-trailer" seal "$scratch/other-tools/01.exe"
release other-program --deltas-from "$scratch/other-tools" </dev/null
((status != 0)) && [[ ! -e $scratch/other-program/QuorvelinPatch.zip ]] ||
  fail "a tool carried by another program was made again (exit $status)"
echo "ok: a tool carried by another program is not made again (exit $status)"

# Signed, the password on standard input.
release signed --deltas-from "$tools" --sign "$scratch/team.p12" --ca "$scratch/team-ca.pem" <"$scratch/team.pass"
bundle=$scratch/signed/QuorvelinPatch
if ((status != 0)) || [[ ! -f $scratch/signed/QuorvelinPatch.zip ]]; then
  cat "$scratch/signed.log"
  fail "the signed release failed (exit $status)"
else
  mapfile -t programs < <(cd "$bundle" && find . -name '*.exe' | sed 's|^\./||')
  # Brisunde, Telvaro, Restore, 01.exe, 02.exe and the copy of 02.exe in Packs.
  ((${#programs[@]} == 6)) || fail "the bundle holds ${#programs[@]} programs: ${programs[*]}"
  for program in "${programs[@]}"; do
    osslsigncode verify -CAfile "$scratch/team-ca.pem" -in "$bundle/$program" >/dev/null 2>&1 ||
      fail "$program does not verify against the team's authority"
    osslsigncode verify -CAfile "$scratch/other-ca.pem" -in "$bundle/$program" >/dev/null 2>&1 &&
      fail "$program verifies against another authority"
    [[ -s $scratch/signed/QuorvelinPatch-signatures/$program.pem ]] || fail "no detached signature of $program"
  done
  (cd "$bundle" && tr -d '\r' <SHA256SUMS.txt | sha256sum --quiet -c -) || fail "SHA256SUMS.txt does not sum the signed files"
  [[ $(guide "$scratch/signed") == *"签名者为“team signer”"* ]] || fail "README.txt does not name the signer"
  [[ $(guide "$scratch/signed") != *"没有数字签名"* ]] || fail "README.txt of a signed bundle says it is unsigned"
  ((failures)) || echo "ok: signed release of ${#programs[@]} programs: $(grep -m1 'signed in' "$scratch/signed.log")"

  # A third party's rebuild, in other paths, with the published signatures.
  cp -r "$scratch/signed/QuorvelinPatch-signatures" "$scratch/published"
  rebuild rebuilt --attach-signatures "$scratch/published" --deltas-from "$bundle" --ca "$scratch/team-ca.pem"
  if ((status != 0)); then
    cat "$scratch/rebuilt.log"
    fail "attaching the published signatures failed (exit $status)"
  elif ! diff -r "$bundle" "$scratch/rebuilt/QuorvelinPatch" >/dev/null ||
    ! cmp -s "$scratch/signed/QuorvelinPatch.zip" "$scratch/rebuilt/QuorvelinPatch.zip"; then
    fail "the rebuild with the published signatures differs: $(diff -rq "$scratch/signed" "$scratch/rebuilt" | head -n 3)"
  else
    echo "ok: the rebuild with the published signatures is the release, byte for byte ($(sha256sum <"$scratch/rebuilt/QuorvelinPatch.zip" | cut -c1-16)...)"
  fi

  # The signature of one program attached to another: refused, no zip.
  cp "$scratch/published/Brisunde.exe.pem" "$scratch/published/Telvaro.exe.pem"
  release swapped --attach-signatures "$scratch/published" --deltas-from "$bundle" --ca "$scratch/team-ca.pem"
  ((status == 3)) && [[ ! -e $scratch/swapped/QuorvelinPatch.zip && ! -e $scratch/swapped/QuorvelinPatch ]] ||
    fail "a signature of another program: exit $status (not 3) or a bundle written"
  echo "ok: a signature of another program is refused"
fi

# The same key on a token, the PIN from a file: the same programs, signed.
if make_token "$scratch" team; then
  release token --deltas-from "$tools" --pkcs11-module "$SOFTHSM_MODULE" --pkcs11-key "pkcs11:token=team;object=team" \
    --certs "$scratch/team.pem" --password-file "$scratch/team.pin" --ca "$scratch/team-ca.pem" </dev/null
  if ((status != 0)); then
    cat "$scratch/token.log"
    fail "the release signed by a key on a token failed (exit $status)"
  else
    for program in 01.exe Brisunde.exe; do
      osslsigncode verify -CAfile "$scratch/team-ca.pem" -in "$scratch/token/QuorvelinPatch/$program" >/dev/null 2>&1 ||
        fail "$program signed on the token does not verify"
    done
    echo "ok: signed by a key on a token"
  fi
else
  fail "SoftHSM could not hold the key"
fi

# Verification against an authority that did not issue the certificate:
# signed, but nothing is written. The password from a file.
release wrong --sign "$scratch/team.p12" --password-file "$scratch/team.pass" --ca "$scratch/other-ca.pem" </dev/null
if ((status != 3)) || [[ -e $scratch/wrong/QuorvelinPatch.zip || -e $scratch/wrong/QuorvelinPatch ]]; then
  cat "$scratch/wrong.log"
  fail "a release whose signatures do not verify: exit $status (not 3) or a bundle written"
else
  echo "ok: verification failing writes no bundle"
fi

((failures == 0)) || { echo "$failures failure(s)"; exit 1; }
echo "all release signing cases passed"
