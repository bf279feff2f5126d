#!/usr/bin/env bash
# Runs a command inside a private D-Bus session that has its own unlocked GNOME Keyring, with HOME
# and the XDG folders in a temporary folder: tests never see the real home or keyring.
set -eu
root=$(mktemp -d)
# A program that died with a vault open leaves its mounts below the folder: end them (deepest
# first) before removing it, so that nothing outlives the run.
cleanup() {
    awk '{print $5}' /proc/self/mountinfo | grep "^$root/" | sort -r | while read -r mount; do
        fusermount3 -uz "$(printf '%b' "$mount")" 2>/dev/null || umount -l "$(printf '%b' "$mount")"
    done
    rm -rf "$root"
}
trap cleanup EXIT
mkdir -p "$root/home" "$root/config" "$root/data" "$root/runtime" "$root/cache"
chmod 700 "$root/runtime"
export HOME="$root/home" XDG_CONFIG_HOME="$root/config" XDG_DATA_HOME="$root/data" \
    XDG_RUNTIME_DIR="$root/runtime" XDG_CACHE_HOME="$root/cache"
dbus-run-session -- sh -c 'printf keyring-pass | gnome-keyring-daemon --unlock --components=secrets >/dev/null 2>&1; "$@"' sh "$@"
