#!/usr/bin/env bash
# Installs every Debian 12 package that building, running and testing Hollowkeep needs.
# Safe to run again: apt-get only installs what is missing.
set -euo pipefail

packages=(
  # build
  build-essential cmake ninja-build pkg-config clang-format
  qt6-base-dev qt6-base-dev-tools qt6-declarative-dev qt6-declarative-dev-tools
  qt6-tools-dev-tools qt6-svg-dev qt6-5compat-dev
  qcoro-qt6-dev qtkeychain-qt6-dev libxcb1-dev
  # the volume daemon: libext2fs, FUSE 3 and OpenSSL
  libext2fs-dev libfuse3-dev libssl-dev
  # QML runtime modules
  qml6-module-qtquick qml6-module-qtquick-controls qml6-module-qtquick-layouts
  qml6-module-qtquick-window qml6-module-qtquick-templates
  qml6-module-qtqml-workerscript qml6-module-qttest
  qt6-qpa-plugins
  # the desktop's own file chooser and look where Qt's dialogs are used (GTK desktops, portals)
  qt6-gtk-platformtheme qt6-xdgdesktopportal-platformtheme
  # encryption and file systems used by the disk-image tools
  gocryptfs fuse3 fuse2fs e2fsprogs psmisc procps util-linux coreutils
  # owner authentication (polkit, with its text agent for the tests)
  polkitd
  # tests: Secret Service, D-Bus session, X server
  dbus dbus-x11 gnome-keyring libsecret-tools xvfb xdotool x11-utils openbox attr bc
  # load tests of a mounted vault, and the peer measured by the benchmark
  fio stress-ng cryfs
  # the crash-state test drives a real database
  libsqlite3-dev
  # what a desktop brings that a test could meet by accident (portals, a tray host, a file
  # manager, colour emoji): installed so that every run shows the tests pass beside them
  xdg-desktop-portal xdg-desktop-portal-gtk xfce4-panel thunar fonts-noto-color-emoji
  # checks of the files installed for the desktop
  desktop-file-utils appstream lintian
  # icons
  fonts-material-design-icons-iconfont
)

SUDO=""
if [ "$(id -u)" -ne 0 ]; then SUDO="sudo"; fi

missing=()
for p in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done

if [ ${#missing[@]} -gt 0 ]; then
  export DEBIAN_FRONTEND=noninteractive
  $SUDO apt-get update -qq
  $SUDO apt-get install -y -qq --no-install-recommends "${missing[@]}"
fi

# polkitd reads actions from this folder only: owner authentication needs ours there, also when
# the program runs from its build folder.
policy=org.hollowkeep.owner-authentication.policy
if ! cmp -s "$(dirname "$0")/../data/$policy" "/usr/share/polkit-1/actions/$policy"; then
  $SUDO install -D -m 0644 "$(dirname "$0")/../data/$policy" "/usr/share/polkit-1/actions/$policy"
fi
