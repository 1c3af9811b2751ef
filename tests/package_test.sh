#!/bin/sh
# Builds the Debian packages from a copy of the source tree, checks what they
# hold, and holds them to lintian and hardening-check where those are
# installed. With PRIMECHECK_AUTOPKGTEST=1 it runs the autopkgtest too, which
# installs the packages on this machine (CI does).
# Usage: package_test.sh SOURCE_DIR
set -eu
source=$1
for tool in dpkg-buildpackage dh; do
    command -v $tool >/dev/null ||
        { echo "$tool not found: skipped, since it needs dpkg-dev and debhelper"; exit 77; }
done
fail() { echo "$*"; exit 1; }
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

mkdir "$work/primecheck"
tar -C "$source" --exclude='./.git' --exclude='./build*' --exclude='./examples/primecheck-run' -cf - . |
    tar -C "$work/primecheck" -xf -
# Debian's own flags, as on a build daemon: debhelper leaves a flag the
# environment already sets (CI's -Werror) as it is, hardening left out.
(cd "$work/primecheck" && env -u CFLAGS -u CXXFLAGS -u CPPFLAGS -u LDFLAGS DEB_BUILD_OPTIONS=nocheck \
    dpkg-buildpackage -us -uc -b >"$work/build.log" 2>&1) ||
    { tail -n 40 "$work/build.log"; fail "dpkg-buildpackage failed"; }
version=$(dpkg-parsechangelog -l "$source/debian/changelog" -S Version)
arch=$(dpkg-architecture -q DEB_HOST_ARCH)
triplet=$(dpkg-architecture -q DEB_HOST_MULTIARCH)
deb() { echo "$work/$1_${version}_$arch.deb"; }
has() { # PACKAGE FILE...
    package=$1
    shift
    contents=$(dpkg-deb -c "$(deb "$package")")
    for f in "$@"; do
        echo "$contents" | grep -q " \./$f\( ->.*\)\?\$" || fail "not in $package: $f"
    done
}
has primecheck usr/bin/primecheck usr/share/man/man1/primecheck.1.gz usr/share/doc/primecheck/examples/prime_numbers.txt \
    usr/share/doc/primecheck/README.md.gz usr/share/doc/primecheck/copyright \
    usr/share/doc/primecheck/changelog.gz
has libprimecheck1 "usr/lib/$triplet/libprimecheck.so.1" "usr/lib/$triplet/libprimecheck.so.$version"
has libprimecheck-dev "usr/lib/$triplet/libprimecheck.so" "usr/lib/$triplet/libprimecheck.a" \
    "usr/lib/$triplet/pkgconfig/primecheck.pc" "usr/lib/$triplet/cmake/primecheck/primecheck-config.cmake" \
    usr/include/primecheck/primality.hpp usr/include/primecheck/version.hpp
for package in primecheck-dbgsym libprimecheck1-dbgsym; do
    [ -f "$(deb $package)" ] || fail "no $package package"
done
[ "$(dpkg-deb -f "$(deb libprimecheck1)" Multi-Arch)" = same ] || fail "libprimecheck1 is not Multi-Arch: same"
dpkg-deb -f "$(deb primecheck)" Depends | grep -q 'libgomp1 (>=' || fail "no OpenMP runtime dependency"

if command -v hardening-check >/dev/null; then
    for package in primecheck libprimecheck1; do
        dpkg-deb -x "$(deb $package)" "$work/root"
    done
    # Bookworm's flags have no control-flow protection yet, and trixie's
    # hardening-check asks for AArch64's branch protection on every
    # architecture: that option exists only where it does.
    options=--nocfprotection
    hardening-check --help 2>&1 | grep -q -- --nobranchprotection && options="$options --nobranchprotection"
    hardening-check $options "$work/root/usr/bin/primecheck"
    hardening-check $options "$work/root/usr/lib/$triplet/libprimecheck.so.$version"
else
    echo "hardening-check not found: the hardening is not checked (apt-get install devscripts)"
fi
if command -v lintian >/dev/null; then
    # An upload closes its ITP bug; this one has none yet.
    lintian --allow-root --pedantic --display-info --fail-on error,warning,info,pedantic \
        --suppress-tags initial-upload-closes-no-bugs "$work"/primecheck_*.changes
else
    echo "lintian not found: the packages are not held to Debian's policy"
fi
if [ "${PRIMECHECK_AUTOPKGTEST:-0}" = 1 ]; then
    autopkgtest "$work/primecheck/" "$work"/*.deb -- null
else
    echo "autopkgtest not run: it installs the packages here; PRIMECHECK_AUTOPKGTEST=1 runs it"
fi
echo "Debian packages $version: ok"
