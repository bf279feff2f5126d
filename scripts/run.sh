#!/usr/bin/env bash
# Sets up the machine, builds Hollowkeep and starts it.
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/setup.sh
cmake -S . -B build -G Ninja -DCMAKE_INSTALL_PREFIX=/usr >/dev/null
cmake --build build
exec ./build/src/hollowkeep "$@"
