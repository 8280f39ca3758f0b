#!/usr/bin/env bash
# What decoding without the loop filter saves on a big picture shrunk to a small one, and what
# it costs the picture. Makes one 1080p H.264 clip with sound and times in turn, several
# rounds, in one run: the program's conversion command by hand as it was (normal), the same
# with the decoder's loop filter skipped (skipped), `lmk-video --convert` (which skips it), a
# BASELINE build's when given, and HandBrakeCLI at the same size with MP3 sound (the peer).
# Then the guard: the SSIM of the skipped output against the normal one (ffmpeg's ssim
# filter), and their sizes.
#
# Usage: bench/loop_filter.sh [LMK_VIDEO] [CODER]
#   LMK_VIDEO  the program (default: build/lmk-video)
#   CODER      the coder (default: /usr/bin/ffmpeg)
# Environment: LENGTH (30, seconds), ROUNDS (5), SIZE (1920x1080), CODEC (libx264; libx265 for
#   HEVC), GRAIN (3: the noise filter's strength; 12 makes a 50 Mbit/s clip of grain alone),
#   BASELINE (another lmk-video), PEER (HandBrakeCLI; empty: none).
set -euo pipefail
shopt -s inherit_errexit

root=$(cd "$(dirname "$0")/.." && pwd)
program=${1:-$root/build/lmk-video}
coder=${2:-/usr/bin/ffmpeg}
length=${LENGTH:-30}
rounds=${ROUNDS:-5}
size=${SIZE:-1920x1080}
codec=${CODEC:-libx264}
grain=${GRAIN:-3}
baseline=${BASELINE:-}
peer=${PEER-$(command -v HandBrakeCLI || true)}

[ -x "$program" ] || { echo "no program at $program" >&2; exit 1; }
[ -x "$coder" ] || { echo "no coder at $coder" >&2; exit 1; }
[ -z "$baseline" ] || [ -x "$baseline" ] || { echo "no baseline at $baseline" >&2; exit 1; }

work=$(mktemp -d "${TMPDIR:-/tmp}/lmk-loop-XXXXXX")
trap 'rm -rf "$work"' EXIT
mkdir "$work/run" "$work/out"
clip=$work/clip.mp4

echo "Making a $length s $size clip ($codec, AAC sound in MP4)..."
# Moving detail with grain, as a camera's picture has, so the loop filter has work to do.
"$coder" -nostdin -v error -y -f lavfi \
  -i "testsrc2=size=$size:rate=25:duration=$length,noise=alls=$grain:allf=t" \
  -f lavfi -i "sine=frequency=440:duration=$length" -c:v "$codec" -preset veryfast -crf 23 \
  -pix_fmt yuv420p -c:a aac -shortest "$clip"

# The fitted size as the program fits 320x240: to the width, the height following, even.
read -r width height < <("$coder" -nostdin -i "$clip" 2>&1 |
  sed -n 's/.*Video: .*, \([0-9]\+\)x\([0-9]\+\).*/\1 \2/p' | head -1)
fitted_height=$((height * 320 / width / 2 * 2))
scale="scale=320:$fitted_height,setsar=1"

# Each side's processor time and peak memory, its waited-for children's included.
costed() { /usr/bin/time -o "$work/cost" -f '%U %S %M' "$@"; }
by_hand() {
  costed "$coder" -nostdin "$@" -i "file:$clip" -vf "$scale" -acodec libmp3lame -nostats -y \
    "$work/out/$side.mp4" >"$work/out/$side.log" 2>&1 </dev/null
}
normal() { by_hand; }
skipped() { by_hand -skip_loop_filter all; }
# Each program's output kept apart: both write lmk-clip.mp4 beside the clip.
by_program() {
  rm -f "$work/lmk-clip.mp4"
  XDG_RUNTIME_DIR="$work/run" costed "$1" --convert --coder "$coder" "$clip" >/dev/null
  mv "$work/lmk-clip.mp4" "$work/out/$side.mp4"
}
converted() { by_program "$program"; }
previous() { by_program "$baseline"; }
peer() {
  costed "$peer" -i "$clip" -o "$work/out/peer.mp4" -e x264 -X 320 -Y 240 --non-anamorphic -E mp3 \
    >"$work/out/peer.log" 2>&1 </dev/null
}

# shellcheck source=ratios.sh
source "$root/bench/ratios.sh"
sides=(normal skipped converted)
[ -z "$baseline" ] || sides+=(previous)
[ -z "$peer" ] || sides+=(peer)
declare -A times rounds_of cpu peaks
pairs=(skipped/normal converted/normal converted/previous converted/peer previous/peer)
echo "Timing ${sides[*]}, $rounds rounds..."
for ((r = 1; r <= rounds; r++)); do
  declare -A now=()
  line="round $r:"
  for ((k = 0; k < ${#sides[@]}; k++)); do
    side=${sides[(k + r) % ${#sides[@]}]}
    start=$(date +%s%N)
    "$side"
    now[$side]=$((($(date +%s%N) - start) / 1000000))
    times[$side]+="${now[$side]} "
    read -r user system peak <"$work/cost"
    cpu[$side]+="$(awk -v u="$user" -v s="$system" 'BEGIN { printf "%d", (u + s) * 1000 }') "
    peaks[$side]+="$((peak / 1024)) "
  done
  for side in "${sides[@]}"; do line+=$(printf '  %s %6d ms' "$side" "${now[$side]}"); done
  for pair in "${pairs[@]}"; do
    [ -n "${now[${pair%/*}]:-}" ] && [ -n "${now[${pair#*/}]:-}" ] &&
      rounds_of[$pair]+="$(ratio "${now[${pair%/*}]}" "${now[${pair#*/}]}") "
  done
  echo "$line"
done

# The guard: the skipped output, and the program's, against the normal output.
ssim() {
  "$coder" -nostdin -i "$1" -i "$work/out/normal.mp4" -lavfi ssim -f null - 2>&1 |
    sed -n 's/.* All:\([0-9.]*\).*/\1/p' | tail -1
}
bytes() { stat -c %s "$1"; }

echo
echo "clip: $length s $size $codec, grain $grain, $(($(stat -c %s "$clip") * 8 / length / 1000)) kbit/s, fitted 320x$fitted_height, rounds: $rounds," \
  "processors: $(nproc), load average: $(cut -d' ' -f1-3 /proc/loadavg)"
declare -A medians
for side in "${sides[@]}"; do
  # shellcheck disable=SC2086
  medians[$side]=$(median ${times[$side]})
  # shellcheck disable=SC2086
  echo "median $side: ${medians[$side]} ms, processor $(median ${cpu[$side]}) ms," \
    "peak memory $(median ${peaks[$side]}) MiB"
done
for pair in "${pairs[@]}"; do
  [ -n "${rounds_of[$pair]:-}" ] || continue
  a=${pair%/*} b=${pair#*/}
  # shellcheck disable=SC2086
  echo "$a / $b: ratio of the medians $(ratio "${medians[$a]}" "${medians[$b]}")," \
    "median of the rounds' ratios $(median ${rounds_of[$pair]})"
done
echo "SSIM against the normal output: skipped $(ssim "$work/out/skipped.mp4")," \
  "the program's $(ssim "$work/out/converted.mp4")"
echo "size against the normal output: skipped" \
  "$(ratio "$(bytes "$work/out/skipped.mp4")" "$(bytes "$work/out/normal.mp4")")," \
  "the program's $(ratio "$(bytes "$work/out/converted.mp4")" "$(bytes "$work/out/normal.mp4")")"
