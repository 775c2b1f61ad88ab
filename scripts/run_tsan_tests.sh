#!/usr/bin/env bash
# Runs the threaded code under ThreadSanitizer: the C++ tests of the worker pool, the
# parallel collection of trees and the kernels, then scripts/tsan_stress.py (Python threads
# calling all six functions at once with and without counters, a poller, fork from a
# thread) against the extension built with ThreadSanitizer. One build (build/tsan) makes
# both; the interpreter is not instrumented, so the runtime is preloaded into it.
#
#   bash scripts/run_tsan_tests.sh [seconds of stress, default 20]
#
# Needs what scripts/run_tests.sh needs, run inside the virtual environment it used;
# nanobind is installed into it when missing (the build configures the engine too).
# KESTRILUNE_WERROR=ON turns compiler warnings into errors (CI sets it).
set -euo pipefail
cd "$(dirname "$0")/.."
root=$PWD
build=build/tsan
seconds="${1:-20}"
werror="${KESTRILUNE_WERROR:-OFF}"
tests=(pool_test snapshots_test distances_test weighted_test rf_tiles_test split_table_test)

python3 -c 'import nanobind' 2>/dev/null || python3 -m pip install -q nanobind
generator=()
command -v ninja >/dev/null && generator=(-G Ninja)
cmake -S . -B "$build" "${generator[@]}" -DCMAKE_BUILD_TYPE=RelWithDebInfo \
    -DKESTRILUNE_TSAN=ON -DKESTRILUNE_BUILD_TESTS=ON -DKESTRILUNE_BUILD_MODULE=ON \
    -DPython_EXECUTABLE="$(command -v python3)" -DKESTRILUNE_WERROR="$werror" >/dev/null
cmake --build "$build" -j "$(nproc)" --target "${tests[@]}" kestrilune_module

# die_after_fork=0: the pool's tests and the stress script fork from threaded processes on
# purpose; the child starts a fresh pool.
export TSAN_OPTIONS="halt_on_error=1 second_deadlock_stack=1 die_after_fork=0 suppressions=$root/scripts/tsan.supp"
for test in "${tests[@]}"; do
    echo "--- $test"
    # The multi-GB caterpillar is a memory test, not a threading one.
    "$build/$test" --gtest_brief=1 --gtest_filter='-*HundredThousandLeafCaterpillar*'
done
echo "--- pool_test (one worker)"
RAYON_NUM_THREADS=1 "$build/pool_test" --gtest_brief=1

echo "--- tsan_stress.py ($seconds s)"
# From outside the source tree, with the ThreadSanitizer build of the module first.
cd "$root/build"
export LD_PRELOAD="$(g++ -print-file-name=libtsan.so)" PYTHONPATH="$root/$build"
# The instrumented module, not an installed one (an editable install's finder would win).
python3 -c 'import kestrilune, os, sys; sys.exit(not kestrilune.__file__.startswith(os.environ["PYTHONPATH"]))' || {
    echo "tsan_stress.py would not load $root/$build's module"; exit 1; }
python3 "$root/scripts/tsan_stress.py" "$seconds"
