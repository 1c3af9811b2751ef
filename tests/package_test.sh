#!/bin/sh
# Builds the .deb, checks what it holds and what it depends on, and holds it
# to Debian's own checker where lintian is installed.
# Usage: package_test.sh BUILD_DIR
set -eu
build=$1
command -v dpkg-shlibdeps >/dev/null || { echo "dpkg-shlibdeps not found (apt-get install dpkg-dev)"; exit 77; }
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

(cd "$build" && cpack -G DEB -B "$work" >/dev/null)
deb=$(ls "$work"/primecheck_*.deb)
contents=$(dpkg-deb -c "$deb")
for f in ./usr/bin/primecheck ./usr/share/man/man1/primecheck.1.gz ./usr/share/doc/primecheck/copyright \
         ./usr/share/doc/primecheck/changelog.gz ./usr/include/primecheck/primality.hpp; do
    echo "$contents" | grep -q " $f\$" || { echo "not in the package: $f"; exit 1; }
done
dpkg-deb -f "$deb" Depends | grep -q -E 'libgomp1 \(>=|libomp5' || { echo "no OpenMP runtime dependency"; exit 1; }
if command -v lintian >/dev/null; then
    lintian --allow-root --fail-on error,warning "$deb"
else
    echo "lintian not found: the package is not checked against Debian's policy"
fi
echo "$(basename "$deb"): ok"
