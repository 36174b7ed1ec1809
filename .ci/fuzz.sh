#!/usr/bin/env bash
# Bounded libFuzzer runs: the fuzz targets built with Clang (with AddressSanitizer and UndefinedBehaviorSanitizer),
# each run for FUZZ_SECONDS (30 by default) from its seed corpus in fuzz/corpus/<target>/. A crash, a sanitizer
# report, a leak or an input that takes longer than FUZZ_INPUT_TIMEOUT seconds fails the run; the input that did it
# is left in build-fuzz/artifacts/.
set -euo pipefail
cd "$(dirname "$0")/.."
source .ci/deps.sh
install_deps

build=build-fuzz
seconds="${FUZZ_SECONDS:-30}"
launcher=()
command -v ccache >/dev/null && launcher=(-DCMAKE_CXX_COMPILER_LAUNCHER=ccache)
cmake -S . -B "$build" -DCMAKE_CXX_COMPILER=clang++ -DCMAKE_BUILD_TYPE=RelWithDebInfo -DKOLVANE_SANITIZE=ON \
    -DKOLVANE_FUZZ=ON "${launcher[@]}"

# Every corpus folder names a target; a target without seeds is a mistake, so is a folder without a target.
targets=()
for corpus in fuzz/corpus/*/; do
    targets+=("$(basename "$corpus")")
done
cmake --build "$build" -j"$(nproc)" --target "${targets[@]}"

symbolizer="$(command -v llvm-symbolizer || command -v llvm-symbolizer-14 || true)"
export ASAN_SYMBOLIZER_PATH="$symbolizer"
export ASAN_OPTIONS="detect_leaks=1:abort_on_error=1"
export UBSAN_OPTIONS="print_stacktrace=1:halt_on_error=1"
export LSAN_OPTIONS="suppressions=$PWD/.ci/lsan.supp:print_suppressions=0"
export QT_QPA_PLATFORM=offscreen

mkdir -p "$build/artifacts"
failed=()
for target in "${targets[@]}"; do
    # New inputs go to a working corpus in the build folder; the seeds in the tree are only read.
    work="$build/corpus/$target"
    mkdir -p "$work"
    echo "== $target: ${seconds}s"
    if ! "$build/fuzz/$target" -max_total_time="$seconds" -timeout="${FUZZ_INPUT_TIMEOUT:-10}" -rss_limit_mb=2048 \
        -max_len=8192 -print_final_stats=1 -artifact_prefix="$build/artifacts/$target-" \
        "$work" "fuzz/corpus/$target" 2>"$build/$target.log"; then
        tail -n 60 "$build/$target.log"
        failed+=("$target")
    else
        grep -E '^stat::number_of_executed_units|^stat::new_units_added' "$build/$target.log" || true
    fi
done
if [ ${#failed[@]} -gt 0 ]; then
    echo "Fuzzing found faults in: ${failed[*]} (inputs in $build/artifacts/)"
    exit 1
fi
echo "Fuzzing: ${#targets[@]} targets ran ${seconds}s each without a fault"
