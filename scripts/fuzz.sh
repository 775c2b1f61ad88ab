#!/usr/bin/env bash
# Builds the libFuzzer harnesses of fuzz/ (clang, with AddressSanitizer and
# UndefinedBehaviorSanitizer) and runs each for a given time on its corpus.
#
#   bash scripts/fuzz.sh [SECONDS_PER_HARNESS [HARNESS...]]    (default: 60 s, every harness)
#   bash scripts/fuzz.sh 600 one_tree tree_set
#
# Each harness starts from the seeds in fuzz/corpus/<harness>/ plus what earlier runs found
# (build/fuzz-corpus/<harness>/, which grows; the committed seeds stay as they are). An
# input that crashes, fails a check or runs too long is written to build/fuzz-findings/ (with
# the run's log) and the script stops with its status; rerun one with
# build/fuzz/<harness>_fuzz FILE.
# Needs clang-14 and libclang-rt-14-dev (Debian), CMake and ninja or make.
set -euo pipefail
cd "$(dirname "$0")/.."
seconds="${1:-60}"
shift || true
cxx="${KESTRILUNE_FUZZ_CXX:-clang++-14}"

generator=()
command -v ninja >/dev/null && generator=(-G Ninja)
CXX="$cxx" cmake -S . -B build/fuzz "${generator[@]}" -DCMAKE_BUILD_TYPE=RelWithDebInfo \
    -DKESTRILUNE_FUZZ=ON -DKESTRILUNE_SANITIZE=ON -DKESTRILUNE_BUILD_MODULE=OFF >/dev/null
cmake --build build/fuzz -j "$(nproc)"

harnesses=("$@")
if [ ${#harnesses[@]} -eq 0 ]; then
    for file in fuzz/*_fuzz.cpp; do
        name=$(basename "$file" _fuzz.cpp)
        harnesses+=("$name")
    done
fi

export UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1
mkdir -p build/fuzz-findings
for name in "${harnesses[@]}"; do
    corpus="build/fuzz-corpus/$name"
    mkdir -p "$corpus"
    # The tree-text harnesses start with the tokens of tree files in their dictionary.
    dict=()
    case "$name" in one_tree | tree_set) dict=(-dict=fuzz/newick.dict) ;; esac
    echo "fuzz: $name for ${seconds} s"
    # -timeout: an input taking over 10 s is a finding (the trees are at most a few KB);
    # -rss_limit_mb: the machine is shared, and no small input should need more.
    set +e
    "build/fuzz/${name}_fuzz" "$corpus" "fuzz/corpus/$name" -max_total_time="$seconds" \
        -timeout=10 -rss_limit_mb=2048 -print_final_stats=1 "${dict[@]}" \
        -artifact_prefix="build/fuzz-findings/${name}-" >"build/fuzz-findings/${name}.log" 2>&1
    status=$?
    set -e
    grep -E '^#[0-9]+[[:space:]]+DONE|^stat::(number_of_executed_units|peak_rss_mb)' \
        "build/fuzz-findings/${name}.log" || true
    if [ "$status" -ne 0 ]; then
        tail -n 60 "build/fuzz-findings/${name}.log"
        echo "fuzz: $name stopped with status $status; the input is in build/fuzz-findings/"
        exit "$status"
    fi
done
