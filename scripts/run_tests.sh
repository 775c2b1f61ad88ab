#!/usr/bin/env bash
# Installs what the tests need, then runs every test: the C++ unit tests of the native core
# (GoogleTest through CTest) and the Python tests of the module and its tools (pytest).
#
#   bash scripts/run_tests.sh
#
# KESTRILUNE_WERROR=ON turns compiler warnings into errors (CI sets it).
set -euo pipefail
cd "$(dirname "$0")/.."
werror="${KESTRILUNE_WERROR:-OFF}"

if [ ! -f /usr/include/gtest/gtest.h ]; then
    sudo=""
    [ "$(id -u)" -ne 0 ] && sudo="sudo"
    $sudo apt-get update -qq
    DEBIAN_FRONTEND=noninteractive $sudo apt-get install -y -qq libgtest-dev cmake >/dev/null
fi

python3 -m pip install -q --upgrade pip
python3 -m pip install -q ".[test]" -C cmake.define.KESTRILUNE_WERROR="$werror"

generator=()
command -v ninja >/dev/null && generator=(-G Ninja)
cmake -S . -B build/cpp-tests "${generator[@]}" -DKESTRILUNE_BUILD_TESTS=ON \
    -DKESTRILUNE_BUILD_MODULE=OFF -DKESTRILUNE_WERROR="$werror" >/dev/null
cmake --build build/cpp-tests -j "$(nproc)"
ctest --test-dir build/cpp-tests --output-on-failure -j "$(nproc)"

# Run from outside the source tree so that the installed module is the one imported.
python3 -m pytest -q "$PWD/tests" --rootdir "$PWD"
