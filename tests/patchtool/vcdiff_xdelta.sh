#!/usr/bin/env bash
# Makes small source/target pairs, deltas of them with xdelta3 over a table of
# encoder options, and xdelta3's own decoding of each as the reference; then one
# run of the test program under Wine decodes them all in-process and compares.
# Usage: vcdiff_xdelta.sh WINE_RUN TEST_EXE [gtest arguments...]
set -euo pipefail
run=$1 exe=$2
shift 2
here=$(cd "$(dirname "$0")" && pwd)

# make_cases DIR: the pairs, their deltas and cases.txt, which lists them.
make_cases() {
  local dir=$1
  mkdir -p "$dir"
  # Seeded, so that a failing case is made again the same way.
  python3 - "$dir" <<'EOF'
import random, sys
d = sys.argv[1]
r = random.Random(3284)
def put(name, data):
    with open(f"{d}/{name}", "wb") as f:
        f.write(data)

# A few hundred scattered edits: replaced, inserted and deleted runs.
src = r.randbytes(300_000)
tgt = bytearray(src)
for _ in range(40):
    at = r.randrange(len(tgt))
    kind = r.randrange(3)
    n = r.randrange(1, 3000)
    if kind == 0: tgt[at:at + n] = r.randbytes(n)
    elif kind == 1: tgt[at:at] = r.randbytes(n)
    else: del tgt[at:at + n]
put("edit.src", src); put("edit.tgt", bytes(tgt))

# Short periods (copies that overlap what they make), runs, repeated new blocks.
src = r.randbytes(50_000)
block = r.randbytes(3000)
put("periodic.src", src)
put("periodic.tgt", src[:10_000] + b"abc" * 5000 + bytes([7]) * 20_000 + block * 10
    + b"0123456789abcdefg" * 700 + src[20_000:])

# No source at all: every copy comes from the target window.
words = [r.randbytes(r.randrange(4, 40)) for _ in range(200)]
put("self.tgt", b"".join(r.choice(words) for _ in range(20_000)))

put("empty.src", r.randbytes(10_000)); put("empty.tgt", b"")

src = r.randbytes(100_000)
put("grow.src", src); put("grow.tgt", src + r.randbytes(50_000) + src[:30_000] + src)

src = r.randbytes(200_000)
put("shrink.src", src); put("shrink.tgt", src[50_000:80_000] + src[150_000:160_000])

# Larger than the smallest source window: 64 KiB blocks moved about, a few edited.
src = r.randbytes(5 * 512 * 1024)
blocks = [bytearray(src[i:i + 65536]) for i in range(0, len(src), 65536)]
r.shuffle(blocks)
for b in r.sample(blocks, 8):
    at = r.randrange(len(b) - 100)
    b[at:at + 100] = r.randbytes(100)
put("spread.src", src); put("spread.tgt", b"".join(bytes(b) for b in blocks))

# Windows of xdelta3's largest size, 16 MiB, the last one shorter.
src = r.randbytes(17 << 20)
put("large.src", src); put("large.tgt", src[1 << 20:] + r.randbytes(1 << 20) + src[:3 << 20])
EOF

  pairs=(edit periodic self empty grow shrink spread)
  source "$here/xdelta_options.sh"

  cases=0
  : >"$dir/cases.txt"
  # make_case PAIR NAME OPTIONS: a delta of PAIR.tgt from PAIR.src (if there is
  # one), checked to decode with xdelta3 to the target, listed in cases.txt.
  make_case() {
    local pair=$1 name=$2 opts=$3 src=- with=() whole=1048576
    if [[ -f $dir/$pair.src ]]; then
      src=$pair.src
      with=(-s "$dir/$src")
      whole=$(stat -c %s "$dir/$src")
    fi
    # xdelta3 takes no source window under 512 KiB; the smallest this table uses is 1 MiB.
    opts=${opts//WHOLE/$((whole > 1048576 ? whole : 1048576))}
    local delta=$pair.$name.vcdiff ref=$pair.$name.decoded
    # shellcheck disable=SC2086 # the options split into words
    xdelta3 -e -f -S none $opts "${with[@]}" "$dir/$pair.tgt" "$dir/$delta"
    xdelta3 -d -f "${with[@]}" "$dir/$delta" "$dir/$ref"
    cmp -s "$dir/$ref" "$dir/$pair.tgt" || { echo "xdelta3 does not decode its own $delta"; exit 1; }
    # xdelta3's decoding is the target itself: keep one copy.
    rm "$dir/$ref"
    echo "$pair.$name $src $delta $pair.tgt" >>"$dir/cases.txt"
    cases=$((cases + 1))
  }
  for pair in "${pairs[@]}"; do
    for row in "${options[@]}"; do make_case "$pair" "${row%%|*}" "${row#*|}"; done
  done
  make_case large W16mBwhole '-W 16777216 -B WHOLE'
  echo "$cases deltas made with xdelta3; $(du -sh "$dir" | cut -f1) in $dir"
}

# The cases follow from this script, the option table, Python's seeded random
# numbers and xdelta3 alone. Where VCDIFF_CASES_CACHE names a folder (the test
# command gives one to all its build trees), the first test to need them makes
# them there, under a name drawn from all four, while the others wait; every
# build then decodes the same deltas.
if [[ -n ${VCDIFF_CASES_CACHE:-} ]]; then
  key=$( { cat "$0" "$here/xdelta_options.sh"; python3 --version; xdelta3 -V 2>&1 || true; } |
    sha256sum | cut -c1-16)
  dir=$VCDIFF_CASES_CACHE/$key
  mkdir -p "$VCDIFF_CASES_CACHE"
  exec 9>"$dir.lock"
  flock -w 600 9 || { echo "the cases in $dir were not made within ten minutes"; exit 1; }
  if [[ ! -f $dir/cases.txt ]]; then
    rm -rf "$dir.new"
    make_cases "$dir.new"
    mv "$dir.new" "$dir"
  else
    echo "the deltas made with xdelta3 for another build, in $dir"
  fi
  exec 9>&-
else
  dir=$(mktemp -d)
  trap 'rm -rf "$dir"' EXIT
  make_cases "$dir"
fi

VCDIFF_CASES=$dir "$run" "$exe" --gtest_color=no "$@"
