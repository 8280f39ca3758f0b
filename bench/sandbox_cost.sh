#!/usr/bin/env bash
# What the coder's sandbox costs per file: `lmk-video --convert` over a batch of short clips with
# the sandbox (bubblewrap's name spaces, seccomp and the memory limit: the default where bwrap
# runs), with Landlock and seccomp instead (LMK_SANDBOX=landlock), and with LMK_NO_SANDBOX=1. And
# what writing a partial file, flushing it and renaming it over the output costs: the bare
# coder's conversion written, flushed (sync FILE) and renamed, against the same written straight
# to the output. The sides are timed in turn, several rounds, in one run; the ratios are printed.
# With BASELINE, another build's `--convert` in name spaces is one more side, timed in the same
# rounds. Then what each clip's run cost, as the program counts it: each clip converted alone
# under /usr/bin/time, whose processor time and peak memory are the program's and those of the
# processes it waited for (the coder's, once the program collects them). Last, bwrap's own
# start: /usr/bin/true in a sandbox made as the program makes it, against /usr/bin/true alone
# (STARTS times each).
#
# Usage: bench/sandbox_cost.sh [LMK_VIDEO] [CODER]
#   LMK_VIDEO  the program (default: build/lmk-video)
#   CODER      the coder every side runs (default: /usr/bin/ffmpeg)
# Environment: CLIPS (20), ROUNDS (5), SIZE (640x480), LENGTH (1, seconds a clip), STARTS (200),
#   BASELINE (another lmk-video to compare in name spaces), SIDES (the sides timed, of
#   "confined landlock unconfined bare straight renamed", all by default; bare: the
#   program's probe and conversion by hand).
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
baseline=${BASELINE:-}
target=320x240

[ -x "$program" ] || { echo "no program at $program" >&2; exit 1; }
[ -x "$coder" ] || { echo "no coder at $coder" >&2; exit 1; }
[ -z "$baseline" ] || [ -x "$baseline" ] || { echo "no baseline at $baseline" >&2; exit 1; }

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
previous() { fresh; program=$baseline convert; }
landlock() { fresh; LMK_SANDBOX=landlock convert; }
unconfined() { fresh; LMK_NO_SANDBOX=1 convert; }
# The program's two coder commands per clip by hand: the probe, then the conversion.
bare() {
  local input
  fresh
  for input in "${inputs[@]}"; do
    "$coder" -nostdin -i "file:$input" >"$work/report" 2>&1 </dev/null || true
    "$coder" -nostdin -i "file:$input" -vf "scale=${target/x/:},setsar=1" -acodec libmp3lame \
      -nostats -y "${input%/*}/lmk-${input##*/}" >>"$work/report" 2>&1 </dev/null
  done
}
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

read -r -a sides <<<"${SIDES:-confined landlock unconfined bare straight renamed}"
[ -z "$baseline" ] || sides+=(previous)
echo "Warming up (not counted)..."
for side in "${sides[@]}"; do timed_ms "$side" >/dev/null; done

declare -A times rounds_of cpu_times cpu_rounds_of
# The ratios of two sides, one a round, kept under "a/b" when both were timed.
pairs=(confined/unconfined landlock/unconfined confined/bare renamed/straight
  previous/unconfined previous/bare confined/previous)
