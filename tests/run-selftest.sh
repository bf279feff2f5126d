#!/usr/bin/env bash
# Runs `hollowkeep --selftest` against the real disk-image tools in a private home, and checks that
# it says "SELFTEST OK", exits 0 and leaves nothing mounted or behind.
set -u
program=$1
root=$(mktemp -d)
trap 'rm -rf "$root"' EXIT
mkdir -p "$root/home" "$root/run" "$root/tmp"
chmod 700 "$root/run"
output=$(HOME="$root/home" XDG_RUNTIME_DIR="$root/run" XDG_CONFIG_HOME="$root/home/.config" \
    XDG_DATA_HOME="$root/home/.local/share" TMPDIR="$root/tmp" "$program" --selftest)
status=$?
echo "$output"
[ "$output" = "SELFTEST OK" ] || { echo "unexpected output"; exit 1; }
[ $status -eq 0 ] || { echo "exit status $status"; exit 1; }
if grep -q "$root" /proc/self/mountinfo; then echo "left mounted:"; grep "$root" /proc/self/mountinfo; exit 1; fi
[ -z "$(ls -A "$root/tmp")" ] || { echo "left behind: $(ls -A "$root/tmp")"; exit 1; }
exit 0
