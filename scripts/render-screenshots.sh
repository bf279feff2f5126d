#!/usr/bin/env bash
# Renders PNGs of the main window's states into docs/screenshots, light and dark (…-dark.png),
# with real vaults in a private home and keyring.
set -euo pipefail
cd "$(dirname "$0")/.."
cmake -S . -B build -G Ninja >/dev/null
cmake --build build --target render_screenshots hdiutil diskutil mdutil
for scheme in light dark; do
    QT_QPA_PLATFORM=offscreen QT_QUICK_BACKEND=software \
        tests/with-keyring.sh "$PWD/build/docs/render_screenshots" "$PWD/docs/screenshots" "$scheme"
done
