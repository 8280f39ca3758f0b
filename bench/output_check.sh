#!/usr/bin/env bash
# What checking each output costs (it exists and is not empty, the coder's output line shows the
# fitted size, its last progress time reaches the input's duration): `lmk-video --convert` over
# 20 clips, against a baseline build of the program from before the check, over the same clips.
# Both sides are timed in turn, in one run; the ratio of the median wall times is printed.
#
# Usage: bench/output_check.sh LMK_VIDEO BASELINE [CODER]
#   LMK_VIDEO  the program with the check (default: build/lmk-video)
#   BASELINE   the same program built from the commit before the check
#   CODER      the coder both sides run (default: /usr/bin/ffmpeg); the bench's stand_in_coder
#              leaves only what the program itself does per file
# Environment: ROUNDS (7), CLIPS (20), SECONDS_LONG (2, each clip's length), SIZE (640x480).
set -euo pipefail
shopt -s inherit_errexit

root=$(cd "$(dirname "$0")/.." && pwd)
program=${1:-$root/build/lmk-video}
baseline=${2:-}
coder=${3:-/usr/bin/ffmpeg}
rounds=${ROUNDS:-7}
count=${CLIPS:-20}
length=${SECONDS_LONG:-2}
size=${SIZE:-640x480}

[ -x "$program" ] || { echo "no program at $program" >&2; exit 1; }
[ -n "$baseline" ] && [ -x "$baseline" ] || { echo "no baseline program given" >&2; exit 1; }
[ -x "$coder" ] || { echo "no coder at $coder" >&2; exit 1; }

work=$(mktemp -d "${TMPDIR:-/tmp}/lmk-check-XXXXXX")
trap 'rm -rf "$work"' EXIT
mkdir "$work/run" "$work/clips"

echo "Making $count clips: $length s of $size MPEG-4 and PCM in AVI..."
"$coder" -nostdin -v error -y -f lavfi -i "testsrc=size=$size:rate=25:duration=$length" \
  -f lavfi -i "sine=frequency=440:duration=$length" -c:v mpeg4 -c:a pcm_s16le -shortest \
  "$work/clips/clip01.avi"
for ((i = 2; i <= count; i++)); do cp "$work/clips/clip01.avi" "$(printf '%s/clips/clip%02d.avi' "$work" "$i")"; done
clips=("$work"/clips/clip*.avi)

convert_all() {
  rm -f "$work"/clips/lmk-*
  XDG_RUNTIME_DIR="$work/run" "$1" --convert --coder "$coder" "${clips[@]}" >/dev/null 2>&1
  [ "$(find "$work/clips" -name 'lmk-*' -size +0 | wc -l)" -eq "$count" ]
}
run_checked() { convert_all "$program"; }
run_baseline() { convert_all "$baseline"; }

# shellcheck source=ratios.sh
source "$root/bench/ratios.sh"
# Its own, in place of the shared one.
timed_ms() {
  local start end
  start=$(date +%s%N)
  "$1" || { echo "$1 did not convert every clip" >&2; exit 1; }
  end=$(date +%s%N)
  echo $(((end - start) / 1000000))
}


sides=(run_checked run_baseline)
echo "Warming up (not counted)..."
for side in "${sides[@]}"; do timed_ms "$side" >/dev/null; done

declare -A times
ratios=()
for ((r = 1; r <= rounds; r++)); do
  # The sides take turns going first, so a drift in the machine's load hits both alike.
  line="round $r:"
  for ((k = 0; k < ${#sides[@]}; k++)); do
    side=${sides[(k + r) % ${#sides[@]}]}
    ms=$(timed_ms "$side")
    times[$side]+="$ms "
  done
  for side in "${sides[@]}"; do line+=" ${side#run_} $(echo "${times[$side]}" | awk '{ print $NF }')"; done
  ratios+=("$(ratio "$(echo "${times[run_checked]}" | awk '{ print $NF }')" \
    "$(echo "${times[run_baseline]}" | awk '{ print $NF }')")")
  echo "$line ms"
done

declare -A med
for side in "${sides[@]}"; do
  # shellcheck disable=SC2086
  med[$side]=$(median ${times[$side]})
done
echo
echo "rounds: $rounds, clips: $count, load average: $(cut -d' ' -f1-3 /proc/loadavg)"
for side in "${sides[@]}"; do printf '  median %-10s %6s ms\n' "${side#run_}" "${med[$side]}"; done
echo "with the output check / before it, $count clips: $(ratio "${med[run_checked]}" "${med[run_baseline]}") (median of the rounds' ratios: $(median "${ratios[@]}"))"
