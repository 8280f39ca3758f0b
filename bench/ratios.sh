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

# The processor milliseconds (user and system) of every process this shell waited for so far,
# from `times` written into the file $1: the builtin run in this very shell, not in a command
# substitution's, which has waited for nothing.
children_cpu_ms() {
  awk 'NR == 2 {
    split($1, u, /[ms]/); split($2, k, /[ms]/)
    printf "%d", (u[1] * 60 + u[2] + k[1] * 60 + k[2]) * 1000 }' "$1"
}

# As timed_ms, then the processor milliseconds of the side and everything it waited for.
timed_cpu_ms() {
  local start end before after account
  account=$(mktemp)
  times >"$account"
  before=$(children_cpu_ms "$account")
  start=$(date +%s%N)
  "$1"
  end=$(date +%s%N)
  times >"$account"
  after=$(children_cpu_ms "$account")
  rm -f "$account"
  check_outputs "$1"
  echo "$(((end - start) / 1000000)) $((after - before))"
}
