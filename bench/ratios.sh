# Sourced by the benchmark scripts: the median of numbers, the ratio of two, and the time of one
# side of a comparison whose outputs are checked (the sourcing script's `inputs`).
median() {
  printf '%s\n' "$@" | sort -n | awk '{ v[NR] = $1 } END {
    if (NR % 2) print v[(NR + 1) / 2]; else print (v[NR / 2] + v[NR / 2 + 1]) / 2 }'
}

ratio() { awk -v a="$1" -v b="$2" 'BEGIN { printf "%.3f", a / b }'; }

check_outputs() {
  local input
  for input in "${inputs[@]}"; do
    [ -s "${input%/*}/lmk-${input##*/}" ] || { echo "$1 left no output for $input" >&2; exit 1; }
  done
}

timed_ms() {
  local start end
  start=$(date +%s%N)
  "$1"
  end=$(date +%s%N)
  check_outputs "$1"
  echo $(((end - start) / 1000000))
}
