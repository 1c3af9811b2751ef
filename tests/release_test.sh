#!/bin/sh
# Builds and checks primecheck on a clean Debian RELEASE (trixie, unstable,
# ...), as a user of it would: debootstraps a chroot from this machine's own
# Debian mirror, copies a clean clone of this repository in, and there, as a
# user that is not root, runs the README's install line from source and its
# two preset commands, whose test workflow must end by counting the rows it
# skipped; then installs the build dependencies by the README's line, builds
# the Debian packages with no warning from the project's own files and no
# file left over in the tree, and holds them and the source to lintian.
# Needs root, debootstrap and git.
# Usage: release_test.sh RELEASE
set -eu
release=${1:?usage: release_test.sh RELEASE}
source=$(cd "$(dirname "$0")/.." && pwd)
mirror=$(apt-get indextargets --format '$(LABEL)|$(REPO_URI)' | awk -F'|' '$1 == "Debian" { print $2; exit }')
[ -n "$mirror" ] || { echo "no Debian mirror in this machine's apt sources"; exit 1; }
root=$(mktemp -d "${TMPDIR:-/tmp}/primecheck-$release.XXXXXX")
# The root of the system that the user works in.
chmod 755 "$root"
cleanup() {
    umount -R "$root/dev" "$root/proc" "$root/sys" 2>/dev/null || true
    rm -rf --one-file-system "$root"
}
trap cleanup EXIT
step() { printf '\n== %s: %s\n' "$release" "$*"; }
in_root() { chroot "$root" env -i PATH=/usr/sbin:/usr/bin:/sbin:/bin DEBIAN_FRONTEND=noninteractive "$@"; }
as_user() { # CLONE COMMANDS
    chroot --userspec="$(in_root id -u builder):$(in_root id -g builder)" "$root" \
        env -i HOME=/home/builder PATH=/usr/bin:/bin sh -ec "cd ~/$1; $2"
}

step "debootstrap from $mirror"
debootstrap --variant=minbase --include=sudo "$release" "$root" "$mirror" >/dev/null
mount -t proc proc "$root/proc" && mount -t sysfs sys "$root/sys" && mount --rbind /dev "$root/dev"
cp /etc/resolv.conf "$root/etc/resolv.conf"
# A frozen mirror (a snapshot) keeps Release files whose Valid-Until has
# passed; apt refuses them unless told not to look.
if ! in_root apt-get update >"$root/update.log" 2>&1; then
    grep -q 'is expired' "$root/update.log" || { cat "$root/update.log"; exit 1; }
    echo "note: $mirror has an expired Release file (a frozen mirror); Valid-Until is not checked"
    echo 'Acquire::Check-Valid-Until "false";' >"$root/etc/apt/apt.conf.d/99frozen-mirror"
fi
# The README's line asks before it installs; the user says yes.
echo 'APT::Get::Assume-Yes "true";' >"$root/etc/apt/apt.conf.d/99assume-yes"
in_root useradd --create-home builder
echo 'builder ALL=(ALL) NOPASSWD: ALL' >"$root/etc/sudoers.d/builder"
# One clone for the two presets, one for the packages, whose source must not
# take in the presets' builds.
git clone --quiet "$source" "$root/home/builder/primecheck"
git clone --quiet "$source" "$root/home/builder/package"
in_root chown -R builder:builder /home/builder

install_line=$(sed -n '/^### From source/,$p' "$source/README.md" | grep -m1 'sudo apt-get')
step "the README's install line from source: $install_line"
as_user primecheck "$install_line"
step "the README's two presets"
as_user primecheck 'cmake --workflow --preset run && cmake --workflow --preset test' \
    >"$root/quick-start.log" 2>&1 || { cat "$root/quick-start.log"; exit 1; }
cat "$root/quick-start.log"
tail -n 1 "$root/quick-start.log" | grep -Eq 'rows? skipped|No test row was skipped' ||
    { echo "the test workflow does not end by counting the rows it skipped"; exit 1; }

build_dep=$(sed -n '/^### As Debian packages/,$p' "$source/README.md" | grep -m1 'apt-get build-dep' |
    sed 's/ *#.*//')
step "Debian packages and lintian: $build_dep"
as_user package "$build_dep" >/dev/null
in_root apt-get install git lintian >/dev/null
# An upload closes its ITP bug; this one has none yet. The package follows
# the stable release, trixie; unstable's lintian also tells, as information
# and pedantry, where its conventions have since moved on (policy, debhelper
# compat level, fields now the default), so there only errors and warnings
# fail.
# Bookworm's lintian predates trixie's policy, so it takes the package's
# Standards-Version for one from the future.
fail_on=error,warning,info,pedantic
suppress=initial-upload-closes-no-bugs
case $release in
unstable | sid) fail_on=error,warning ;;
bookworm) suppress=$suppress,newer-standards-version ;;
esac
as_user package "dpkg-source --build . && dpkg-buildpackage -us -uc -b >../build.log 2>&1 ||
    { tail -n 40 ../build.log; exit 1; }"
warnings=$(grep -E '(src|include|tests|bench)/[^ :]+:[0-9]+(:[0-9]+)?: warning' \
    "$root/home/builder/build.log" || true)
[ -z "$warnings" ] || { echo "the package build warns:"; echo "$warnings"; exit 1; }
left=$(as_user package 'git status --porcelain')
[ -z "$left" ] || { echo "the package build leaves files in the tree:"; echo "$left"; exit 1; }
as_user package "cd .. && lintian --pedantic --display-info --fail-on $fail_on \
    --suppress-tags $suppress primecheck_*.changes primecheck_*.dsc"
echo "release check on $release: ok"
