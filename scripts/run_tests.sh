#!/usr/bin/env bash
# Installs what the tests need, then runs every test: the C++ unit tests of the native core
# (GoogleTest through CTest) and the Python tests of the module and its tools (pytest).
#
#   bash scripts/run_tests.sh
#
# What it installs, and where:
# - system packages, only if missing: a C++ compiler, CMake and GoogleTest (Debian: g++ cmake
#   libgtest-dev), and the headless browser the report page is tested in (chromium
#   chromium-driver). Run as root, it installs them with apt-get; otherwise it stops at once and
#   prints the apt-get command to run.
# - Python packages, into the active Python environment (a virtual environment is best):
#   the build tools (scikit-build-core, nanobind, ninja), then this package with its test
#   extras (pip install --no-build-isolation ".[test]"). pip itself is left as it is.
#
# KESTRILUNE_WERROR=ON turns compiler warnings into errors (CI sets it).
# KESTRILUNE_BIG_TESTS=1 also runs the C++ tests that need several GB of memory
# (a 100,000-leaf caterpillar tree); they are left out by default.
set -euo pipefail
cd "$(dirname "$0")/.."
werror="${KESTRILUNE_WERROR:-OFF}"
say() { echo "run_tests: $*"; }

missing=()
command -v c++ >/dev/null || missing+=(g++)
command -v cmake >/dev/null || missing+=(cmake)
[ -f /usr/include/gtest/gtest.h ] || missing+=(libgtest-dev)
command -v chromium >/dev/null || missing+=(chromium)
command -v chromedriver >/dev/null || missing+=(chromium-driver)
if [ ${#missing[@]} -gt 0 ]; then
    if [ "$(id -u)" -ne 0 ]; then
        say "missing system packages: ${missing[*]}"
        say "install them first:  sudo apt-get install ${missing[*]}"
        exit 1
    fi
    say "installing system packages with apt-get: ${missing[*]}"
    export DEBIAN_FRONTEND=noninteractive
    apt-get -o DPkg::Lock::Timeout=900 update -qq
    apt-get -o DPkg::Lock::Timeout=900 install -y -qq "${missing[@]}" >/dev/null
fi

in_venv=$(python3 -c 'import sys; print(int(sys.prefix != sys.base_prefix))')
managed=$(python3 -c 'import os, sysconfig; print(int(os.path.exists(os.path.join(sysconfig.get_path("stdlib"), "EXTERNALLY-MANAGED"))))')
if [ "$in_venv" = 0 ] && [ "$managed" = 1 ]; then
    say "this Python does not let pip install packages; make and activate a virtual environment:"
    say "  python3 -m venv .venv && . .venv/bin/activate && bash scripts/run_tests.sh"
    exit 1
fi

say "installing kestrilune with its test extras into $(python3 -c 'import sys; print(sys.prefix)')"
say "(the C++ tests are built in the same CMake tree as the extension, build/<wheel tag>)"
# One CMake tree for the extension and the C++ tests: the core library compiles once. It is
# pip's persistent build directory (pyproject.toml: build-dir), so after the README's install
# command only what changed is rebuilt.
# pip builds without an isolated environment, from the build tools installed here: a new
# isolated environment each time would make scikit-build-core clear the tree.
python3 -m pip install -q "scikit-build-core>=0.10" "nanobind>=2.0" ninja
python3 -m pip install -q --no-build-isolation ".[test]" -C cmake.define.KESTRILUNE_WERROR="$werror" \
    -C cmake.define.KESTRILUNE_BUILD_TESTS=ON
tag=$(python3 -c 'import sys; print("cp%d%d" % sys.version_info[:2])')
build=$(ls -d build/"$tag"-*/ 2>/dev/null | head -n 1)
if [ -z "$build" ] || [ ! -f "$build/CTestTestfile.cmake" ]; then
    say "no C++ tests in build/$tag-*: pip did not build them"
    exit 1
fi
# build/cpp-tests names that tree for the reruns of CI (.ci/run) and for people.
[ -L build/cpp-tests ] || rm -rf build/cpp-tests
ln -sfn "$(basename "$build")" build/cpp-tests

say "running the C++ tests"
exclude=()
[ "${KESTRILUNE_BIG_TESTS:-0}" = 1 ] || exclude=(-E 'HundredThousandLeafCaterpillar')
ctest --test-dir build/cpp-tests --output-on-failure -j "$(nproc)" "${exclude[@]}"

say "running the Python tests"
# Run from outside the source tree so that the installed module is the one imported.
python3 -m pytest -q "$PWD/tests" --rootdir "$PWD"
