#!/usr/bin/env bash
# What the coder's sandbox costs per file: `lmk-video --convert` over a batch of short clips with
# the sandbox (Landlock and seccomp, the default) against the same with LMK_NO_SANDBOX=1. And what
# writing a partial file, flushing it and renaming it over the output costs: the bare coder's
# conversion written, flushed (sync FILE) and renamed, against the same written straight to the
# output. The sides are timed in turn, several rounds, in one run; the ratios are printed.
#
# Usage: bench/sandbox_cost.sh [LMK_VIDEO] [CODER]
#   LMK_VIDEO  the program (default: build/lmk-video)
#   CODER      the coder every side runs (default: /usr/bin/ffmpeg)
# Environment: CLIPS (20), ROUNDS (5), SIZE (640x480), LENGTH (1, seconds a clip).
set -euo pipefail
shopt -s inherit_errexit

root=$(cd "$(dirname "$0")/.." && pwd)
program=${1:-$root/build/lmk-video}
coder=${2:-/usr/bin/ffmpeg}
clips=${CLIPS:-20}
rounds=${ROUNDS:-5}
size=${SIZE:-640x480}
length=${LENGTH:-1}
target=320x240

[ -x "$program" ] || { echo "no program at $program" >&2; exit 1; }
[ -x "$coder" ] || { echo "no coder at $coder" >&2; exit 1; }

work=$(mktemp -d "${TMPDIR:-/tmp}/lmk-sandbox-XXXXXX")
trap 'rm -rf "$work"' EXIT
mkdir "$work/clips" "$work/run"

echo "Making $clips clips of $length s, $size, MPEG-4 and PCM sound in AVI..."
for ((i = 1; i <= clips; i++)); do
  "$coder" -nostdin -v error -y -f lavfi -i "testsrc=size=$size:rate=25:duration=$length" \
    -f lavfi -i "sine=frequency=$((200 + i * 10)):duration=$length" \
    -c:v mpeg4 -c:a pcm_s16le -shortest "$work/clips/clip$(printf %02d "$i").avi"
done
inputs=("$work"/clips/clip*.avi)

fresh() { rm -f "$work"/clips/lmk-* "$work"/clips/.lmk-*; }
convert() { XDG_RUNTIME_DIR="$work/run" "$program" --convert --coder "$coder" "${inputs[@]}" >/dev/null; }
confined() { fresh; convert; }
unconfined() { fresh; LMK_NO_SANDBOX=1 convert; }
# The coder's own conversion per clip, written straight to the output or to a partial file
# that is flushed and renamed over it.
straight() { fresh; bare_to lmk; }
renamed() { fresh; bare_to partial; }
bare_to() {
  local input output
  for input in "${inputs[@]}"; do
    output="${input%/*}/lmk-${input##*/}"
    if [ "$1" = lmk ]; then
      "$coder" -nostdin -i "$input" -s "$target" -acodec libmp3lame -y "$output" \
        >/dev/null 2>&1 </dev/null
    else
      "$coder" -nostdin -i "$input" -s "$target" -acodec libmp3lame -y \
        "${input%/*}/.lmk-partial-${output##*/}" >/dev/null 2>&1 </dev/null
      sync "${input%/*}/.lmk-partial-${output##*/}"
      mv -f "${input%/*}/.lmk-partial-${output##*/}" "$output"
    fi
  done
}

# shellcheck source=ratios.sh
source "$root/bench/ratios.sh"

sides=(confined unconfined straight renamed)
echo "Warming up (not counted)..."
for side in "${sides[@]}"; do timed_ms "$side" >/dev/null; done

declare -A times
sandbox=() rename=()
for ((r = 1; r <= rounds; r++)); do
  # A different side goes first each round, so a drift in the machine's load hits all alike.
  declare -A now=()
  for ((k = 0; k < ${#sides[@]}; k++)); do
    side=${sides[(k + r) % ${#sides[@]}]}
    now[$side]=$(timed_ms "$side")
    times[$side]+="${now[$side]} "
  done
  sandbox+=("$(ratio "${now[confined]}" "${now[unconfined]}")")
  rename+=("$(ratio "${now[renamed]}" "${now[straight]}")")
  printf 'round %d: sandboxed %6d ms  without %6d ms   renamed %6d ms  straight %6d ms\n' "$r" \
    "${now[confined]}" "${now[unconfined]}" "${now[renamed]}" "${now[straight]}"
done

# shellcheck disable=SC2086
mc=$(median ${times[confined]}) mu=$(median ${times[unconfined]})
# shellcheck disable=SC2086
mr=$(median ${times[renamed]}) ms=$(median ${times[straight]})
echo
echo "clips: $clips x $length s $size, rounds: $rounds, processors: $(nproc)," \
  "load average: $(cut -d' ' -f1-3 /proc/loadavg)"
echo "sandboxed / without:  ratio of the medians $(ratio "$mc" "$mu"), median of the rounds' ratios $(median "${sandbox[@]}")"
echo "renamed / straight:   ratio of the medians $(ratio "$mr" "$ms"), median of the rounds' ratios $(median "${rename[@]}")"
echo "per file: sandbox $(((mc - mu) / clips)) ms, flush and rename $(((mr - ms) / clips)) ms"
