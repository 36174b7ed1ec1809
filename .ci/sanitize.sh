#!/usr/bin/env bash
# The sanitizer run: everything built with Clang under AddressSanitizer (leak checking included) and
# UndefinedBehaviorSanitizer, then the whole test suite. Any report fails the run, whether it comes from a test
# executable or from a program a test starts (the stand-in daemon, kolvane-site): every process writes its reports
# to one folder, and the run fails when that folder is not empty at the end.
set -euo pipefail
cd "$(dirname "$0")/.."
source .ci/deps.sh
install_deps

build=build-asan
launcher=()
command -v ccache >/dev/null && launcher=(-DCMAKE_CXX_COMPILER_LAUNCHER=ccache)
cmake -S . -B "$build" -DCMAKE_CXX_COMPILER=clang++ -DCMAKE_BUILD_TYPE=RelWithDebInfo -DKOLVANE_SANITIZE=ON -DKOLVANE_WERROR=ON \
    "${launcher[@]}"
cmake --build "$build" -j"$(nproc)"

reports="$PWD/$build/sanitizer-reports"
rm -rf "$reports"
mkdir -p "$reports"
symbolizer="$(command -v llvm-symbolizer || command -v llvm-symbolizer-14 || true)"
export ASAN_SYMBOLIZER_PATH="$symbolizer"
export ASAN_OPTIONS="detect_leaks=1:halt_on_error=1:abort_on_error=1:detect_stack_use_after_return=1:check_initialization_order=1:strict_init_order=1:log_path=$reports/report"
export UBSAN_OPTIONS="print_stacktrace=1:halt_on_error=1:log_path=$reports/report"
# Only other libraries' own leaks are suppressed; the file says why each one is not ours.
export LSAN_OPTIONS="suppressions=$PWD/.ci/lsan.supp:print_suppressions=0"

status=0
ctest --test-dir "$build" --output-on-failure --timeout 600 -j2 || status=$?
if compgen -G "$reports/*" >/dev/null; then
    echo "Sanitizer reports:"
    for report in "$reports"/*; do
        echo "==== $report"
        cat "$report"
    done
    status=1
fi
exit "$status"
