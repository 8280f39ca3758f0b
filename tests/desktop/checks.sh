# shellcheck shell=bash
# Sourced by the desktop test scripts: a failed check is reported and counted, and the script
# goes on to the next; it ends with `exit $((failures > 0))`.
failures=0
check() {
    local what=$1
    shift
    if ! "$@"; then
        echo "FAIL: $what"
        failures=$((failures + 1))
    fi
}
