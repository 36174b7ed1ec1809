#!/usr/bin/env bash
# Installs what the project needs, builds everything and runs every test.
set -euo pipefail
cd "$(dirname "$0")"
source .ci/deps.sh
install_deps
build_all
ctest --test-dir build --output-on-failure --timeout 300 -j2
