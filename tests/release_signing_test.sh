#!/usr/bin/env bash
# scripts/release with and without signing, by throwaway certificates, each
# from a clean build of this tree in a folder of its own: a signed release
# verifies against its authority and sums its signed files; attaching its
# published signatures to another clean build gives the same files and zip,
# byte for byte; signing whose verification fails (another authority) writes
# no bundle and no zip; an unsigned release signs nothing and says so.
# Usage: release_signing_test.sh SOURCE_DIR
set -uo pipefail
src=$(readlink -f "$1")
source "$src/tests/support/throwaway_ca.sh"
scratch=$(mktemp -d)
trap 'rm -rf "$scratch"' EXIT
failures=0
fail() {
  echo "FAIL: $*"
  failures=$((failures + 1))
}
make_signer "$scratch" team && make_signer "$scratch" other || { echo "FAIL: openssl could not make the certificates"; exit 1; }

# release NAME ARGS...: scripts/release into $scratch/NAME from a build in
# $scratch/NAME-build; its exit status in $status and its output in $scratch/NAME.log.
release() {
  local name=$1
  shift
  RELEASE_BUILD=$scratch/$name-build RELEASE_DIST=$scratch/$name bash "$src/scripts/release" "$@" >"$scratch/$name.log" 2>&1
  status=$?
  rm -rf "$scratch/$name-build" "$scratch/$name-build-x64"
}
guide() { iconv -f UTF-16LE -t UTF-8 "$1/QuorvelinPatch/README.txt" | tr -d '\r'; }

# Signed, the password on standard input.
release signed --sign "$scratch/team.p12" --ca "$scratch/team-ca.pem" <"$scratch/team.pass"
bundle=$scratch/signed/QuorvelinPatch
if ((status != 0)) || [[ ! -f $scratch/signed/QuorvelinPatch.zip ]]; then
  cat "$scratch/signed.log"
  fail "the signed release failed (exit $status)"
else
  mapfile -t programs < <(cd "$bundle" && find . -name '*.exe' | sed 's|^\./||')
  ((${#programs[@]} >= 2)) || fail "the bundle holds ${#programs[@]} programs"
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
  release rebuilt --attach-signatures "$scratch/published" --ca "$scratch/team-ca.pem"
  if ((status != 0)); then
    cat "$scratch/rebuilt.log"
    fail "attaching the published signatures failed (exit $status)"
  elif ! diff -r "$scratch/signed" "$scratch/rebuilt" >/dev/null; then
    fail "the rebuild with the published signatures differs: $(diff -rq "$scratch/signed" "$scratch/rebuilt" | head -n 3)"
  else
    echo "ok: the rebuild with the published signatures is the release, byte for byte ($(sha256sum <"$scratch/rebuilt/QuorvelinPatch.zip" | cut -c1-16)...)"
  fi

  # The signature of one program attached to another: refused, no zip.
  cp "$scratch/published/Brisunde.exe.pem" "$scratch/published/Telvaro.exe.pem"
  release swapped --attach-signatures "$scratch/published" --ca "$scratch/team-ca.pem"
  ((status == 3)) && [[ ! -e $scratch/swapped/QuorvelinPatch.zip && ! -e $scratch/swapped/QuorvelinPatch ]] ||
    fail "a signature of another program: exit $status (not 3) or a bundle written"
  echo "ok: a signature of another program is refused"
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

((failures == 0)) || { echo "$failures failure(s)"; exit 1; }
echo "all release signing cases passed"