for ((r = 1; r <= rounds; r++)); do
  # A different side goes first each round, so a drift in the machine's load hits all alike.
  declare -A now=() cpu=()
  line="round $r:"
  for ((k = 0; k < ${#sides[@]}; k++)); do
    side=${sides[(k + r) % ${#sides[@]}]}
    read -r now[$side] cpu[$side] < <(timed_cpu_ms "$side")
    times[$side]+="${now[$side]} "
    cpu_times[$side]+="${cpu[$side]} "
  done
  for side in "${sides[@]}"; do
    line+=$(printf '  %s %6d ms (%d ms processor)' "$side" "${now[$side]}" "${cpu[$side]}")
  done
  for pair in "${pairs[@]}"; do
    [ -n "${now[${pair%/*}]:-}" ] && [ -n "${now[${pair#*/}]:-}" ] || continue
    rounds_of[$pair]+="$(ratio "${now[${pair%/*}]}" "${now[${pair#*/}]}") "
    cpu_rounds_of[$pair]+="$(ratio "${cpu[${pair%/*}]}" "${cpu[${pair#*/}]}") "
  done
  echo "$line"
done

# Each clip alone: the processor time (user and system) and the peak memory that the run
# counts, its waited-for children's included.
cost_of() {
  local input cpu=() peak=() took
  for input in "${inputs[@]}"; do
    fresh
    took=$({ XDG_RUNTIME_DIR="$work/run" /usr/bin/time -f '%e %U %S %M' "$@" --convert \
      --coder "$coder" "$input" >/dev/null; } 2>&1 | tail -1)
    cpu+=("$(awk -v t="$took" 'BEGIN { split(t, v, " "); printf "%d", (v[2] + v[3]) * 1000 }')")
    peak+=("$(awk -v t="$took" 'BEGIN { split(t, v, " "); printf "%d", v[4] / 1024 }')")
  done
  echo "$(median "${cpu[@]}") ms processor, $(median "${peak[@]}") MiB peak"
}
costs=()
if [ -x /usr/bin/time ]; then
  costs+=("sandboxed: $(cost_of "$program")")
  costs+=("without:   $(LMK_NO_SANDBOX=1 cost_of "$program")")
  [ -z "$baseline" ] || costs+=("baseline, sandboxed: $(cost_of "$baseline")")
fi

# bwrap's own start, with the program's options (the coder's files left out): the wall time and
# the processor time (user and system, its children's too) a run adds to /usr/bin/true's.
root_links=()
for link in /lib /lib64 /lib32 /libx32; do
  [ -L "$link" ] && root_links+=(--symlink "$(readlink "$link")" "$link")
done
# As the program starts it; "$@": more of bwrap's options, before the others.
bwrap_true() {
  bwrap "$@" --unshare-user --unshare-ipc --unshare-pid --unshare-uts --unshare-cgroup-try \
    --disable-userns --new-session --die-with-parent --cap-drop ALL \
    --ro-bind-try /usr/lib /usr/lib --ro-bind-try /usr/lib64 /usr/lib64 "${root_links[@]}" \
    --ro-bind-try /etc/ld.so.cache /etc/ld.so.cache \
    --ro-bind-try /etc/alternatives /etc/alternatives --proc /proc \
    --dev-bind /dev/null /dev/null --dev-bind /dev/urandom /dev/urandom \
    --remount-ro /dev/urandom --ro-bind /usr/bin/true /usr/bin/true --remount-ro / --chdir / \
    -- /usr/bin/true
}
with_network() { bwrap_true --unshare-net; }
# Prints the wall and the processor milliseconds of STARTS runs of the command.
starts_ms() {
  local TIMEFORMAT='%3R %3U %3S' took
  took=$({ time (for ((i = 0; i < starts; i++)); do "$@" >/dev/null 2>&1; done); } 2>&1)
  awk -v t="$took" 'BEGIN { split(t, v, " "); printf "%d %d\n", v[1] * 1000, (v[2] + v[3]) * 1000 }'
}
bwrap_wall=-1 bwrap_cpu=-1 network_wall=-1
if command -v bwrap >/dev/null && bwrap_true; then
  per_start() { awk -v a="$1" -v b="$2" -v n="$starts" 'BEGIN { printf "%.2f", (a - b) / n }'; }
  read -r bare_wall bare_cpu < <(starts_ms /usr/bin/true)
  read -r wrapped_wall wrapped_cpu < <(starts_ms bwrap_true)
  read -r networked_wall _ < <(starts_ms with_network)
  bwrap_wall=$(per_start "$wrapped_wall" "$bare_wall")
  bwrap_cpu=$(per_start "$wrapped_cpu" "$bare_cpu")
  network_wall=$(per_start "$networked_wall" "$wrapped_wall")
fi

echo
echo "clips: $clips x $length s $size, rounds: $rounds, processors: $(nproc)," \
  "load average: $(cut -d' ' -f1-3 /proc/loadavg)"
declare -A medians
for side in "${sides[@]}"; do
  # shellcheck disable=SC2086
  medians[$side]=$(median ${times[$side]})
  echo "median $side: ${medians[$side]} ms"
done
for pair in "${pairs[@]}"; do
  [ -n "${rounds_of[$pair]:-}" ] || continue
  a=${pair%/*} b=${pair#*/}
  # shellcheck disable=SC2086
  echo "$a / $b: ratio of the medians $(ratio "${medians[$a]}" "${medians[$b]}")," \
    "median of the rounds' ratios $(median ${rounds_of[$pair]})," \
    "per file $(((medians[$a] - medians[$b]) / clips)) ms;" \
    "processor time: $(ratio "$(median ${cpu_times[$a]})" "$(median ${cpu_times[$b]})")," \
    "the rounds' $(median ${cpu_rounds_of[$pair]})"
done
echo "each clip alone, medians (/usr/bin/time of the program, its coders included):"
for cost in "${costs[@]}"; do echo "  $cost"; done
echo "bwrap's own start: $bwrap_wall ms wall, $bwrap_cpu ms processor a run, a network name" \
  "space $network_wall ms more (-1: no bwrap here)"
