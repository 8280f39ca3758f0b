#!/usr/bin/env bash
# cmake --install into a throwaway prefix: the program, its menu entry and its icons land where a
# desktop looks for them, and the entry passes desktop-file-validate.
# Argument: the build folder.
set -euo pipefail
build=$1

prefix=$(mktemp -d "${TMPDIR:-/tmp}/lmk-install-XXXXXX")
trap 'rm -rf "$prefix"' EXIT
cmake --install "$build" --prefix "$prefix" >/dev/null

# shellcheck source-path=SCRIPTDIR source=checks.sh
. "$(dirname "$0")/checks.sh"

check "the program" [ -x "$prefix/bin/lmk-video" ]
check "the 32 px icon" [ -f "$prefix/share/icons/hicolor/32x32/apps/lmk-video.png" ]
check "the scalable icon" [ -f "$prefix/share/icons/hicolor/scalable/apps/lmk-video.svg" ]
check "the manual page" [ -f "$prefix/share/man/man1/lmk-video.1.gz" ]
check "the AppStream entry" [ -f "$prefix/share/metainfo/org.example.lmk_video.metainfo.xml" ]
entry="$prefix/share/applications/org.example.lmk_video.desktop"
check "the desktop entry" [ -f "$entry" ]
if [ -f "$entry" ]; then
    # It exits 0 on hints; any complaint counts here.
    complaints=$(desktop-file-validate "$entry" 2>&1) || true
    check "desktop-file-validate: $complaints" [ -z "$complaints" ]
    for line in 'Exec=lmk-video %F' 'Icon=lmk-video' 'Type=Application' 'Name[ru]=ЛМК-Видео'; do
        check "the entry's $line" grep -qxF "$line" "$entry"
    done
    for key in Name Comment 'Comment\[ru\]'; do
        check "the entry's $key" grep -Eq "^$key=.+" "$entry"
    done
    # A handler of video types may become the default player, and opening a video must not
    # convert it.
    check "the entry handles no file types" [ -z "$(grep '^MimeType=' "$entry" || true)" ]
fi
# The icon's size, from its PNG header.
size=$(od -An -tu1 -j16 -N8 "$prefix/share/icons/hicolor/32x32/apps/lmk-video.png" | tr -s ' ')
check "the icon is 32 x 32 ($size)" [ "$size" = " 0 0 0 32 0 0 0 32" ]
exit $((failures > 0))
