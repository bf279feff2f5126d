#!/usr/bin/env bash
# Runs tool tests as an ordinary user, as people run the tools. As root it creates that user, makes
# /dev/fuse usable as a desktop system has it (mode 0666), and runs copies of the tests and tools
# from a folder the user can read; as any other user it simply runs them.
#   as-ordinary-user.sh TOOLS_DIR TEST [FUNCTION…] [-- TEST [FUNCTION…]]…
set -eu
tools=$1
shift
if [ "$(id -u)" -eq 0 ]; then
    user=hollowkeep-tests
    id -u "$user" >/dev/null 2>&1 || useradd --system --no-create-home --shell /usr/sbin/nologin "$user"
    chmod 0666 /dev/fuse
    source "$(dirname "$0")/scratch-folder.sh"
    work=$scratch
    mkdir -p "$work/tools" "$work/tests" "$work/tmp"
    cp "$tools"/* "$work/tools/"
    chown "$user" "$work/tmp"
    chmod 0755 "$work" "$work/tools" "$work/tests"
fi
status=0
while [ $# -gt 0 ]; do
    test=$1; shift; functions=()
    while [ $# -gt 0 ] && [ "$1" != "--" ]; do functions+=("$1"); shift; done
    [ $# -gt 0 ] && shift
    if [ -z "${user:-}" ]; then
        HOLLOWKEEP_TOOLS_DIR=$tools "$test" "${functions[@]}" || status=1
        continue
    fi
    cp "$test" "$work/tests/"
    echo "== $(basename "$test") as $user"
    runuser -u "$user" -- env -i PATH=/usr/local/bin:/usr/bin:/bin LC_ALL=C.UTF-8 TMPDIR="$work/tmp" \
        HOME="$work/tmp" QT_QPA_PLATFORM=offscreen HOLLOWKEEP_TOOLS_DIR="$work/tools" \
        "$work/tests/$(basename "$test")" "${functions[@]}" || status=1
done
exit $status
