#!/usr/bin/env bash
# Runs both test suites under AddressSanitizer and UndefinedBehaviorSanitizer: one sanitized
# build (build/sanitized) makes the GoogleTest executables and the extension, which is
# installed into its own virtual environment (build/venv-sanitized); then CTest, then the
# whole pytest suite with the sanitizer runtime preloaded into the interpreter.
#
#   bash scripts/run_sanitized_tests.sh [pytest arguments]
#
# KESTRILUNE_WERROR=ON turns compiler warnings into errors (CI sets it). Needs g++, CMake,
# GoogleTest and python3 with venv (scripts/run_tests.sh lists how to get them).
set -euo pipefail
cd "$(dirname "$0")/.."
root=$PWD
werror="${KESTRILUNE_WERROR:-OFF}"
build=build/sanitized
venv=build/venv-sanitized

[ -x "$venv/bin/python" ] || python3 -m venv "$venv"
# One CMake build for both suites: the wheel build also makes the test executables.
"$venv/bin/python" -m pip install -q ".[test]" -C build-dir="$build" \
    -C cmake.build-type=RelWithDebInfo \
    -C cmake.define.KESTRILUNE_SANITIZE=ON \
    -C cmake.define.KESTRILUNE_BUILD_TESTS=ON \
    -C cmake.define.KESTRILUNE_WERROR="$werror"

export UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1
# intercept_tls_get_addr=0: GCC's sanitizer runtime up to GCC 13 takes a thread-local block
# that __tls_get_addr hands out at 16 bytes past a 4 KiB boundary for one with a glibc 2.19
# header, and records the two words before it as the block's range. Since glibc 2.25 those
# words are whatever the allocator left there, and the leak check at exit reads that range
# and dies ("Tracer caught signal 11 ... LeakSanitizer has encountered a fatal error") after
# every test has passed, now and then, depending on where the blocks land. Every other block
# is recorded with size 0 on this glibc (verbosity=2 prints "Can't guess glibc version"), so
# turning the interception off loses no scanning: glibc allocates the blocks with malloc and
# links them from the thread's descriptor, and the leak check follows those links.
export ASAN_OPTIONS=detect_leaks=1:strict_init_order=1:check_initialization_order=1:intercept_tls_get_addr=0
ctest --test-dir "$build" --output-on-failure -j "$(nproc)"

# The interpreter is not instrumented, so the ASan runtime has to be loaded before it.
# libstdc++ is preloaded as well: the interpreter does not link it, and ASan's __cxa_throw
# interceptor, set up at start, would otherwise find no real __cxa_throw and abort at the
# first C++ exception.
export LD_PRELOAD="$(g++ -print-file-name=libasan.so) $(g++ -print-file-name=libstdc++.so.6)"
# Every Python object from malloc rather than from pymalloc's arenas, which LeakSanitizer
# does not scan: native memory held by a live Python object (a ProgressCounter's cells)
# would otherwise look leaked at exit.
export PYTHONMALLOC=malloc
export LSAN_OPTIONS="suppressions=$root/scripts/lsan_python.supp:print_suppressions=0"
# Heavy cases shrink (see tests/conftest.py); the sanitized run is several times slower.
export KESTRILUNE_TEST_QUICK=1
# From outside the source tree, so that the installed module is the one imported.
cd "$root/build"
"$root/$venv/bin/python" -m pytest -q -p no:cacheprovider "$root/tests" --rootdir "$root" "$@"
