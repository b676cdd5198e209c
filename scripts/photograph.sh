# Sourced by scripts/telvaro-screenshot and the screenshot tests: finding a
# window, photographing it once painted, and waiting for a program to end.

# How long a program may take to show, paint or end: the first window in a new
# Wine prefix, on a two-core machine busy with other tests, took 46 s in one
# test run and over 60 s in another. Every wait below ends as soon as what it
# waits for has happened.
COLD_START_SECONDS=${COLD_START_SECONDS:-120}

# Prints the first X window whose name matches PATTERN, waiting at most
# COLD_START_SECONDS for it to appear, or, given the PID of the program that
# shows it, until that program has ended; returns non-zero if no window came.
# Usage: find_window PATTERN [PID]
find_window() {
  local window deadline=$((SECONDS + COLD_START_SECONDS))
  while :; do
    window=$(xdotool search --name "$1" 2>/dev/null | head -n 1 || true)
    [[ -n $window ]] && { echo "$window"; return 0; }
    [[ -z ${2:-} ]] || kill -0 "$2" 2>/dev/null || return 1
    ((SECONDS < deadline)) || return 1
    sleep 0.05
  done
}

# Why a program started in the background as PID showed no window: it ended
# (with its status), or it runs on without one.
# Usage: no_window_because PID
no_window_because() {
  local status=0
  if kill -0 "$1" 2>/dev/null; then
    echo "it is still running, with no window"
  else
    wait "$1" || status=$?
    echo "it ended first, with status $status"
  fi
}

# Waits at most COLD_START_SECONDS for process PID to end; non-zero if it runs on.
# Usage: wait_for_exit PID
wait_for_exit() {
  local deadline=$((SECONDS + COLD_START_SECONDS))
  while kill -0 "$1" 2>/dev/null; do
    ((SECONDS < deadline)) || return 1
    sleep 0.1
  done
}

# Photographs an X window ("root" for the whole screen) into a PNG once it has
# finished painting: the same picture several times in a row, with more than
# MIN_COLOURS colours so that a blank window does not count. Waits at most
# COLD_START_SECONDS; returns non-zero if the window never settled.
# Usage: photograph_when_painted WINDOW PNG MIN_COLOURS [import options...]
photograph_when_painted() {
  local window=$1 png=$2 min_colours=$3 previous= current same=0
  local deadline=$((SECONDS + COLD_START_SECONDS))
  shift 3
  while ((SECONDS < deadline)); do
    import -window "$window" "$@" "$png" 2>/dev/null || return 1
    current=$(convert "$png" -format '%k %#' info:)
    if ((${current%% *} > min_colours)) && [[ $current == "$previous" ]]; then
      ((++same >= 2)) && return 0
    else
      same=0
    fi
    previous=$current
    sleep 0.1
  done
  return 1
}
