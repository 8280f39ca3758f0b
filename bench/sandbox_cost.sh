#!/usr/bin/env bash
# What the coder's sandbox costs per file: `lmk-video --convert` over a batch of short clips with
# the sandbox (bubblewrap's name spaces, seccomp and the memory limit: the default where bwrap
# runs), with Landlock and seccomp instead (LMK_SANDBOX=landlock), and with LMK_NO_SANDBOX=1. And
# what writing a partial file, flushing it and renaming it over the output costs: the bare
# coder's conversion written, flushed (sync FILE) and renamed, against the same written straight
# to the output. The sides are timed in turn, several rounds, in one run; the ratios are printed.
# Last, bwrap's own start: /usr/bin/true in a sandbox made as the program makes it, against
# /usr/bin/true alone (STARTS times each).
#
# Usage: bench/sandbox_cost.sh [LMK_VIDEO] [CODER]
#   LMK_VIDEO  the program (default: build/lmk-video)
#   CODER      the coder every side runs (default: /usr/bin/ffmpeg)
# Environment: CLIPS (20), ROUNDS (5), SIZE (640x480), LENGTH (1, seconds a clip), STARTS (200).
set -euo pipefail
shopt -s inherit_errexit

root=$(cd "$(dirname "$0")/.." && pwd)
program=${1:-$root/build/lmk-video}
coder=${2:-/usr/bin/ffmpeg}
clips=${CLIPS:-20}
rounds=${ROUNDS:-5}
size=${SIZE:-640x480}
length=${LENGTH:-1}
starts=${STARTS:-200}
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
landlock() { fresh; LMK_SANDBOX=landlock convert; }
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

sides=(confined landlock unconfined straight renamed)
echo "Warming up (not counted)..."
for side in "${sides[@]}"; do timed_ms "$side" >/dev/null; done

declare -A times
sandbox=() landlocked=() rename=()
for ((r = 1; r <= rounds; r++)); do
  # A different side goes first each round, so a drift in the machine's load hits all alike.
  declare -A now=()
  for ((k = 0; k < ${#sides[@]}; k++)); do
    side=${sides[(k + r) % ${#sides[@]}]}
    now[$side]=$(timed_ms "$side")
    times[$side]+="${now[$side]} "
  done
  sandbox+=("$(ratio "${now[confined]}" "${now[unconfined]}")")
  landlocked+=("$(ratio "${now[landlock]}" "${now[unconfined]}")")
  rename+=("$(ratio "${now[renamed]}" "${now[straight]}")")
  printf 'round %d: sandboxed %6d ms  landlock %6d ms  without %6d ms   renamed %6d ms  straight %6d ms\n' \
    "$r" "${now[confined]}" "${now[landlock]}" "${now[unconfined]}" "${now[renamed]}" \
    "${now[straight]}"
done

# bwrap's own start, with the program's options (the coder's files left out): the wall time and
# the processor time (user and system, its children's too) a run adds to /usr/bin/true's.
root_links=()
for link in /lib /lib64 /lib32 /libx32; do
  [ -L "$link" ] && root_links+=(--symlink "$(readlink "$link")" "$link")
done
bwrap_true() {
  bwrap --unshare-all --unshare-user --disable-userns --new-session --die-with-parent \
    --cap-drop ALL --ro-bind-try /usr/lib /usr/lib --ro-bind-try /usr/lib64 /usr/lib64 \
    --ro-bind-try /usr/share /usr/share "${root_links[@]}" \
    --ro-bind-try /etc/ld.so.cache /etc/ld.so.cache --proc /proc --dev /dev \
    --ro-bind /usr/bin/true /usr/bin/true --remount-ro /dev --remount-ro / --chdir / \
    -- /usr/bin/true
}
# Prints the wall and the processor milliseconds of STARTS runs of the command.
starts_ms() {
  local TIMEFORMAT='%3R %3U %3S' took
  took=$({ time (for ((i = 0; i < starts; i++)); do "$@" >/dev/null 2>&1; done); } 2>&1)
  awk -v t="$took" 'BEGIN { split(t, v, " "); printf "%d %d\n", v[1] * 1000, (v[2] + v[3]) * 1000 }'
}
bwrap_wall=-1 bwrap_cpu=-1
if command -v bwrap >/dev/null && bwrap_true; then
  read -r bare_wall bare_cpu < <(starts_ms /usr/bin/true)
  read -r wrapped_wall wrapped_cpu < <(starts_ms bwrap_true)
  per_start() { awk -v a="$1" -v b="$2" -v n="$starts" 'BEGIN { printf "%.2f", (a - b) / n }'; }
  bwrap_wall=$(per_start "$wrapped_wall" "$bare_wall")
  bwrap_cpu=$(per_start "$wrapped_cpu" "$bare_cpu")
fi

# shellcheck disable=SC2086
mc=$(median ${times[confined]}) ml=$(median ${times[landlock]}) mu=$(median ${times[unconfined]})
# shellcheck disable=SC2086
mr=$(median ${times[renamed]}) ms=$(median ${times[straight]})
echo
echo "clips: $clips x $length s $size, rounds: $rounds, processors: $(nproc)," \
  "load average: $(cut -d' ' -f1-3 /proc/loadavg)"
echo "sandboxed / without:  ratio of the medians $(ratio "$mc" "$mu"), median of the rounds' ratios $(median "${sandbox[@]}")"
echo "landlock / without:   ratio of the medians $(ratio "$ml" "$mu"), median of the rounds' ratios $(median "${landlocked[@]}")"
echo "renamed / straight:   ratio of the medians $(ratio "$mr" "$ms"), median of the rounds' ratios $(median "${rename[@]}")"
echo "per file: sandbox $(((mc - mu) / clips)) ms, landlock $(((ml - mu) / clips)) ms, flush and rename $(((mr - ms) / clips)) ms"
echo "bwrap's own start: $bwrap_wall ms wall, $bwrap_cpu ms processor a run (-1: no bwrap here)"
