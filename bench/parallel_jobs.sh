#!/usr/bin/env bash
# What `lmk-video --convert --jobs 2` gains over `--jobs 1` on a batch of short clips, and what
# it costs against the bare coder run two at a time by `xargs -P 2` (the same probe and
# conversion per clip). The three are timed in turn, several rounds, in one run; the ratios of
# the median wall times are printed.
#
# Usage: bench/parallel_jobs.sh [LMK_VIDEO] [CODER]
#   LMK_VIDEO  the program (default: build/lmk-video)
#   CODER      the coder every side runs (default: /usr/bin/ffmpeg)
# Environment: CLIPS (20), ROUNDS (7), SIZE (640x480), LENGTH (2, seconds a clip), JOBS (2).
set -euo pipefail
shopt -s inherit_errexit

root=$(cd "$(dirname "$0")/.." && pwd)
program=${1:-$root/build/lmk-video}
coder=${2:-/usr/bin/ffmpeg}
clips=${CLIPS:-20}
rounds=${ROUNDS:-7}
size=${SIZE:-640x480}
length=${LENGTH:-2}
jobs=${JOBS:-2}
target=320x240  # what the program fits a 4:3 frame to with its default target

[ -x "$program" ] || { echo "no program at $program" >&2; exit 1; }
[ -x "$coder" ] || { echo "no coder at $coder" >&2; exit 1; }

work=$(mktemp -d "${TMPDIR:-/tmp}/lmk-jobs-XXXXXX")
trap 'rm -rf "$work"' EXIT
mkdir "$work/clips" "$work/run" "$work/reports"

echo "Making $clips clips of $length s, $size, MPEG-4 and PCM sound in AVI..."
for ((i = 1; i <= clips; i++)); do
  "$coder" -nostdin -v error -y -f lavfi -i "testsrc=size=$size:rate=25:duration=$length" \
    -f lavfi -i "sine=frequency=$((200 + i * 10)):duration=$length" \
    -c:v mpeg4 -c:a pcm_s16le -shortest "$work/clips/clip$(printf %02d "$i").avi"
done
inputs=("$work"/clips/clip*.avi)

fresh() { rm -f "$work"/clips/lmk-*; }
run_jobs() { fresh; XDG_RUNTIME_DIR="$work/run" "$program" --convert --coder "$coder" --jobs "$jobs" "${inputs[@]}" >/dev/null; }
run_one() { fresh; XDG_RUNTIME_DIR="$work/run" "$program" --convert --coder "$coder" --jobs 1 "${inputs[@]}" >/dev/null; }
# The program's two coder runs per clip, by hand, as many at once.
export coder target work
bare_one() {
  local input=$1 output="${1%/*}/lmk-${1##*/}" name=${1##*/}
  "$coder" -i "$input" >"$work/reports/$name.info" 2>&1 </dev/null || true
  "$coder" -i "$input" -s "$target" -acodec libmp3lame "$output" </dev/null \
    >"$work/reports/$name.log" 2>&1
}
export -f bare_one
run_xargs() { fresh; printf '%s\0' "${inputs[@]}" | xargs -0 -n 1 -P "$jobs" bash -c 'bare_one "$0"'; }

# shellcheck source=ratios.sh
source "$root/bench/ratios.sh"

sides=(run_jobs run_one run_xargs)
echo "Warming up (not counted)..."
for side in "${sides[@]}"; do timed_ms "$side" >/dev/null; done

declare -A times
gains=() costs=()
for ((r = 1; r <= rounds; r++)); do
  # A different side goes first each round, so a drift in the machine's load hits all alike.
  declare -A now=()
  for ((k = 0; k < ${#sides[@]}; k++)); do
    side=${sides[(k + r) % ${#sides[@]}]}
    now[$side]=$(timed_ms "$side")
    times[$side]+="${now[$side]} "
  done
  gains+=("$(ratio "${now[run_jobs]}" "${now[run_one]}")")
  costs+=("$(ratio "${now[run_jobs]}" "${now[run_xargs]}")")
  printf 'round %d: --jobs %s %6d ms   --jobs 1 %6d ms   xargs -P %s %6d ms\n' "$r" "$jobs" \
    "${now[run_jobs]}" "${now[run_one]}" "$jobs" "${now[run_xargs]}"
done

# shellcheck disable=SC2086
mj=$(median ${times[run_jobs]}) mo=$(median ${times[run_one]}) mx=$(median ${times[run_xargs]})
echo
echo "clips: $clips x $length s $size, rounds: $rounds, processors: $(nproc)," \
  "load average: $(cut -d' ' -f1-3 /proc/loadavg)"
echo "median wall time: --jobs $jobs $mj ms, --jobs 1 $mo ms, xargs -P $jobs $mx ms"
echo "--jobs $jobs / --jobs 1:      ratio of the medians $(ratio "$mj" "$mo"), median of the rounds' ratios $(median "${gains[@]}")"
echo "--jobs $jobs / xargs -P $jobs:  ratio of the medians $(ratio "$mj" "$mx"), median of the rounds' ratios $(median "${costs[@]}")"
