#!/usr/bin/env bash
# Runs a test against a real polkitd as an ordinary user, as people meet owner authentication.
# As root it installs the program's polkit action where polkitd reads it, creates the user (whose
# login password the test types into pkttyagent) and, when no system bus runs, starts one at its
# usual address with a polkitd on it: setuid helpers such as polkit's ignore any other address.
#   with-polkit.sh POLICY_FILE TEST
set -eu
policy=$1
test=$2
if [ "$(id -u)" -ne 0 ]; then
    echo "with-polkit.sh needs root (as in CI): it creates the user whose password the test types" >&2
    exit 1
fi

user=hollowkeep-auth
password=owner-pass # the test types the same
id -u "$user" >/dev/null 2>&1 || useradd --no-create-home --shell /bin/sh "$user"
echo "$user:$password" | chpasswd
install -D -m 0644 "$policy" /usr/share/polkit-1/actions/"$(basename "$policy")"

work=$(mktemp -d)
bus_pid= polkit_pid=
cleanup() {
    [ -n "$polkit_pid" ] && kill "$polkit_pid" 2>/dev/null
    if [ -n "$bus_pid" ]; then kill "$bus_pid" 2>/dev/null; rm -f /run/dbus/system_bus_socket; fi
    rm -rf "$work"
}
trap cleanup EXIT
socket=/run/dbus/system_bus_socket
if ! dbus-send --system --print-reply --dest=org.freedesktop.DBus / org.freedesktop.DBus.GetId >/dev/null 2>&1; then
    mkdir -p /run/dbus
    rm -f "$socket"
    cat > "$work/bus.conf" <<CONF
<!DOCTYPE busconfig PUBLIC "-//freedesktop//DTD D-Bus Bus Configuration 1.0//EN"
 "http://www.freedesktop.org/standards/dbus/1.0/busconfig.dtd">
<busconfig>
  <type>system</type>
  <listen>unix:path=$socket</listen>
  <auth>EXTERNAL</auth>
  <policy context="default">
    <allow user="*"/>
    <allow own="*"/>
    <allow send_destination="*"/>
    <allow receive_sender="*"/>
  </policy>
</busconfig>
CONF
    bus_pid=$(dbus-daemon --config-file="$work/bus.conf" --fork --print-pid)
fi
if ! dbus-send --system --print-reply --dest=org.freedesktop.DBus / org.freedesktop.DBus.NameHasOwner \
        string:org.freedesktop.PolicyKit1 2>/dev/null | grep -q true; then
    /usr/lib/polkit-1/polkitd --no-debug >/dev/null 2>&1 &
    polkit_pid=$!
    for _ in $(seq 100); do
        pkaction --action-id org.hollowkeep.owner-authentication >/dev/null 2>&1 && break
        sleep 0.05
    done
fi
mkdir -p "$work/home"
chown "$user" "$work/home"
chmod 0755 "$work"
cp "$test" "$work/"
runuser -u "$user" -- env -i PATH=/usr/local/bin:/usr/bin:/bin LC_ALL=C.UTF-8 HOME="$work/home" \
    TMPDIR="$work/home" QT_QPA_PLATFORM=offscreen "$work/$(basename "$test")"
