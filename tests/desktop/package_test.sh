#!/usr/bin/env bash
# Builds the Debian package with scripts/package, checks what it declares and holds, unpacks it
# into a throwaway root with dpkg-deb and runs the unpacked program there, in an X server of its
# own (packaged_test.cpp).
# Arguments: the folder to build the package in, the desktop_tests program, the site address the
# About box shows.
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)
root=$(cd "$here/../.." && pwd)
build=$1
tests=$2
homepage=$3

LMK_PACKAGE_DIR="$build" "$root/scripts/package" "-DLMK_HOMEPAGE=$homepage"
debs=("$build"/lmk-video_*.deb)
if ((${#debs[@]} != 1)) || [ ! -f "${debs[0]}" ]; then
    echo "FAIL: not one package in $build: ${debs[*]}"
    exit 1
fi
deb=${debs[0]}

# shellcheck source-path=SCRIPTDIR source=checks.sh
. "$here/checks.sh"
field() { dpkg-deb -f "$deb" "$1"; }
has() { grep -Eq "$2" <<<"$1"; }

dpkg-deb -I "$deb"
check "named lmk-video" [ "$(field Package)" = lmk-video ]
check "depends on ffmpeg" has "$(field Depends)" '(^|, )ffmpeg( |,|$)'
check "depends on the Qt widgets" has "$(field Depends)" '(^|, )libqt6widgets6( |,|$)'
check "recommends fonts-wine" has "$(field Recommends)" '(^|, )fonts-wine( |,|$)'
check "recommends Qt's translations" has "$(field Recommends)" '(^|, )qt6-translations-l10n( |,|$)'
check "names a maintainer" has "$(field Maintainer)" '^[^<]+ <[^>]+@[^>]+>$'
check "has a description" [ -n "$(field Description)" ]
check "its homepage is the About box's site" [ "$(field Homepage)" = "$homepage" ]

unpacked=$(mktemp -d "${TMPDIR:-/tmp}/lmk-package-XXXXXX")
trap 'rm -rf "$unpacked"' EXIT
dpkg-deb -x "$deb" "$unpacked"
for file in usr/bin/lmk-video \
    usr/share/applications/lmk-video.desktop \
    usr/share/icons/hicolor/32x32/apps/lmk-video.png \
    usr/share/icons/hicolor/scalable/apps/lmk-video.svg; do
    check "$file in the package" [ -f "$unpacked/$file" ]
done
check "only the program in usr/bin" [ "$(ls "$unpacked/usr/bin")" = lmk-video ]

LMK_PACKAGE_ROOT="$unpacked" "$here/with_xvfb.sh" "$tests" --gtest_filter='Packaged.*' ||
    failures=$((failures + 1))
exit $((failures > 0))
