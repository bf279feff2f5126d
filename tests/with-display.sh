#!/usr/bin/env bash
# Runs a command against a private X server (Xvfb) on a free display number with a real window
# manager (openbox), so that windows are real X11 windows that take focus and stack as on a desktop.
set -eu
fifo=$(mktemp -u)
mkfifo "$fifo"
Xvfb -displayfd 5 -screen 0 1280x1024x24 -nolisten tcp 5>"$fifo" 2>/dev/null &
server=$!
trap 'kill $manager $server 2>/dev/null; rm -f "$fifo"' EXIT
read -r display <"$fifo"
export DISPLAY=":$display" QT_QPA_PLATFORM=xcb
manager=
openbox --sm-disable >/dev/null 2>&1 &
manager=$!
for _ in $(seq 100); do
    xprop -root _NET_SUPPORTING_WM_CHECK 2>/dev/null | grep -q "window id" && break
    sleep 0.05
done
"$@"
