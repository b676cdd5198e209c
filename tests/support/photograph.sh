# Sourced by the screenshot tests and scripts/telvaro-screenshot.

# Prints the first X window whose name matches PATTERN, waiting ten seconds at
# most for it to appear; returns non-zero if none did.
# Usage: find_window PATTERN
find_window() {
  local window
  for _ in $(seq 200); do
    window=$(xdotool search --name "$1" 2>/dev/null | head -n 1 || true)
    [[ -n $window ]] && { echo "$window"; return 0; }
    sleep 0.05
  done
  return 1
}

# Photographs an X window ("root" for the whole screen) into a PNG once it has
# finished painting: the same picture several times in a row, with more than
# MIN_COLOURS colours so that a blank window does not count. Waits ten seconds
# at most; returns non-zero if the window never settled.
# Usage: photograph_when_painted WINDOW PNG MIN_COLOURS [import options...]
photograph_when_painted() {
  local window=$1 png=$2 min_colours=$3 previous= current same=0
  shift 3
  for _ in $(seq 100); do
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
