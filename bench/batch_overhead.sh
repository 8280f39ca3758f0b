#!/usr/bin/env bash
# Batch overhead of `lmk-video --convert` against a shell loop that runs the same two coder
# commands per clip directly. Both are timed several times, alternately, in one run; the ratio
# of the median wall times is printed.
#
# Usage: bench/batch_overhead.sh [LMK_VIDEO] [CODER]
#   LMK_VIDEO  the program (default: build/lmk-video)
#   CODER      the coder both sides run (default: /usr/bin/ffmpeg)
# Environment: CLIPS (20), ROUNDS (7), SIZE (640x480, the clips' frame).
set -euo pipefail
shopt -s inherit_errexit

root=$(cd "$(dirname "$0")/.." && pwd)
program=${1:-$root/build/lmk-video}
coder=${2:-/usr/bin/ffmpeg}
clips=${CLIPS:-20}
rounds=${ROUNDS:-7}
size=${SIZE:-640x480}
target=320x240  # what the program fits a 4:3 frame to with its default target

[ -x "$program" ] || { echo "no program at $program" >&2; exit 1; }
[ -x "$coder" ] || { echo "no coder at $coder" >&2; exit 1; }

work=$(mktemp -d "${TMPDIR:-/tmp}/lmk-batch-XXXXXX")
trap 'rm -rf "$work"' EXIT
mkdir "$work/clips" "$work/run"

echo "Making $clips clips of 1 s, $size, MPEG-4 and PCM sound in AVI..."
for ((i = 1; i <= clips; i++)); do
  "$coder" -nostdin -v error -y -f lavfi -i "testsrc=size=$size:rate=25:duration=1" \
    -f lavfi -i "sine=frequency=$((200 + i * 10)):duration=1" \
    -c:v mpeg4 -c:a pcm_s16le -shortest "$work/clips/clip$(printf %02d "$i").avi"
done
inputs=("$work"/clips/clip*.avi)

# The program over all clips, as a user would run it.
run_program() {
  XDG_RUNTIME_DIR="$work/run" "$program" --convert --coder "$coder" "${inputs[@]}" \
    >"$work/program.out" 2>&1
}

# The same work by hand: probe into a report, delete the earlier output, convert.
run_loop() {
  local input output
  for input in "${inputs[@]}"; do
    output="${input%/*}/lmk-${input##*/}"
    "$coder" -i "$input" >"$work/info" 2>&1 </dev/null || true
    rm -f "$output"
    "$coder" -i "$input" -s "$target" -acodec libmp3lame "$output" \
      </dev/null >"$work/coder.log" 2>&1
  done
}

check_outputs() {
  local input output
  for input in "${inputs[@]}"; do
    output="${input%/*}/lmk-${input##*/}"
    [ -s "$output" ] || { echo "$1 left no output for $input" >&2; exit 1; }
  done
}

# "wall_ms cpu_ms" of one run of "$1"; the processor time is the user and system time of
# everything it started, which a busy machine disturbs less than the wall time.
timed() {
  local TIMEFORMAT='%3R %3U %3S' times real user system
  times=$({ time "$1"; } 2>&1)
  check_outputs "$1"
  read -r real user system <<<"$times"
  awk -v r="$real" -v u="$user" -v s="$system" 'BEGIN { printf "%d %d", r * 1000, (u + s) * 1000 }'
}

median() {
  printf '%s\n' "$@" | sort -n | awk '{ v[NR] = $1 } END {
    if (NR % 2) print v[(NR + 1) / 2]; else print (v[NR / 2] + v[NR / 2 + 1]) / 2 }'
}

ratio() { awk -v a="$1" -v b="$2" 'BEGIN { printf "%.3f", a / b }'; }

echo "Warming up (not counted)..."
timed run_program >/dev/null
timed run_loop >/dev/null

program_ms=() loop_ms=() program_cpu=() loop_cpu=() ratios=()
for ((r = 1; r <= rounds; r++)); do
  # Alternate which side goes first, so a drift in the machine's load hits both alike.
  if ((r % 2)); then
    read -r p pc <<<"$(timed run_program)"
    read -r l lc <<<"$(timed run_loop)"
  else
    read -r l lc <<<"$(timed run_loop)"
    read -r p pc <<<"$(timed run_program)"
  fi
  program_ms+=("$p") loop_ms+=("$l") program_cpu+=("$pc") loop_cpu+=("$lc")
  ratios+=("$(ratio "$p" "$l")")
  printf 'round %d: lmk-video %6d ms (cpu %6d)   shell loop %6d ms (cpu %6d)   ratio %s\n' \
    "$r" "$p" "$pc" "$l" "$lc" "${ratios[-1]}"
done

mp=$(median "${program_ms[@]}")
ml=$(median "${loop_ms[@]}")
mpc=$(median "${program_cpu[@]}")
mlc=$(median "${loop_cpu[@]}")
echo
echo "clips: $clips x 1 s $size, rounds: $rounds, load average: $(cut -d' ' -f1-3 /proc/loadavg)"
echo "median wall time: lmk-video --convert $mp ms, shell loop $ml ms"
echo "median processor time: lmk-video --convert $mpc ms, shell loop $mlc ms"
echo "wall time ratio of the medians (lmk-video / shell loop): $(ratio "$mp" "$ml")"
echo "median of the rounds' wall time ratios:                 $(median "${ratios[@]}")"
echo "processor time ratio of the medians:                    $(ratio "$mpc" "$mlc")"
