#!/usr/bin/env bash
# Builds the Debian package with scripts/package, checks what it declares and holds (its manual
# page, its AppStream entry, what lintian says of it), unpacks it into a throwaway root with
# dpkg-deb and runs the unpacked program there, in an X server of its own (packaged_test.cpp).
# Arguments: the folder to build the package in, the desktop_tests program, the site address the
# About box shows.
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)
root=$(cd "$here/../.." && pwd)
build=$1
tests=$2
homepage=$3

# A new compiler warning fails the package's build too.
LMK_PACKAGE_DIR="$build" "$root/scripts/package" "-DLMK_HOMEPAGE=$homepage" \
    -DCMAKE_COMPILE_WARNING_AS_ERROR=ON
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
lacks() { ! grep -Eq "$2" <<<"$1"; }

unpacked=$(mktemp -d "${TMPDIR:-/tmp}/lmk-package-XXXXXX")
lintian_report="$unpacked.lintian"
trap 'rm -rf "$unpacked" "$lintian_report"' EXIT
# lintian takes a while and needs no X server: it runs beside the program's tests. Any error or
# warning not explained in the package's overrides counts, and so does an override that no
# longer matches anything.
lintian --display-info --fail-on error,warning "$deb" >"$lintian_report" 2>&1 &
lintian_run=$!

dpkg-deb -I "$deb"
check "named lmk-video" [ "$(field Package)" = lmk-video ]
check "depends on ffmpeg" has "$(field Depends)" '(^|, )ffmpeg( |,|$)'
seccomp=$(field Depends | tr ',' '\n' | grep -cE '^ *libseccomp2( |$)' || true)
check "depends on libseccomp2 once, not $seccomp times" [ "$seccomp" = 1 ]
check "depends on the Qt widgets" has "$(field Depends)" '(^|, )libqt6widgets6( |,|$)'
check "recommends fonts-wine" has "$(field Recommends)" '(^|, )fonts-wine( |,|$)'
check "recommends Qt's translations" has "$(field Recommends)" '(^|, )qt6-translations-l10n( |,|$)'
check "names a maintainer" has "$(field Maintainer)" '^[^<]+ <[^>]+@[^>]+>$'
check "has a description" [ -n "$(field Description)" ]
check "its homepage is the About box's site" [ "$(field Homepage)" = "$homepage" ]

dpkg-deb -x "$deb" "$unpacked"
id=org.example.lmk_video
manual=usr/share/man/man1/lmk-video.1.gz
metainfo=usr/share/metainfo/$id.metainfo.xml
doc=usr/share/doc/lmk-video
for file in usr/bin/lmk-video \
    "usr/share/applications/$id.desktop" \
    usr/share/icons/hicolor/32x32/apps/lmk-video.png \
    usr/share/icons/hicolor/scalable/apps/lmk-video.svg \
    "$manual" "$metainfo" "$doc/copyright" "$doc/changelog.gz" \
    usr/share/lintian/overrides/lmk-video; do
    check "$file in the package" [ -f "$unpacked/$file" ]
done
check "only the program in usr/bin" [ "$(ls "$unpacked/usr/bin")" = lmk-video ]

# gzip -9n: the header's flags name no file, its time is 0 and it says "best compression".
for file in "$manual" "$doc/changelog.gz"; do
    header=$(od -An -tu1 -N9 "$unpacked/$file" | tr -s ' ')
    check "$file compressed as gzip -9n ($header)" [ "$header" = " 31 139 8 0 0 0 0 0 2" ]
done
check "the change log's last entry is this version" \
    has "$(zcat "$unpacked/$doc/changelog.gz" | head -n 1)" "^lmk-video \($(field Version)\) "

# The licence: the repository's LICENSE is the GPL's text as Debian has it, and the package's
# copyright file is machine-readable (DEP-5; lintian checks its syntax below): every file under
# GPL-3.0-or-later, whose stand-alone paragraph points to Debian's copy of the text.
check "LICENSE is the text of the GPL version 3" \
    cmp -s "$root/LICENSE" /usr/share/common-licenses/GPL-3
