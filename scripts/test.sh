#!/usr/bin/env bash
# Sets up the machine, builds Hollowkeep and runs every test.
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/setup.sh
cmake -S . -B build -G Ninja -DCMAKE_INSTALL_PREFIX=/usr >/dev/null
cmake --build build
cd build
ctest --output-on-failure --timeout 900
