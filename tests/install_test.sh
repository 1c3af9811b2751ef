#!/bin/sh
# Installs the build into a temporary prefix, checks the tree, and builds and
# runs a consumer project against the installed CMake package.
# Usage: install_test.sh BUILD_DIR SOURCE_DIR
set -eu
build=$1 source=$2
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

cmake --install "$build" --prefix "$work/prefix" >/dev/null
for f in bin/primecheck share/man/man1/primecheck.1.gz share/doc/primecheck/README.md \
         share/doc/primecheck/copyright share/doc/primecheck/changelog.gz \
         include/primecheck/primality.hpp include/primecheck/number_reader.hpp; do
    [ -f "$work/prefix/$f" ] || { echo "not installed: $f"; exit 1; }
done
ls "$work"/prefix/lib*/libprimecheck.a "$work"/prefix/lib*/cmake/primecheck/primecheck-config.cmake \
    >/dev/null

cmake -S "$source/tests/consumer" -B "$work/consumer" -G Ninja -DCMAKE_EXPORT_COMPILE_COMMANDS=ON \
    -DCMAKE_PREFIX_PATH="$work/prefix" -DCMAKE_CXX_COMPILER="${CXX_COMPILER:-c++}" >/dev/null
cmake --build "$work/consumer" >/dev/null
# OpenMP is the library's own business: the caller compiles without it.
compile=$(cat "$work/consumer/compile_commands.json")
case $compile in *fopenmp*) echo "-fopenmp reached the consumer's compile line"; exit 1 ;; esac
got=$(OMP_NUM_THREADS=1 "$work/consumer/consumer")
want='4 is NOT prime!
9 is NOT prime!
largest 32-bit prime: 1, total: 2'
[ "$got" = "$want" ] || { printf 'consumer printed:\n%s\n' "$got"; exit 1; }
echo "installed tree and consumer: ok"
