#!/usr/bin/env bash
# The X server helper of scripts/common.sh: the command gets a display that answers, its exit
# status comes back, and the server is gone afterwards on every way out (a failing command,
# and a signal to the script while the command runs).
set -uo pipefail
common=$(cd "$(dirname "$0")/../../scripts" && pwd)/common.sh
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
export BUILD_DIR=$work/build
failures=0
fail() { echo "FAIL: $*" >&2; failures=$((failures + 1)); }

# The server's socket exists exactly while it runs.
server_gone() {  # display
  local n=${1#:} i
  for i in $(seq 1 50); do
    [ -e "/tmp/.X11-unix/X$n" ] || return 0
    sleep 0.1
  done
  return 1
}

# A command that fails: its status comes back, and the server it used is stopped.
bash -c '. "$1"; quibrix_with_xvfb sh -c "echo \$DISPLAY >\"$2\"; test -S /tmp/.X11-unix/X\${DISPLAY#:} || exit 1; exit 7"' \
  _ "$common" "$work/display1"
rc=$?
[ "$rc" -eq 7 ] || fail "exit status $rc, expected 7 (1: no server socket while the command ran)"
display=$(cat "$work/display1" 2>/dev/null)
[ -n "$display" ] || fail "the command got no DISPLAY"
[ -n "$display" ] && { server_gone "$display" || fail "server $display still running after the command"; }

# The script is ended by a signal while the command runs: the server goes with it.
bash -c '. "$1"; quibrix_with_xvfb sh -c "echo \$DISPLAY >\"$2\"; kill -TERM \$PPID"; echo "not reached"' \
  _ "$common" "$work/display2" >"$work/out2"
rc=$?
[ "$rc" -eq 143 ] || fail "exit status $rc after TERM, expected 143"
grep -q "not reached" "$work/out2" && fail "the script went on after TERM"
display=$(cat "$work/display2" 2>/dev/null)
[ -n "$display" ] || fail "the command got no DISPLAY"
[ -n "$display" ] && { server_gone "$display" || fail "server $display still running after TERM"; }

[ "$failures" -eq 0 ] && echo "xvfb helper: all checks passed"
exit $((failures > 0))
