#!/usr/bin/env bash
# Runs a command inside a private D-Bus session that has its own unlocked GNOME Keyring, with HOME
# and the XDG folders in a temporary folder: tests never see the real home or keyring. The bus
# starts none of the machine's services (tests/data/session-bus.conf).
set -eu
source "$(dirname "$0")/scratch-folder.sh"
root=$scratch
mkdir -p "$root/home" "$root/config" "$root/data" "$root/runtime" "$root/cache"
chmod 700 "$root/runtime"
export HOME="$root/home" XDG_CONFIG_HOME="$root/config" XDG_DATA_HOME="$root/data" \
    XDG_RUNTIME_DIR="$root/runtime" XDG_CACHE_HOME="$root/cache" \
    HOLLOWKEEP_UPDATE_SERVER="${HOLLOWKEEP_UPDATE_SERVER:-http://127.0.0.1:9}"
dbus-run-session --config-file="$(dirname "$0")/data/session-bus.conf" -- sh -c 'printf keyring-pass | gnome-keyring-daemon --unlock --components=secrets >/dev/null 2>&1; "$@"' sh "$@"
