# Sourced by every script: the source root, one way to stop with a reason, and
# what kind of machine this is.
ROOT=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
SCRIPT=$(basename "$0")

# die MESSAGE...: the script's name and the reason on standard error, then exit 1.
die() {
  echo "$SCRIPT: $*" >&2
  exit 1
}

# Whether this machine's kernel runs 32-bit x86 programs, probed once and handed
# to every script started from here through QUORVELIN_I386 (yes or no). Setting
# QUORVELIN_I386=no makes a machine that can run them behave as one that cannot.
# A kernel may be built or booted without 32-bit support (ia32_emulation=off);
# then every i386 program, Wine's 32-bit half included, fails with "Exec format
# error", and no 64-bit process can enter 32-bit code either.
probe_i386() {
  [[ ${QUORVELIN_I386:-} == yes || ${QUORVELIN_I386:-} == no ]] && return 0
  [[ -z ${QUORVELIN_I386:-} ]] || die "QUORVELIN_I386 is '$QUORVELIN_I386'; it takes yes or no"
  local dir status error
  dir=$(mktemp -d)
  # The smallest i386 program: an ELF header, one segment, and exit(42).
  printf '%b' '\177ELF\001\001\001\000\000\000\000\000\000\000\000\000' \
    '\002\000\003\000\001\000\000\000\124\200\004\010\064\000\000\000\000\000\000\000' \
    '\000\000\000\000\064\000\040\000\001\000\000\000\000\000\000\000' \
    '\001\000\000\000\000\000\000\000\000\200\004\010\000\200\004\010' \
    '\140\000\000\000\140\000\000\000\005\000\000\000\000\020\000\000' \
    '\270\001\000\000\000\273\052\000\000\000\315\200' >"$dir/probe"
  chmod +x "$dir/probe"
  status=0
  error=$(cd "$dir" && LC_ALL=C ./probe 2>&1) || status=$?
  rm -rf "$dir"
  if ((status == 42)); then
    QUORVELIN_I386=yes
  elif [[ $error == *"Exec format error"* || $error == *"cannot execute binary file"* ]]; then
    QUORVELIN_I386=no
  else
    die "cannot tell whether this machine runs 32-bit x86 programs: a probe in $(dirname "$dir") ended with $status (${error:-no message}); set QUORVELIN_I386=yes or no"
  fi
  QUORVELIN_I386_PROBED=$QUORVELIN_I386
  export QUORVELIN_I386 QUORVELIN_I386_PROBED
}

# Why this machine cannot run 32-bit x86 programs, in the words a person can act on.
i386_cause() {
  if [[ ${QUORVELIN_I386_PROBED:-} != no ]]; then
    echo "QUORVELIN_I386=no was set"
  elif grep -qw 'ia32_emulation=off' /proc/cmdline 2>/dev/null; then
    echo "the kernel was booted with ia32_emulation=off; boot it with ia32_emulation=on to run them"
  else
    echo "the kernel has 32-bit support off; boot it with ia32_emulation=on, or use a kernel built with IA32 emulation, to run them"
  fi
}

# say_host WHAT-FOLLOWS-IF-YES WHAT-FOLLOWS-IF-NO: the one line every entry
# script prints about this machine.
say_host() {
  probe_i386
  if [[ $QUORVELIN_I386 == yes ]]; then
    echo "$SCRIPT: this machine runs 32-bit x86 programs: $1"
  else
    echo "$SCRIPT: this machine cannot run 32-bit x86 programs ($(i386_cause)): $2"
  fi
}
