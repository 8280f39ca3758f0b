#!/usr/bin/env bash
# Batch overhead of `lmk-video --convert`, and of a drop on the real window, against a shell
# loop that runs the same two coder commands per clip directly. All are timed several times, in
# turn, in one run; the ratios of the median wall times are printed.
#
# Usage: bench/batch_overhead.sh [LMK_VIDEO] [CODER] [WINDOW_BENCH]
#   LMK_VIDEO     the program (default: build/lmk-video)
#   CODER         the coder every side runs (default: /usr/bin/ffmpeg)
#   WINDOW_BENCH  window_drop_bench, the drop on the window (default: bench/window_drop_bench
#                 beside LMK_VIDEO; the window side is left out when there is none)
# Environment: CLIPS (30), ROUNDS (7), SIZE (640x480, the clips' frame), CLIP_MAKER (the ffmpeg
# that makes the clips; default CODER, which must then be a real one), CONTAINER (avi: the clips'
# container, one that takes MPEG-4 and PCM; outputs of containers whose description the program
# does not trust are read back by one more coder run each).
# With CODER set to stand_in_coder, which does no coding, the run weighs what each side adds per
# file apart from the coder's work.
set -euo pipefail
shopt -s inherit_errexit

root=$(cd "$(dirname "$0")/.." && pwd)
program=${1:-$root/build/lmk-video}
coder=${2:-/usr/bin/ffmpeg}
window_bench=${3:-${WINDOW_BENCH:-$(dirname "$program")/bench/window_drop_bench}}
maker=${CLIP_MAKER:-$coder}
clips=${CLIPS:-30}
rounds=${ROUNDS:-7}
size=${SIZE:-640x480}
container=${CONTAINER:-avi}
target=320x240  # what the program fits a 4:3 frame to with its default target

[ -x "$program" ] || { echo "no program at $program" >&2; exit 1; }
[ -x "$coder" ] || { echo "no coder at $coder" >&2; exit 1; }
if [ ! -x "$window_bench" ]; then
  echo "no window_drop_bench at $window_bench: timing --convert and the loop only" >&2
  window_bench=
fi

work=$(mktemp -d "${TMPDIR:-/tmp}/lmk-batch-XXXXXX")
trap 'rm -rf "$work"' EXIT
mkdir "$work/clips" "$work/run"

echo "Making $clips clips of 1 s, $size, MPEG-4 and PCM sound in $container..."
for ((i = 1; i <= clips; i++)); do
  "$maker" -nostdin -v error -y -f lavfi -i "testsrc=size=$size:rate=25:duration=1" \
    -f lavfi -i "sine=frequency=$((200 + i * 10)):duration=1" \
    -c:v mpeg4 -c:a pcm_s16le -shortest "$work/clips/clip$(printf %02d "$i").$container"
done
inputs=("$work"/clips/clip*."$container")

# The program over all clips, as a user would run it.
run_program() {
  XDG_RUNTIME_DIR="$work/run" "$program" --convert --coder "$coder" "${inputs[@]}" \
    >"$work/program.out" 2>&1
}

# One drop of all clips on the real window, offscreen; it prints the drop's own times.
run_window() {
  QT_QPA_PLATFORM=offscreen XDG_RUNTIME_DIR="$work/run" "$window_bench" --coder "$coder" \
    "${inputs[@]}" >"$work/window.out" 2>&1
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

# shellcheck source=ratios.sh
source "$root/bench/ratios.sh"
# Its own, in place of the shared one.
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


sides=(run_program run_loop)
[ -n "$window_bench" ] && sides+=(run_window)

echo "Warming up (not counted)..."
for side in "${sides[@]}"; do timed "$side" >/dev/null; done

declare -A wall cpu
program_ms=() loop_ms=() window_ms=() drop_ms=()
program_cpu=() loop_cpu=() window_cpu=() drop_cpu=() drop_own_cpu=()
ratios=() drop_ratios=()
for ((r = 1; r <= rounds; r++)); do
  # A different side goes first each round, so a drift in the machine's load hits all alike.
  for ((k = 0; k < ${#sides[@]}; k++)); do
    side=${sides[(k + r) % ${#sides[@]}]}
    read -r w c <<<"$(timed "$side")"
    wall[$side]=$w cpu[$side]=$c
  done
  p=${wall[run_program]} l=${wall[run_loop]}
  program_ms+=("$p") loop_ms+=("$l") program_cpu+=("${cpu[run_program]}")
  loop_cpu+=("${cpu[run_loop]}")
  ratios+=("$(ratio "$p" "$l")")
  line=$(printf 'round %d: lmk-video --convert %6d ms   shell loop %6d ms   ratio %s' \
    "$r" "$p" "$l" "${ratios[-1]}")
  if [ -n "$window_bench" ]; then
    # "drop WALL_MS CPU_MS OWN_CPU_MS": the drop alone, without the window's start and end.
    read -r _ d dc do < <(grep '^drop ' "$work/window.out")
    window_ms+=("${wall[run_window]}") window_cpu+=("${cpu[run_window]}")
    drop_ms+=("$d") drop_cpu+=("$dc") drop_own_cpu+=("$do")
    drop_ratios+=("$(ratio "$d" "$l")")
    line+=$(printf '   window drop %6d ms (process %6d)   ratio %s' \
      "$d" "${wall[run_window]}" "${drop_ratios[-1]}")
  fi
  echo "$line"
done

mp=$(median "${program_ms[@]}")
ml=$(median "${loop_ms[@]}")
mpc=$(median "${program_cpu[@]}")
mlc=$(median "${loop_cpu[@]}")
echo
echo "clips: $clips x 1 s $size, rounds: $rounds, load average: $(cut -d' ' -f1-3 /proc/loadavg)"
echo "median wall time:      shell loop $ml ms, lmk-video --convert $mp ms"
echo "median processor time: shell loop $mlc ms, lmk-video --convert $mpc ms"
echo "--convert: wall time ratio of the medians (lmk-video / shell loop): $(ratio "$mp" "$ml")"
echo "--convert: median of the rounds' wall time ratios:                 $(median "${ratios[@]}")"
echo "--convert: processor time ratio of the medians:                    $(ratio "$mpc" "$mlc")"
if [ -n "$window_bench" ]; then
  md=$(median "${drop_ms[@]}")
  mdc=$(median "${drop_cpu[@]}")
  mw=$(median "${window_ms[@]}")
  mwc=$(median "${window_cpu[@]}")
  echo "median wall time:      window drop $md ms (whole process $mw ms)"
  echo "median processor time: window drop $mdc ms (whole process $mwc ms; the window's own" \
    "process during the drop $(median "${drop_own_cpu[@]}") ms)"
  echo "window: wall time ratio of the medians (drop / shell loop):         $(ratio "$md" "$ml")"
  echo "window: median of the rounds' wall time ratios:                     $(median "${drop_ratios[@]}")"
  echo "window: processor time ratio of the medians:                        $(ratio "$mdc" "$mlc")"
  echo "window: whole process (start, drop, end) wall time ratio:           $(ratio "$mw" "$ml")"
  echo "window: memory over the last drop:"
  grep '^files ' "$work/window.out"
fi
