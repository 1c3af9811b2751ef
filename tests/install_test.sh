#!/bin/sh
# Installs the build into a temporary prefix, checks the tree and the shared
# library's ABI, and builds and runs a consumer against it: through the CMake
# package (shared and static), through pkg-config, and with the source tree
# added as a subdirectory.
# Usage: install_test.sh BUILD_DIR SOURCE_DIR VERSION
set -eu
build=$1 source=$2 version=$3
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
fail() { echo "$*"; exit 1; }

# A copy of the build, so that its install_manifest.txt stays the user's.
cmake --install "$build" --prefix "$work/prefix" >/dev/null
for f in bin/primecheck share/man/man1/primecheck.1 share/doc/primecheck/README.md \
         include/primecheck/primality.hpp include/primecheck/number_reader.hpp \
         include/primecheck/version.hpp include/primecheck/api.hpp; do
    [ -f "$work/prefix/$f" ] || fail "not installed: $f"
done
# The library directory may be lib, lib64 or lib/<multiarch triplet>.
so=$(find "$work/prefix" -name libprimecheck.so.1 | head -n 1)
[ -n "$so" ] || fail "no libprimecheck.so.1"
lib=$(dirname "$so")
for f in libprimecheck.so libprimecheck.a pkgconfig/primecheck.pc cmake/primecheck/primecheck-config.cmake; do
    [ -e "$lib/$f" ] || fail "not installed: $lib/$f"
done
readelf -d "$so" | grep -q 'SONAME.*\[libprimecheck\.so\.1\]' || fail "SONAME is not libprimecheck.so.1"
abi=$(nm -D --defined-only "$so" | awk '{ print $3 }' | c++filt | sed 's/[[(].*//' | sort | tr '\n' ' ')
[ "$abi" = "primecheck::allocate_number_list primecheck::count_non_primes primecheck::is_prime primecheck::read_numbers primecheck::release_number_list primecheck::static_share primecheck::stop_message " ] ||
    fail "the shared library exports more or less than the headers declare: $abi"

want="4 is NOT prime!
9 is NOT prime!
largest 32-bit prime: 1, total: 2, version $version"
check() { # NAME PROGRAM
    got=$(OMP_NUM_THREADS=1 LD_LIBRARY_PATH="$lib" "$2")
    [ "$got" = "$want" ] || fail "$1 consumer printed: $got"
}
consumer() { # NAME USE
    cmake -S "$source/tests/consumer" -B "$work/$1" -G Ninja -DCMAKE_EXPORT_COMPILE_COMMANDS=ON \
        -DCMAKE_PREFIX_PATH="$work/prefix" -DCMAKE_CXX_COMPILER="${CXX_COMPILER:-c++}" \
        -DPRIMECHECK_USE="$2" >/dev/null
    cmake --build "$work/$1" >/dev/null
    check "$1" "$work/$1/consumer"
}
consumer shared shared
# OpenMP is the library's own business: the caller compiles without it, and
# against the shared library links without it too.
case $(cat "$work/shared/compile_commands.json" "$work/shared/build.ninja") in
    *fopenmp*) fail "-fopenmp reached the shared consumer's build" ;;
esac
readelf -d "$work/shared/consumer" | grep -q 'NEEDED.*libprimecheck\.so\.1' || fail "not linked to the shared library"
consumer static static
readelf -d "$work/static/consumer" | grep -q 'libprimecheck' && fail "the static consumer needs the shared library"

# Inside another project the library comes alone: no build type forced on
# the parent, no program, tests, benchmarks or run target.
consumer subdirectory "$source"
grep -q '^CMAKE_BUILD_TYPE:STRING=$' "$work/subdirectory/CMakeCache.txt" || fail "the parent's build type was set"
extra=$(ninja -C "$work/subdirectory" -t targets all | grep -E '^(primecheck|run|unit_tests|micro_bench|install)(:| )' || true)
[ -z "$extra" ] || fail "targets a parent project does not want: $extra"

if command -v pkg-config >/dev/null; then
    flags=$(PKG_CONFIG_PATH="$lib/pkgconfig" pkg-config --cflags --libs primecheck)
    "${CXX_COMPILER:-c++}" -std=c++17 "$source/tests/consumer/main.cpp" $flags -o "$work/pkg-config"
    check pkg-config "$work/pkg-config"
else
    echo "pkg-config not found: the pkg-config consumer is not built (apt-get install pkgconf)"
fi
echo "installed tree and consumers: ok"
