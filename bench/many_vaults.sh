#!/usr/bin/env bash
# A long vault list: first frame, CPU time in the first 10 seconds and the time a SIGTERM takes to
# end the program, with 1,000 vaults against 20, measured in this run.
#
#   bench/many_vaults.sh [BUILD_DIR]      (Xvfb when there is no display)
set -euo pipefail
build=$(cd "${1:-build}" && pwd)
source "$(dirname "$0")/common.sh"
start_display
ticks=$(getconf CLK_TCK)

# measure HOME_DIR -> "first-frame-ms cpu-ms-in-10s quit-ms"
measure() {
    local frame pid session cpu start quit
    frame=$(in_home "$1" env HOLLOWKEEP_REPORT_FIRST_FRAME=1 dbus-run-session --config-file="$session_bus" -- "$build/src/hollowkeep" 2>&1 |
        awk '/^first frame/ {print $3}')
    in_home "$1" dbus-run-session --config-file="$session_bus" -- "$build/src/hollowkeep" >/dev/null 2>&1 &
    session=$!
    for _ in $(seq 100); do
        pid=$(pgrep -n -f "^$build/src/hollowkeep" || true)
        [ -n "$pid" ] && break
        sleep 0.05
    done
    sleep 10
    cpu=$(awk -v t="$ticks" '{print int(($14 + $15) * 1000 / t)}' "/proc/$pid/stat")
    start=$(date +%s%N)
    kill -TERM "$pid"
    while kill -0 "$pid" 2>/dev/null; do
        if [ $(( ($(date +%s%N) - start) / 1000000 )) -gt 30000 ]; then kill -KILL "$pid"; break; fi
        sleep 0.02
    done
    quit=$(( ($(date +%s%N) - start) / 1000000 ))
    wait "$session" 2>/dev/null || true
    echo "$frame $cpu $quit"
}

read -r few_frame few_cpu few_quit < <(measure "$(home 20)")
read -r many_frame many_cpu many_quit < <(measure "$(home 1000)")
printf '%-26s %12s %16s %12s\n' "" "first frame" "CPU in 10 s" "SIGTERM"
printf '%-26s %9s ms %13s ms %9s ms\n' "20 vaults (baseline)" "$few_frame" "$few_cpu" "$few_quit"
printf '%-26s %9s ms %13s ms %9s ms\n' "1,000 vaults" "$many_frame" "$many_cpu" "$many_quit"
printf 'ratio 1,000 / 20: first frame %s, CPU %s (aim: CPU <= 3000 ms, quits on SIGTERM)\n' \
    "$(echo "scale=2; $many_frame / $few_frame" | bc)" "$(echo "scale=2; $many_cpu / ($few_cpu + 1)" | bc)"
