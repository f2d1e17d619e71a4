#!/usr/bin/env bash
# Builds the Debian packages (veltrano, python3-veltrano) and holds them to Debian's tools: lintian,
# desktop-file-validate, appstreamcli and mandoc; the Python package is imported and its pytest plugin
# loaded from the package's files alone. Any error or warning fails the run.
set -euo pipefail
cd "$(dirname "$0")/.."
./scripts/install-deps.sh check
pkg_dir=${PKG_DIR:-build-package}

rm -f "$pkg_dir"/veltrano_*.deb "$pkg_dir"/python3-veltrano_*.deb
make package PKG_DIR="$pkg_dir"
debs=("$pkg_dir"/veltrano_*.deb)
deb=${debs[0]}
pydebs=("$pkg_dir"/python3-veltrano_*.deb)
pydeb=${pydebs[0]}
echo "== $deb $pydeb"

failed=0
fail() {
    echo "FAILED: $*" >&2
    failed=1
}

echo "== lintian"
# Informational tags are shown too; errors and warnings fail.
lintian --fail-on error,warning --display-info "$deb" || fail lintian
lintian --fail-on error,warning --display-info "$pydeb" || fail "lintian $pydeb"

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

echo "== python3-veltrano"
pyroot="$root/python3-veltrano"
dpkg-deb -x "$pydeb" "$pyroot"
site="$pyroot/usr/lib/python3/dist-packages"
for path in veltrano/__init__.py veltrano/pytest_plugin.py veltrano-*.dist-info/entry_points.txt; do
    compgen -G "$site/$path" >/dev/null || fail "missing /usr/lib/python3/dist-packages/$path"
done
# The installed tree alone: the package imports, is the companion's version, and pytest loads its plugin.
version=$(dpkg-deb -f "$deb" Version)
# Both from one tree, of one version: python3-veltrano depends on exactly this veltrano.
[ "$(dpkg-deb -f "$pydeb" Version)" = "$version" ] || fail "python3-veltrano's version is not $version"
PYTHONPATH="$site" /usr/bin/python3 -c "import veltrano, sys; sys.exit(veltrano.__version__ != '${version%-*}')" ||
    fail "python3-veltrano: import veltrano, version ${version%-*}"
# Read whole before it is searched: grep -q leaves at the first match, and pytest, writing on into a closed
# pipe, would fail the pipeline.
pytest_help=$(PYTHONPATH="$site" /usr/bin/python3 -m pytest -p no:cacheprovider --help) ||
    fail "python3-veltrano: pytest --help fails"
grep -q -- --veltrano-cli <<<"$pytest_help" || fail "python3-veltrano: pytest does not load the plugin"

if [ "$failed" -ne 0 ]; then
    echo "check-package: FAILED" >&2
    exit 1
fi
echo "check-package: $deb and $pydeb pass lintian, desktop-file-validate, appstreamcli and mandoc"
