#!/usr/bin/env bash
# End to end in a real terminal: the window on the virtual board, driven with keys through tmux.
# Speed menu -> 9600, Count dialog, Start, the table, a grayed item refused, Stop, the summary box,
# Exit; the program must end with 0.
set -u
zentrel=$1
if ! command -v tmux >/dev/null; then
    echo "tmux not installed: skipped"
    exit 77
fi
session="zt-e2e-$$"
out=$(mktemp -d)
export TMUX_TMPDIR=$out  # a private server: nothing shared with other sessions
trap 'tmux kill-server 2>/dev/null; rm -rf "$out"' EXIT
fail() {
    echo "FAIL: $1"
    echo "---- screen ----"
    tmux capture-pane -p -t "$session" 2>/dev/null
    exit 1
}
# Waits up to 10 s until the screen shows the text (fixed string).
wait_for() {
    for _ in $(seq 100); do
        tmux capture-pane -p -t "$session" 2>/dev/null | grep -qF -- "$1" && return 0
        sleep 0.1
    done
    fail "screen never showed '$1'"
}
wait_gone() {
    for _ in $(seq 100); do
        tmux capture-pane -p -t "$session" 2>/dev/null | grep -qF -- "$1" || return 0
        sleep 0.1
    done
    fail "screen kept showing '$1'"
}

tmux new-session -d -s "$session" -x 100 -y 30 "TERM=xterm-256color $zentrel --virtual -n 2; echo \"EXIT=\$?\"; sleep 60"
wait_for "Zentrel - Serial I/O Performance Analyzer"
wait_for "COM3...COM4   115200   Xon/Xoff"

# The About box ignores Escape; Enter (OK) closes it.
tmux send-keys -t "$session" M-f
wait_for "About"
tmux send-keys -t "$session" a
wait_for "Copyright (C) 1996 Zentrel Labs"
tmux send-keys -t "$session" Escape
sleep 0.3
wait_for "Copyright (C) 1996 Zentrel Labs"
tmux send-keys -t "$session" Enter
wait_gone "Copyright (C) 1996 Zentrel Labs"

tmux send-keys -t "$session" F10
wait_for "About"
tmux send-keys -t "$session" Right Right Right
wait_for "921600"
tmux send-keys -t "$session" Enter  # the first item: 9600
wait_for "COM3...COM4   9600   Xon/Xoff"

# The Count dialog: a non-number keeps it open, Enter takes the number.
tmux send-keys -t "$session" M-p
wait_for "Count"
tmux send-keys -t "$session" c
wait_for "Count of ComPorts"
tmux send-keys -t "$session" BSpace x Enter
sleep 0.3
wait_for "Count of ComPorts"
tmux send-keys -t "$session" BSpace 3 Enter
wait_gone "Count of ComPorts"
wait_for "COM3...COM5   9600   Xon/Xoff"

tmux send-keys -t "$session" M-r
wait_for "Start"
tmux send-keys -t "$session" Enter
wait_for "Analyzer - Running"
wait_for "Port        Xmit        Rcv         Errs        Rate        TxQueue"
wait_for "COM5        "

# Grayed while running: choosing 19200 is refused and the menu stays open until Escape.
tmux send-keys -t "$session" M-s
wait_for "921600"
tmux send-keys -t "$session" Down Enter
sleep 0.3
tmux send-keys -t "$session" Escape
wait_gone "921600"
wait_for "COM3...COM5   9600   Xon/Xoff"

tmux send-keys -t "$session" M-r
wait_for "Stop"
tmux send-keys -t "$session" Down Enter
wait_for "Average cps:"
screen=$(tmux capture-pane -p -t "$session")
grep -q "Data errors:   0" <<<"$screen" || fail "summary shows no data errors"
grep -q "Analyzer - Running" <<<"$screen" && fail "title still running after Stop"
tmux send-keys -t "$session" Enter
wait_gone "Average cps:"
wait_gone "Port        Xmit"

tmux send-keys -t "$session" M-f
wait_for "Exit"
tmux send-keys -t "$session" e
wait_for "EXIT=0"
tmux kill-session -t "$session"

# A terminal below 80 x 24 gets a clear message; growing it brings the window back. SIGTERM during a
# run ends the program as closing the window does: no summary, exit code 0.
tmux new-session -d -s "$session" -x 70 -y 20 "TERM=xterm-256color $zentrel --virtual -n 1; echo \"EXIT=\$?\"; sleep 60"
wait_for "needs a terminal of at least 80 x 24"
tmux resize-window -t "$session" -x 100 -y 30
wait_for "COM3...COM3   115200   Xon/Xoff"
tmux send-keys -t "$session" M-r
wait_for "Start"
tmux send-keys -t "$session" Enter
wait_for "COM3        "
shell_pid=$(tmux list-panes -t "$session" -F '#{pane_pid}')
zt_pid=$(pgrep -P "$shell_pid" -x zentrel)
[ -n "$zt_pid" ] || fail "no zentrel process under the pane's shell"
kill -TERM "$zt_pid"
wait_for "EXIT=0"
tmux capture-pane -p -t "$session" | grep -q "Average cps" && fail "SIGTERM showed a summary"
echo "ok"
