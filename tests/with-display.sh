#!/usr/bin/env bash
# Runs a command against a private X server (Xvfb) on a free display number, so that windows are
# real X11 windows with a real window system behind them.
set -eu
fifo=$(mktemp -u)
mkfifo "$fifo"
Xvfb -displayfd 5 -screen 0 1280x1024x24 -nolisten tcp 5>"$fifo" 2>/dev/null &
server=$!
trap 'kill $server 2>/dev/null; rm -f "$fifo"' EXIT
read -r display <"$fifo"
export DISPLAY=":$display" QT_QPA_PLATFORM=xcb
"$@"
