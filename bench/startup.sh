#!/usr/bin/env bash
# Time from process start to the first frame of the main window, and resident memory then, with
# 20 vaults in the list, against the same program with an empty list, measured in this run.
#
#   bench/startup.sh [BUILD_DIR]      (best of five runs each; Xvfb when there is no display)
set -euo pipefail
build=$(cd "${1:-build}" && pwd)
work=$(mktemp -d /var/tmp/hollowkeep-startup.XXXXXX)
trap 'rm -rf "$work"; [ -n "${xvfb:-}" ] && kill "$xvfb" 2>/dev/null || true' EXIT
if [ -z "${DISPLAY:-}" ] && command -v Xvfb >/dev/null; then
    Xvfb :97 -screen 0 1280x800x24 >/dev/null 2>&1 & xvfb=$!
    export DISPLAY=:97
    sleep 1
fi

# home COUNT -> a private home whose vault list holds COUNT vaults
home() {
    local root="$work/home-$1"
    mkdir -p "$root/config" "$root/data/Hollowkeep" "$root/runtime" "$root/vaults"
    chmod 700 "$root/runtime"
    local list="[" i
    for ((i = 0; i < $1; i++)); do
        mkdir -p "$root/vaults/Vault $i.sparsebundle"
        [ $i -gt 0 ] && list+=","
        list+="{\"id\":\"$(cat /proc/sys/kernel/random/uuid | tr a-z A-Z)\",\"name\":\"Vault $i\",\"bundlePath\":\"$root/vaults/Vault $i.sparsebundle\",\"createdAt\":786000000,\"maxSizeMB\":10240,\"openInFinderAfterUnlock\":false}"
    done
    echo "$list]" > "$root/data/Hollowkeep/vaults.json"
    echo "$root"
}

# measure HOME_DIR -> "ms kB" of the best of five runs
measure() {
    local best_ms=999999 best_kb=0 run line ms kb
    for run in 1 2 3 4 5; do
        line=$(HOME="$1" XDG_CONFIG_HOME="$1/config" XDG_DATA_HOME="$1/data" XDG_RUNTIME_DIR="$1/runtime" \
            HOLLOWKEEP_REPORT_FIRST_FRAME=1 dbus-run-session -- "$build/src/hollowkeep" 2>&1 | grep '^first frame')
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
