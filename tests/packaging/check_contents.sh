#!/usr/bin/env bash
# What the package holds and how it describes itself:
#   - exactly the program's files: no stand-in, demo, test or benchmark;
#   - the control fields: Recommends, dependencies computed from the libraries, conffiles;
#   - desktop-file-validate on the menu and autostart entries, appstreamcli validate on the
#     AppStream metainfo, and validate-tree on the whole unpacked tree (entry, icon, metainfo
#     together).
#
#   check_contents.sh PACKAGE APP-ID PROGRAM...    (the programs in /usr/lib/korvalo/)
set -euo pipefail

deb=$1
app_id=$2
shift 2
programs=("$@")
work=$(mktemp -d "${TMPDIR:-/tmp}/korvalo-contents-XXXXXX")
trap 'rm -rf "$work"' EXIT
fail() {
    echo "FAIL: $*" >&2
    exit 1
}

# ---- the files ---------------------------------------------------------------------------
dpkg-deb --fsys-tarfile "$deb" | tar -t | sed 's|^\./||; /\/$/d; /^$/d' | sort >"$work/files"
{
    printf 'usr/lib/korvalo/%s\n' "${programs[@]}"
    cat <<LIST
etc/xdg/autostart/$app_id.desktop
usr/bin/korvalo
usr/lib/korvalo/korvalo.installed
usr/share/applications/$app_id.desktop
usr/share/doc/korvalo/README.md
usr/share/doc/korvalo/changelog.gz
usr/share/doc/korvalo/copyright
usr/share/doc/korvalo/docs/integration.md
usr/share/icons/hicolor/128x128/apps/$app_id.png
usr/share/icons/hicolor/16x16/apps/$app_id.png
usr/share/icons/hicolor/24x24/apps/$app_id.png
usr/share/icons/hicolor/256x256/apps/$app_id.png
usr/share/icons/hicolor/32x32/apps/$app_id.png
usr/share/icons/hicolor/48x48/apps/$app_id.png
usr/share/icons/hicolor/64x64/apps/$app_id.png
usr/share/icons/hicolor/scalable/apps/$app_id.svg
usr/share/man/man1/korvalo.1.gz
usr/share/metainfo/$app_id.metainfo.xml
LIST
} | sort >"$work/expected"
diff -u "$work/expected" "$work/files" || fail "the package holds other files than the program's"
echo "ok: the package holds the program's $(wc -l <"$work/files") files and nothing else"

# ---- the control fields ------------------------------------------------------------------
field() { dpkg-deb --field "$deb" "$1"; }
depends=$(field Depends)
for library in libc6 libqt6widgets6 libssl3 libcurl4; do
    grep -qE "(^|, )$library( |,|$)" <<<"$depends" || fail "Depends lacks $library: $depends"
done
recommends=$(field Recommends)
for package in libengine-gost-openssl p11-kit; do
    grep -qE "(^|, )$package(,|$)" <<<"$recommends" || fail "Recommends lacks $package"
done
dpkg-deb --ctrl-tarfile "$deb" | tar -xO ./conffiles >"$work/conffiles"
[ "$(cat "$work/conffiles")" = "/etc/xdg/autostart/$app_id.desktop" ] ||
    fail "conffiles: $(cat "$work/conffiles")"
echo "ok: Depends ($depends), Recommends ($recommends), conffiles"

# ---- desktop entries and AppStream metainfo ---------------------------------------------
dpkg-deb -x "$deb" "$work/root"
desktop-file-validate "$work/root/usr/share/applications/$app_id.desktop"
desktop-file-validate "$work/root/etc/xdg/autostart/$app_id.desktop"
echo "ok: desktop-file-validate, menu and autostart entries"
appstreamcli validate --no-net "$work/root/usr/share/metainfo/$app_id.metainfo.xml"
appstreamcli validate-tree --no-net "$work/root"
echo "ok: appstreamcli validate and validate-tree"
