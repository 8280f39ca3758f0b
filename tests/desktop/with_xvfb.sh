#!/usr/bin/env bash
# Runs a command with DISPLAY set to an X server of its own (Xvfb on a display number it picks
# itself), and ends that server afterwards. Exits with the command's status.
set -euo pipefail

if (($# == 0)); then
    echo "usage: with_xvfb.sh COMMAND [ARGUMENT...]" >&2
    exit 64
fi

scratch=$(mktemp -d "${TMPDIR:-/tmp}/lmk-xvfb-XXXXXX")
server=""
finish() {
    if [ -n "$server" ]; then
        kill "$server" 2>/dev/null || true
        wait "$server" 2>/dev/null || true
    fi
    rm -rf "$scratch"
}
trap finish EXIT
trap 'exit 143' TERM INT

: >"$scratch/display"
# -displayfd: Xvfb takes the first free number and writes it once it accepts connections.
Xvfb -displayfd 3 -screen 0 1024x768x24 -nolisten tcp -noreset \
    3>"$scratch/display" >"$scratch/server.log" 2>&1 &
server=$!

number=""
for _ in $(seq 300); do
    number=$(tr -dc '0-9' <"$scratch/display")
    [ -n "$number" ] && break
    if ! kill -0 "$server" 2>/dev/null; then
        echo "Xvfb did not start:" >&2
        cat "$scratch/server.log" >&2
        exit 1
    fi
    sleep 0.1
done
if [ -z "$number" ]; then
    echo "Xvfb gave no display number" >&2
    exit 1
fi

export DISPLAY=":$number"
for _ in $(seq 100); do
    xdpyinfo >/dev/null 2>&1 && break
    sleep 0.1
done
xdpyinfo >/dev/null 2>&1 || {
    echo "Xvfb on $DISPLAY does not answer" >&2
    exit 1
}

# The programs under test must reach this server, and only this one; and no session bus but
# one a test gives them.
export QT_QPA_PLATFORM=xcb XDG_SESSION_TYPE=x11
unset WAYLAND_DISPLAY DBUS_SESSION_BUS_ADDRESS

status=0
"$@" || status=$?
exit "$status"
