#!/usr/bin/env bash
# What a container that cannot take the result costs: `lmk-video --convert` on a clip whose name
# makes the coder refuse the first conversion (WebM with MP3 sound; M4A with MP3), so that it is
# converted a second time as MP4 or MP3, against the same clip under a name whose container
# takes the result at once. And what an input converted at the first attempt costs against the
# bare coder commands: the same probe and conversion by hand. All sides are timed in turn, in
# one run; the ratios of the median wall times are printed.
#
# Usage: bench/refused_container.sh [LMK_VIDEO] [CODER]
#   LMK_VIDEO  the program (default: build/lmk-video)
#   CODER      the coder every side runs (default: /usr/bin/ffmpeg)
# Environment: ROUNDS (7), SECONDS_LONG (10, the clips' length), SIZE (640x480).
set -euo pipefail
shopt -s inherit_errexit

root=$(cd "$(dirname "$0")/.." && pwd)
program=${1:-$root/build/lmk-video}
coder=${2:-/usr/bin/ffmpeg}
rounds=${ROUNDS:-7}
length=${SECONDS_LONG:-10}
size=${SIZE:-640x480}
target=320x240  # what the program fits a 4:3 frame to with its default target

[ -x "$program" ] || { echo "no program at $program" >&2; exit 1; }
[ -x "$coder" ] || { echo "no coder at $coder" >&2; exit 1; }

work=$(mktemp -d "${TMPDIR:-/tmp}/lmk-refused-XXXXXX")
trap 'rm -rf "$work"' EXIT
mkdir "$work/run"

echo "Making the clips: $length s of $size VP8 and Vorbis in WebM, $length s of AAC in M4A..."
"$coder" -nostdin -v error -y -f lavfi -i "testsrc=size=$size:rate=25:duration=$length" \
  -f lavfi -i "sine=frequency=440:duration=$length" -c:v libvpx -deadline realtime \
  -cpu-used 8 -b:v 1M -c:a libvorbis -shortest "$work/clip.webm"
"$coder" -nostdin -v error -y -f lavfi -i "sine=frequency=440:duration=$((length * 6))" \
  -c:a aac "$work/tone.m4a"
# The same bytes under names whose containers take H.264 and MP3, or MP3.
cp "$work/clip.webm" "$work/plain.mp4"
cp "$work/tone.m4a" "$work/plain.mp3"

convert() { XDG_RUNTIME_DIR="$work/run" "$program" --convert --coder "$coder" "$1" >/dev/null 2>&1; }
fresh() { rm -f "$work"/lmk-*; }

run_refused_video() { fresh; convert "$work/clip.webm"; [ -s "$work/lmk-clip.webm.mp4" ]; }
run_plain_video() { fresh; convert "$work/plain.mp4"; [ -s "$work/lmk-plain.mp4" ]; }
run_refused_sound() { fresh; convert "$work/tone.m4a"; [ -s "$work/lmk-tone.m4a.mp3" ]; }
run_plain_sound() { fresh; convert "$work/plain.mp3"; [ -s "$work/lmk-plain.mp3" ]; }
# The program's two coder runs for an input its container takes, by hand.
run_bare_video() {
  fresh
  "$coder" -i "$work/plain.mp4" >"$work/info" 2>&1 </dev/null || true
  "$coder" -i "$work/plain.mp4" -s "$target" -acodec libmp3lame "$work/lmk-plain.mp4" \
    </dev/null >"$work/coder.log" 2>&1
}

# shellcheck source=ratios.sh
source "$root/bench/ratios.sh"
# Its own, in place of the shared one.
timed_ms() {
  local start end
  start=$(date +%s%N)
  "$1" || { echo "$1 made no output" >&2; exit 1; }
  end=$(date +%s%N)
  echo $(((end - start) / 1000000))
}


sides=(run_refused_video run_plain_video run_bare_video run_refused_sound run_plain_sound)
echo "Warming up (not counted)..."
for side in "${sides[@]}"; do timed_ms "$side" >/dev/null; done

declare -A times
for ((r = 1; r <= rounds; r++)); do
  # A different side goes first each round, so a drift in the machine's load hits all alike.
  line="round $r:"
  for ((k = 0; k < ${#sides[@]}; k++)); do
    side=${sides[(k + r) % ${#sides[@]}]}
    ms=$(timed_ms "$side")
    times[$side]+="$ms "
  done
  for side in "${sides[@]}"; do line+=" ${side#run_} $(echo "${times[$side]}" | awk '{ print $NF }')"; done
  echo "$line ms"
done

declare -A med
for side in "${sides[@]}"; do
  # shellcheck disable=SC2086
  med[$side]=$(median ${times[$side]})
done
echo
echo "rounds: $rounds, load average: $(cut -d' ' -f1-3 /proc/loadavg)"
for side in "${sides[@]}"; do printf '  median %-14s %6s ms\n' "${side#run_}" "${med[$side]}"; done
echo "refused WebM (both attempts) / the same clip converted at once as MP4: $(ratio "${med[run_refused_video]}" "${med[run_plain_video]}")"
echo "refused M4A (both attempts) / the same sound converted at once as MP3: $(ratio "${med[run_refused_sound]}" "${med[run_plain_sound]}")"
echo "converted at the first attempt / the bare coder commands:              $(ratio "${med[run_plain_video]}" "${med[run_bare_video]}")"
