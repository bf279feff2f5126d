#!/usr/bin/env bash
# Time from process start to the first frame of the main window, and resident memory then, with
# 20 vaults in the list, against the same program with an empty list, measured in this run.
#
#   bench/startup.sh [BUILD_DIR]      (best of five runs each; Xvfb when there is no display)
set -euo pipefail
build=$(cd "${1:-build}" && pwd)
source "$(dirname "$0")/common.sh"
start_display

# measure HOME_DIR -> "ms kB" of the best of five runs
measure() {
    local best_ms=999999 best_kb=0 run line ms kb
    for run in 1 2 3 4 5; do
        line=$(in_home "$1" env HOLLOWKEEP_REPORT_FIRST_FRAME=1 dbus-run-session --config-file="$session_bus" -- "$build/src/hollowkeep" 2>&1 |
            grep '^first frame')
        ms=$(echo "$line" | awk '{print $3}')
        kb=$(echo "$line" | awk '{print $6}')
        if [ "$ms" -lt "$best_ms" ]; then best_ms=$ms; best_kb=$kb; fi
    done
    echo "$best_ms $best_kb"
}

read -r empty_ms empty_kb < <(measure "$(home 0)")
read -r full_ms full_kb < <(measure "$(home 20)")
printf '%-34s %10s %14s\n' "" "first frame" "resident"
printf '%-34s %8s ms %11s MB\n' "empty list (baseline)" "$empty_ms" "$((empty_kb / 1024))"
printf '%-34s %8s ms %11s MB\n' "20 vaults" "$full_ms" "$((full_kb / 1024))"
printf 'ratio 20 vaults / empty: time %s, memory %s (aim: <= 1000 ms and <= 120 MB)\n' \
    "$(echo "scale=2; $full_ms / $empty_ms" | bc)" "$(echo "scale=2; $full_kb / $empty_kb" | bc)"
