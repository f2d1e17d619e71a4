#!/usr/bin/env bash
# Builds python3-veltrano (Architecture: all) from python/ with pybuild, its version and changelog the
# companion's (packaging/changelog), into OUT_DIR beside the veltrano package.
#
# Usage: build-python-package.sh OUT_DIR
set -euo pipefail
out=$(realpath -m "${1:?usage: build-python-package.sh OUT_DIR}")
cd "$(dirname "$0")/.."
mkdir -p "$out"

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
src="$work/veltrano"
# Only what the package is built from: no caches of an earlier run.
cp -r python "$src"
rm -rf "$src"/tests "$src"/build "$src"/*.egg-info
find "$src" -name __pycache__ -prune -exec rm -rf {} +
mkdir -p "$src/debian/source"
cp packaging/python3-veltrano/control packaging/python3-veltrano/rules "$src/debian/"
cp packaging/changelog packaging/copyright "$src/debian/"
echo "3.0 (quilt)" >"$src/debian/source/format"

# Debian's own Python builds a Debian package, whatever else is first on PATH.
(cd "$src" && PATH=/usr/sbin:/usr/bin:/sbin:/bin dpkg-buildpackage -b -us -uc >"$work/build.log" 2>&1) || {
    cat "$work/build.log" >&2
    exit 1
}
rm -f "$out"/python3-veltrano_*.deb
mv "$work"/python3-veltrano_*.deb "$out"/
ls "$out"/python3-veltrano_*.deb
