#!/usr/bin/env bash
# Builds the Debian package, installs it on this machine with its dependencies, and checks the
# installed program as a desktop meets it: the self-test with the installed tools, the desktop
# entries and the AppStream file, the polkit action where polkitd reads it, the window on an X
# server, and lintian. Removes the package again at the end. Needs root (as in CI).
#   package-check.sh BUILD_DIR
set -euo pipefail
build=$(cd "$1" && pwd)
here=$(cd "$(dirname "$0")" && pwd)
cmake --build "$build" --target package >/dev/null
deb=$(ls "$build"/hollowkeep_*.deb | head -n 1)
echo "package: $deb"

work=$(mktemp -d)
cleanup() {
    [ -n "${app:-}" ] && kill "$app" 2>/dev/null
    apt-get purge -y -qq hollowkeep >/dev/null 2>&1 || true
    rm -rf "$work"
}
trap cleanup EXIT

DEBIAN_FRONTEND=noninteractive apt-get install -y -qq "$deb" >/dev/null
prefix=$(dirname "$(dirname "$(dpkg -L hollowkeep | grep '/bin/hollowkeep$')")")
echo "installed under $prefix"

lintian --fail-on error --suppress-tags-from-file /dev/null "$deb" | tee "$work/lintian.txt" || {
    echo "lintian reports errors" >&2
    exit 1
}

export HOME="$work/home" XDG_CONFIG_HOME="$work/home/.config" XDG_DATA_HOME="$work/home/.local/share"
export XDG_RUNTIME_DIR="$work/runtime" HOLLOWKEEP_UPDATE_SERVER=http://127.0.0.1:9
mkdir -p "$HOME" "$XDG_RUNTIME_DIR"
chmod 0700 "$XDG_RUNTIME_DIR"

out=$(TMPDIR="$work" "$prefix/bin/hollowkeep" --selftest)
echo "$out" | tail -n 1
[ "$(echo "$out" | tail -n 1)" = "SELFTEST OK" ]

desktop-file-validate "$prefix"/share/applications/org.hollowkeep.Hollowkeep*.desktop
appstreamcli validate --no-net "$prefix/share/metainfo/org.hollowkeep.Hollowkeep.metainfo.xml"
for size in 16 48 256; do
    test -s "$prefix/share/icons/hicolor/${size}x${size}/apps/org.hollowkeep.Hollowkeep.png"
done

policy=/usr/share/polkit-1/actions/org.hollowkeep.owner-authentication.policy
dpkg -L hollowkeep | grep -qx "$policy"
cp "$policy" "$work/policy"
printf '#!/bin/sh\npkaction --action-id org.hollowkeep.owner-authentication\n' > "$work/pkaction-check"
chmod 0755 "$work/pkaction-check"
"$here/with-polkit.sh" "$work/policy" "$work/pkaction-check"

# The installed program opens its window on a real X server; a second start only shows it, and
# the command line reaches it.
cat > "$work/window-check" <<CHECK
#!/bin/sh
set -eu
shown() {
    for _ in \$(seq 200); do
        xwininfo -root -tree | grep -q "\"\$1\": (\"hollowkeep\"" && break
        sleep 0.1
    done
    xwininfo -root -tree | grep "\"\$1\": (\"hollowkeep\""
}
"$prefix/bin/hollowkeep" &
app=\$!
shown Hollowkeep
"$prefix/bin/hollowkeep" --settings
shown Settings
# A file handed over by a second process opens Add to Vault in the first.
echo note > "\$HOME/note.txt"
"$prefix/bin/hollowkeep" --add-to-vault "\$HOME/note.txt"
shown "Add to Vault"
"$prefix/bin/hollowkeep" list
kill \$app
wait \$app || true
CHECK
chmod 0755 "$work/window-check"
"$here/with-keyring.sh" "$here/with-display.sh" "$work/window-check"
echo "PACKAGE OK"
