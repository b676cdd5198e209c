# Sourced by the signing tests: a certificate authority and a code-signing
# certificate made with openssl for one test run, in a folder the test removes.
# No key or certificate of these is ever committed.

# make_signer DIR NAME: DIR/NAME-ca.pem (the authority), and DIR/NAME.p12, the
# code-signing key and certificate it issued with the authority's certificate,
# under the password in DIR/NAME.pass. The subject is "NAME signer".
make_signer() {
  local dir=$1 name=$2
  printf '%s\n' "pass-$name-$RANDOM" >"$dir/$name.pass"
  openssl req -x509 -newkey rsa:2048 -nodes -keyout "$dir/$name-ca.key" -out "$dir/$name-ca.pem" -days 2 \
    -subj "/CN=$name throwaway CA" -addext "basicConstraints=critical,CA:TRUE" \
    -addext "keyUsage=critical,keyCertSign,cRLSign" 2>/dev/null &&
    openssl req -newkey rsa:2048 -nodes -keyout "$dir/$name.key" -out "$dir/$name.csr" -subj "/CN=$name signer" \
      2>/dev/null &&
    printf 'basicConstraints=CA:FALSE\nkeyUsage=critical,digitalSignature\nextendedKeyUsage=codeSigning\n' \
      >"$dir/$name.ext" &&
    openssl x509 -req -in "$dir/$name.csr" -CA "$dir/$name-ca.pem" -CAkey "$dir/$name-ca.key" -CAcreateserial \
      -out "$dir/$name.pem" -days 2 -extfile "$dir/$name.ext" 2>/dev/null &&
    openssl pkcs12 -export -inkey "$dir/$name.key" -in "$dir/$name.pem" -certfile "$dir/$name-ca.pem" \
      -out "$dir/$name.p12" -passout "file:$dir/$name.pass"
}

# sign_with DIR NAME IN OUT: IN signed as the release signs, by NAME's certificate.
sign_with() {
  osslsigncode sign -pkcs12 "$1/$2.p12" -readpass "$1/$2.pass" -h sha256 -in "$3" -out "$4" >/dev/null
}

# make_token DIR NAME: NAME's key (from make_signer) on a SoftHSM token of its
# own in DIR/NAME-token, under the PIN in DIR/NAME.pin. Exports SOFTHSM2_CONF,
# which points SoftHSM at it; the key's URI is pkcs11:token=NAME;object=NAME.
SOFTHSM_MODULE=/usr/lib/softhsm/libsofthsm2.so
make_token() {
  local dir=$1 name=$2
  mkdir -p "$dir/$name-token"
  printf 'directories.tokendir = %s\nobjectstore.backend = file\n' "$dir/$name-token" >"$dir/$name-softhsm2.conf"
  export SOFTHSM2_CONF=$dir/$name-softhsm2.conf
  printf '%s\n' "$RANDOM$RANDOM" >"$dir/$name.pin"
  softhsm2-util --init-token --free --label "$name" --pin "$(cat "$dir/$name.pin")" --so-pin "so-$RANDOM" >/dev/null &&
    openssl pkcs8 -topk8 -nocrypt -in "$dir/$name.key" -out "$dir/$name.pk8" &&
    softhsm2-util --import "$dir/$name.pk8" --token "$name" --label "$name" --id 01 --pin "$(cat "$dir/$name.pin")" >/dev/null
}
