# Shared by the start-up benchmarks: a scratch folder ($work), a private display and private homes
# with vault lists. Sourced.
work=$(mktemp -d /var/tmp/hollowkeep-bench.XXXXXX)
# A session bus that starts none of the machine's services, as in the tests.
session_bus=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)/tests/data/session-bus.conf
trap 'rm -rf "$work"; [ -n "${xvfb:-}" ] && kill "$xvfb" 2>/dev/null || true' EXIT

# Starts Xvfb on :97 when there is no display.
start_display() {
    if [ -z "${DISPLAY:-}" ] && command -v Xvfb >/dev/null; then
        Xvfb :97 -screen 0 1280x800x24 >/dev/null 2>&1 & xvfb=$!
        export DISPLAY=:97
        sleep 1
    fi
}

# home COUNT -> a private home whose vault list holds COUNT vaults (empty bundle folders)
home() {
    local root="$work/home-$1"
    mkdir -p "$root/config" "$root/data/Hollowkeep" "$root/runtime" "$root/vaults"
    chmod 700 "$root/runtime"
    local list="[" i
    for ((i = 0; i < $1; i++)); do
        mkdir -p "$root/vaults/Vault $i.sparsebundle"
        [ $i -gt 0 ] && list+=","
        list+="{\"id\":\"$(tr a-z A-Z < /proc/sys/kernel/random/uuid)\",\"name\":\"Vault $i\",\"bundlePath\":\"$root/vaults/Vault $i.sparsebundle\",\"createdAt\":786000000,\"maxSizeMB\":10240,\"openInFinderAfterUnlock\":false}"
    done
    echo "$list]" > "$root/data/Hollowkeep/vaults.json"
    echo "$root"
}

# in_home HOME COMMAND… -> runs the command with HOME and the XDG folders in that home
in_home() {
    local root=$1
    shift
    HOME="$root" XDG_CONFIG_HOME="$root/config" XDG_DATA_HOME="$root/data" XDG_RUNTIME_DIR="$root/runtime" "$@"
}
