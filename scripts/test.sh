#!/usr/bin/env bash
# Sets up the machine, builds Hollowkeep and runs every test.
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/setup.sh
cmake -S . -B build -G Ninja -DCMAKE_INSTALL_PREFIX=/usr -DHOLLOWKEEP_WERROR=ON >/dev/null
cmake --build build
(cd build && ctest --output-on-failure --timeout 900)
# The disk-image tools and the volume daemon once more, built with AddressSanitizer and UBSan,
# under their own tests: any report fails the run.
cmake -S . -B build-sanitized -G Ninja -DHOLLOWKEEP_SANITIZE=ON -DHOLLOWKEEP_WERROR=ON >/dev/null
cmake --build build-sanitized --target sanitized-tests
rm -rf build-sanitized/sanitizer
(cd build-sanitized && ctest -L sanitized --output-on-failure --timeout 900)
