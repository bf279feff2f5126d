# Sourced by the test wrappers: a scratch folder in $scratch, removed when the wrapper exits. A
# program that died with a vault open leaves its mounts below it: they are ended first (deepest
# first), so that nothing outlives the run.
scratch=$(mktemp -d)
remove_scratch() {
    awk '{print $5}' /proc/self/mountinfo | grep "^$scratch/" | sort -r | while read -r mount; do
        fusermount3 -uz "$(printf '%b' "$mount")" 2>/dev/null || umount -l "$(printf '%b' "$mount")" 2>/dev/null || true
    done
    # What went meanwhile is no failure of the run.
    rm -rf "$scratch" 2>/dev/null || true
}
trap remove_scratch EXIT