copyright=$(cat "$unpacked/$doc/copyright")
check "the copyright file is DEP-5" has "$(head -n 1 <<<"$copyright")" \
    '^Format: https://www\.debian\.org/doc/packaging-manuals/copyright-format/1\.0/$'
default_site=$(grep -oP 'set\(LMK_HOMEPAGE "\K[^"]+' "$root/CMakeLists.txt")
check "the copyright file's source is the default site" has "$copyright" "^Source: $default_site\$"
check "every file is under GPL-3.0-or-later" \
    grep -Pzq '\nFiles: \*\nCopyright: [^\n]+\nLicense: GPL-3\.0-or-later\n' <<<"$copyright"
check "the licence's paragraph points to Debian's GPL-3" grep -Pzq \
    '\n\nLicense: GPL-3\.0-or-later\n( [^\n]*\n)*[^\n]*/usr/share/common-licenses/GPL-3' \
    <<<"$copyright"
check "no text says that all rights are reserved" lacks \
    "$(cat "$root/README.md" "$root/resources/debian/"* "$unpacked/$doc/copyright")" \
    '[Aa]ll rights are reserved'

# The manual page renders without a complaint and tells of every option --help lists.
complaints=$(LC_ALL=C.UTF-8 MANROFFSEQ='' MANWIDTH=80 man --warnings -E UTF-8 -l -Tutf8 -Z \
    "$unpacked/$manual" 2>&1 >/dev/null) || complaints="man failed: $complaints"
check "the manual page renders cleanly: $complaints" [ -z "$complaints" ]
page=$(LC_ALL=C.UTF-8 MANWIDTH=200 man -l "$unpacked/$manual" 2>/dev/null)
options=$("$unpacked/usr/bin/lmk-video" --help | grep -oE -- '--[a-z]+' | sort -u)
check "--help lists options" [ -n "$options" ]
for option in $options; do
    check "the manual page tells of $option" grep -qF -- "$option" <<<"$page"
done

# The AppStream entry as a software centre reads it from the installed tree: valid, naming the
# desktop entry it launches.
validation=$(appstreamcli validate-tree --no-net "$unpacked" 2>&1) ||
    check "appstreamcli validate-tree: $validation" false
# Pedantic too: not a single hint, such as a missing release or licence.
validation=$(appstreamcli validate --pedantic --no-net "$unpacked/$metainfo" 2>&1) ||
    check "appstreamcli validate --pedantic: $validation" false
check "appstreamcli validate --pedantic reports nothing: $validation" \
    lacks "$validation" '^[EWIP]: '
check "the AppStream entry names the licence" \
    grep -qF "<project_license>GPL-3.0-or-later</project_license>" "$unpacked/$metainfo"
check "the AppStream entry's release is this version, dated" grep -qE \
    "<release version=\"$(field Version)\" date=\"[0-9]{4}-[0-9]{2}-[0-9]{2}\"" "$unpacked/$metainfo"
check "the AppStream entry launches the desktop entry" \
    grep -qF "<launchable type=\"desktop-id\">$id.desktop</launchable>" "$unpacked/$metainfo"
check "the AppStream entry's screenshot is on the site" \
    grep -qF "<image>$homepage/screenshot.png</image>" "$unpacked/$metainfo"

LMK_PACKAGE_ROOT="$unpacked" "$here/with_xvfb.sh" "$tests" --gtest_filter='Packaged.*' ||
    failures=$((failures + 1))

lintian_status=0
wait "$lintian_run" || lintian_status=$?
cat "$lintian_report"
check "lintian finds no error or warning (status $lintian_status)" [ "$lintian_status" = 0 ]
overrides_match() { ! grep -Eq '(unused|mismatched)-override' "$lintian_report"; }
check "every lintian override still matches" overrides_match
exit $((failures > 0))
