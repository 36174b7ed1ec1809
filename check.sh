#!/usr/bin/env bash
# Installs what the project needs, builds everything and runs every test.
set -euo pipefail
cd "$(dirname "$0")"
source .ci/deps.sh
install_deps
# Style is a check: a file that clang-format would change fails the run before anything is built.
git ls-files -z '*.cpp' '*.h' | xargs -0 clang-format --dry-run -Werror
# Every include names its folder from the top ("ftp/NMFtp.h"): a relative one ("../shell/Main.h") would reach past
# the layers, so it fails the run.
if git grep -nE '#include "\.\.?/' -- '*.cpp' '*.h'; then
    echo "check.sh: relative includes (above) reach past the layers; include by folder from the top" >&2
    exit 1
fi
build_all
ctest --test-dir build --output-on-failure --timeout 300 -j2
