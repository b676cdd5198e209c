#!/usr/bin/env bash
# The decoder's fuzz target (vcdiff_fuzz_target.cpp): its seeds, the replay of
# every input it ever failed on, and bounded fuzzing.
#   vcdiff_fuzz.sh seeds DIR
#       small deltas made by xdelta3 under every option of xdelta_options.sh,
#       each as the target takes it (source length, source, delta)
#   vcdiff_fuzz.sh replay LAUNCH REPLAY_PROGRAM CRASHES_DIR
#       the seeds and every file in CRASHES_DIR, through the replay program
#   vcdiff_fuzz.sh fuzz FUZZER SECONDS CORPUS ARTIFACT_PREFIX [SEED]
#       libFuzzer for SECONDS from a fixed seed (-seed=, 3284 by default) over
#       CORPUS, which it grows ("-": a fresh one, removed afterwards), and the
#       fresh seeds; a failing input is written as ARTIFACT_PREFIX<kind>-<hash>
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)

make_seeds() {
  local out=$1 work pair row name opts with src
  work=$(mktemp -d)
  mkdir -p "$out"
  python3 - "$work" <<'PY'
import random, sys
d = sys.argv[1]
r = random.Random(1995)
def put(name, data):
    with open(f"{d}/{name}", "wb") as f:
        f.write(data)
# Small, so that a mutation lands on structure often, yet with windows of
# every kind: edits, copies overlapping what they make, runs, no source.
src = r.randbytes(3000)
tgt = bytearray(src)
for _ in range(6):
    at = r.randrange(len(tgt)); n = r.randrange(1, 200)
    tgt[at:at + n] = r.randbytes(r.randrange(1, 200))
put("edit.src", src); put("edit.tgt", bytes(tgt))
put("periodic.src", src[:1000])
put("periodic.tgt", src[:300] + b"ab" * 300 + bytes([9]) * 500 + src[500:1000])
words = [r.randbytes(r.randrange(4, 12)) for _ in range(20)]
put("self.tgt", b"".join(r.choice(words) for _ in range(300)))
PY
  # shellcheck source=tests/patchtool/xdelta_options.sh
  source "$here/xdelta_options.sh"
  for pair in edit periodic self; do
    with=() src=/dev/null
    if [[ -f $work/$pair.src ]]; then
      src=$work/$pair.src
      with=(-s "$src")
    fi
    for row in "${options[@]}"; do
      name=${row%%|*} opts=${row#*|}
      opts=${opts//WHOLE/1048576}
      # shellcheck disable=SC2086 # the options split into words
      xdelta3 -e -f -S none $opts "${with[@]}" "$work/$pair.tgt" "$work/delta"
      n=$(stat -c %s "$src")
      { printf "\\$(printf %03o $((n & 255)))\\$(printf %03o $((n >> 8)))"; cat "$src" "$work/delta"; } >"$out/$pair.$name"
    done
  done
  rm -rf "$work"
}

mode=$1
shift
case $mode in
  seeds) make_seeds "$1" ;;
  replay)
    launch=$1 program=$2 crashes=$3
    seeds=$(mktemp -d)
    trap 'rm -rf "$seeds"' EXIT
    make_seeds "$seeds"
    count=$(find "$seeds" -type f | wc -l)
    ((count == 60)) || { echo "vcdiff_fuzz.sh: $count seeds made, not 60"; exit 1; }
    echo "replaying $count seeds and $(find "$crashes" -type f ! -name '*.md' | wc -l) inputs from $crashes"
    "$launch" "$program" "$seeds" "$crashes" 2>/dev/null
    ;;
  fuzz)
    fuzzer=$1 seconds=$2 corpus=$3 artifacts=$4 seed=${5:-3284}
    seeds=$(mktemp -d)
    fresh=
    if [[ $corpus == - ]]; then
      corpus=$(mktemp -d)
      fresh=$corpus
    fi
    trap 'rm -rf "$seeds" $fresh' EXIT
    make_seeds "$seeds"
    mkdir -p "$corpus" "$(dirname "${artifacts}x")"
    echo "fuzzing for $seconds s from -seed=$seed; corpus $corpus; failing inputs go to ${artifacts}…"
    # -timeout: a hang fails; -rss_limit_mb: so does memory far past the decoder's bound.
    log=$(mktemp)
    status=0
    "$fuzzer" -seed="$seed" -max_total_time="$seconds" -timeout=10 -rss_limit_mb=2048 -print_final_stats=1 \
      -artifact_prefix="$artifacts" "$corpus" "$seeds" >"$log" 2>&1 || status=$?
    grep -E '^(#[0-9]+[[:space:]]+(INITED|DONE)|stat::(number_of_executed_units|average_exec_per_sec|new_units_added|peak_rss_mb)|==[0-9]+==|SUMMARY|vcdiff fuzz|  (normal|tiny) buffers|Test unit written)' "$log" || true
    if ((status)); then
      tail -n 40 "$log"
      rm -f "$log"
      echo "vcdiff_fuzz.sh: the fuzz target failed; copy the input named above into tests/patchtool/fuzz-crashes/"
      exit 1
    fi
    rm -f "$log"
    ;;
  *) echo "usage: vcdiff_fuzz.sh seeds|replay|fuzz ..." >&2; exit 2 ;;
esac
