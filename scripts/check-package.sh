#!/usr/bin/env bash
# Builds the Debian package and holds it to Debian's tools: lintian, desktop-file-validate, appstreamcli
# and mandoc. Any error or warning fails the run.
set -euo pipefail
cd "$(dirname "$0")/.."
./scripts/install-deps.sh check
pkg_dir=${PKG_DIR:-build-package}

rm -f "$pkg_dir"/veltrano_*.deb
make package PKG_DIR="$pkg_dir"
debs=("$pkg_dir"/veltrano_*.deb)
deb=${debs[0]}
echo "== $deb"

failed=0
fail() {
    echo "FAILED: $*" >&2
    failed=1
}

echo "== lintian"
# Informational tags are shown too; errors and warnings fail.
lintian --fail-on error,warning --display-info "$deb" || fail lintian

root=$(mktemp -d)
trap 'rm -rf "$root"' EXIT
dpkg-deb -x "$deb" "$root"

echo "== desktop-file-validate"
# It exits 0 on hints: any line it prints counts.
for desktop in ui/veltrano.desktop "$root"/usr/share/applications/*.desktop; do
    out=$(desktop-file-validate "$desktop" 2>&1) || fail "desktop-file-validate $desktop"
    [ -z "$out" ] || { echo "$out"; fail "desktop-file-validate $desktop"; }
done

echo "== appstreamcli"
for metainfo in "$root"/usr/share/metainfo/*.metainfo.xml; do
    appstreamcli validate --no-net --pedantic "$metainfo" || fail "appstreamcli validate $metainfo"
done
# The installed tree: the launchable's desktop file and the icon are where the metadata says.
appstreamcli validate-tree --no-net "$root" || fail "appstreamcli validate-tree"

echo "== mandoc"
for page in docs/*.1 "$root"/usr/share/man/man1/*.1.gz; do
    out=$(mandoc -Tlint -W warning "$page" 2>&1) || fail "mandoc $page"
    [ -z "$out" ] || { echo "$out"; fail "mandoc $page"; }
done

echo "== contents"
for path in usr/bin/veltrano usr/bin/veltrano-cli usr/share/icons/hicolor/scalable/apps/veltrano.svg \
    usr/share/icons/hicolor/256x256/apps/veltrano.png usr/share/bash-completion/completions/veltrano-cli \
    usr/share/doc/veltrano/copyright usr/share/doc/veltrano/changelog.Debian.gz; do
    [ -e "$root/$path" ] || fail "missing /$path"
done
for lua in "$root"/usr/lib/*/wireshark/plugins/veltrano.lua; do
    [ -e "$lua" ] || fail "missing the Wireshark dissector"
done

if [ "$failed" -ne 0 ]; then
    echo "check-package: FAILED" >&2
    exit 1
fi
echo "check-package: $deb passes lintian, desktop-file-validate, appstreamcli and mandoc"
