# Sourced by the benchmark scripts: wall times in milliseconds and their medians.
ms() { echo $((($(date +%s%N) - $1) / 1000000)); }    # since a $(date +%s%N) reading
median() { printf '%s\n' "$@" | sort -n | awk '{v[NR]=$1} END {print v[int((NR+1)/2)]}'; }
ratio() { awk -v a="$1" -v b="$2" 'BEGIN {printf "%.2f", a / b}'; }
spread() { printf '%s\n' "$@" | sort -n | awk 'NR == 1 {lo = $1} {hi = $1} END {printf "%d-%d ms (%.1fx)", lo, hi, hi / lo}'; }
# within VALUE GOAL: whether a ratio is at most its goal.
within() { awk -v v="$1" -v g="$2" 'BEGIN {exit !(v <= g)}'; }
