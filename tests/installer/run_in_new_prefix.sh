#!/bin/sh
# Runs the installer test program in a Wine prefix made anew for this run, so that the installer
# meets a machine that has never seen Quibrix. The prefix has a wineserver of its own, started
# and ended here with its output kept away from CTest's pipe.
#   run_in_new_prefix.sh <installer> <prefix> <program> [arguments...]
# Exit code 77 (a skipped test) when scripts/package has not built the installer.
set -u
installer=$1 prefix=$2
shift 2
if [ ! -f "$installer" ]; then
  echo "no $installer: scripts/package builds it"
  exit 77
fi

export WINEPREFIX="$prefix" WINEDEBUG=-all
quiet() { "$@" </dev/null >/dev/null 2>&1; }
trap 'quiet wineserver -k' EXIT
quiet wineserver -k
rm -rf "$prefix"
quiet wineserver -p
# No Mono or Gecko: their installers would wait on a dialog. Crashes print a backtrace instead
# of waiting on the crash dialog, and windows are unmanaged (Xvfb runs no window manager).
WINEDLLOVERRIDES='mscoree,mshtml=' quiet wineboot -i || { echo "wineboot failed"; exit 1; }
quiet wine reg add 'HKCU\Software\Wine\WineDbg' /v ShowCrashDialog /t REG_DWORD /d 0 /f
quiet wine reg add 'HKCU\Software\Wine\X11 Driver' /v Managed /d N /f
# A server of its own for the run: the one that made the prefix leaves Wine's service database
# locked, so RPCSS never starts and the desktop's shell cannot offer its ShellWindows object,
# through which Setup has the shell start Explorer.
quiet wineserver -k
quiet wineserver -p

rc=0
wine "$@" || rc=$?
quiet wineserver -k
trap - EXIT
[ $rc -eq 0 ] && rm -rf "$prefix"
exit $rc
