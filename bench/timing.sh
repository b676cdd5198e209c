# Sourced by the benchmark scripts: wall times in milliseconds and their medians.
ms() { echo $((($(date +%s%N) - $1) / 1000000)); }    # since a $(date +%s%N) reading
median() { printf '%s\n' "$@" | sort -n | awk '{v[NR]=$1} END {print v[int((NR+1)/2)]}'; }
ratio() { awk -v a="$1" -v b="$2" 'BEGIN {printf "%.2f", a / b}'; }
