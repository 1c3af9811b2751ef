#!/bin/sh
# Builds the .deb and checks what it holds and what it depends on.
# Usage: package_test.sh BUILD_DIR
set -eu
build=$1
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

(cd "$build" && cpack -G DEB -B "$work" >/dev/null)
deb=$(ls "$work"/primecheck_*.deb)
contents=$(dpkg-deb -c "$deb")
for f in ./usr/bin/primecheck ./usr/share/man/man1/primecheck.1 \
         ./usr/include/primecheck/primality.hpp; do
    echo "$contents" | grep -q " $f\$" || { echo "not in the package: $f"; exit 1; }
done
dpkg-deb -f "$deb" Depends | grep -q -E 'libgomp1|libomp5' || { echo "no OpenMP runtime dependency"; exit 1; }
dpkg-deb -f "$deb" Maintainer | grep -q . || { echo "no maintainer"; exit 1; }
echo "$(basename "$deb"): ok"
