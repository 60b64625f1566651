# Sourced by tools/test, tools/run and the installer test: a Wine prefix
# and, when asked for, an Xvfb display that belong to this run, and one
# wineserver for all of it. Everything started here is stopped by
# vnk_wine_stop.

# Debian keeps the loaders off PATH: wine64 for a 64-bit prefix, and the
# 32-bit loader of wine32:i386 for a 32-bit one.
VNK_WINE=/usr/lib/wine/wine64
VNK_WINESERVER=/usr/lib/wine/wineserver64
[ -x "$VNK_WINESERVER" ] || VNK_WINESERVER=/usr/lib/wine/wineserver

# $1: "virtual" to bring up an own Xvfb display, whose windows are not
# managed; "managed" to use $DISPLAY and leave its window manager in
# charge (a user's desktop); anything else: use $DISPLAY, unmanaged.
# $2: the prefix's kind, win64 (the default) or win32.
vnk_wine_start() {
  export WINEARCH=${2:-win64}
  case "$WINEARCH" in
    win64) VNK_WINE=/usr/lib/wine/wine64 ;;
    win32) VNK_WINE=/usr/lib/wine/wine ;;
    *) echo "vnk_wine_start: unknown prefix kind $WINEARCH" >&2; return 1 ;;
  esac
  VNK_RUN_DIR=$(mktemp -d /tmp/varnokd-run.XXXXXX)
  export WINEPREFIX="$VNK_RUN_DIR/prefix"
  export WINEDEBUG=${WINEDEBUG:--all}
  export WINEDLLOVERRIDES="mscoree,mshtml,winemenubuilder.exe="
  VNK_XVFB_PID=""
  if [ "${1:-}" = virtual ]; then
    local n=90
    while [ -e "/tmp/.X$n-lock" ] || [ -e "/tmp/.X11-unix/X$n" ]; do n=$((n + 1)); done
    Xvfb ":$n" -screen 0 1280x1024x24 -nolisten tcp >"$VNK_RUN_DIR/xvfb.log" 2>&1 </dev/null &
    VNK_XVFB_PID=$!
    export DISPLAY=":$n"
    for _ in $(seq 100); do [ -e "/tmp/.X11-unix/X$n" ] && break; sleep 0.1; done
  fi
  # One persistent wineserver for the whole run; the prefix is made with
  # every helper process (services, explorer, winedevice) detached from our
  # output, so that they never hold a pipe of ctest open.
  mkdir -p "$WINEPREFIX"
  "$VNK_WINESERVER" -p >/dev/null 2>&1 </dev/null || true
  vnk_wine_boot
  if [ "${1:-}" != managed ]; then
    # Windows not managed by an X window manager: there is none on Xvfb,
    # and a managed window's destruction waits two seconds for one to
    # answer.
    setsid "$VNK_WINE" reg add 'HKCU\Software\Wine\X11 Driver' /v Managed /d N /f \
      >>"$VNK_RUN_DIR/wineboot.log" 2>&1 </dev/null || true
    # The programs wineboot started (explorer.exe with the notification
    # area among them) read the setting before it was made: they go, and
    # come back with it, detached as before. Otherwise every tray icon's
    # removal waits the two seconds in explorer.exe.
    vnk_wine_reboot
  fi
  vnk_wine_desktop
}

# Every program of the prefix ends, and Wine comes up again (services,
# drivers whose start is automatic, the notification area's explorer), all
# detached from our output as above.
vnk_wine_reboot() {
  "$VNK_WINESERVER" -k >/dev/null 2>&1 </dev/null || true
  "$VNK_WINESERVER" -w >/dev/null 2>&1 </dev/null || true
  "$VNK_WINESERVER" -p >/dev/null 2>&1 </dev/null || true
  vnk_wine_boot
}

# The first program of a wineserver runs `wineboot --init` itself and
# waits for it (making the prefix if there is none). A `wineboot -i` of our
# own as that first program would boot a second time, with a second
# services.exe that answers every other service request from a database of
# its own: a driver's service would seem to stop and start at random.
vnk_wine_boot() {
  setsid "$VNK_WINE" cmd.exe /c exit >>"$VNK_RUN_DIR/wineboot.log" 2>&1 </dev/null || true
}

vnk_wine_desktop() {
  setsid "$VNK_WINE" explorer.exe /desktop >>"$VNK_RUN_DIR/wineboot.log" 2>&1 </dev/null &
  # A program that needs the desktop before it is up starts a second one,
  # which leaves again at once.
  sleep 1
}

# For a script that runs inside a run that vnk_wine_start began (a test
# that ctest starts, with WINEPREFIX and WINEARCH in its environment): the
# loader of that prefix's kind and the run's folder.
vnk_wine_attach() {
  [ -n "${WINEPREFIX:-}" ] || { echo "vnk_wine_attach: no WINEPREFIX" >&2; return 1; }
  case "${WINEARCH:-win64}" in
    win32) VNK_WINE=/usr/lib/wine/wine ;;
    *) VNK_WINE=/usr/lib/wine/wine64 ;;
  esac
  VNK_RUN_DIR=${VNK_RUN_DIR:-$(dirname "$WINEPREFIX")}
}

# A restart of Wine in the same prefix, display and desktop: after a crash
# of a kernel driver, whose winedevice.exe takes every later device call
# down with it.
vnk_wine_restart() {
  vnk_wine_reboot
  vnk_wine_desktop
}

# --- The test driver (tests/driver) ------------------------------------------
VNK_DRIVER_SERVICE=VarnokTestDrv

vnk_sc() { setsid "$VNK_WINE" sc "$@" >>"$VNK_RUN_DIR/driver.log" 2>&1 </dev/null; }

# $1: the driver image (VarnokTestDrv.sys of the prefix's kind). Puts it in
# the prefix's drivers folder, makes its service start with Wine, and
# restarts Wine. (Wine 8's `sc start` of a kernel driver on demand times
# out here, 1053 or 1055, while the same driver loads in about 0.1 s when
# Wine starts it as an automatic one.) Fails unless its host then runs.
vnk_driver_start() {
  local drivers="$WINEPREFIX/drive_c/windows/system32/drivers"
  mkdir -p "$drivers" && cp "$1" "$drivers/$VNK_DRIVER_SERVICE.sys" || return 1
  if [ -n "$(vnk_driver_state)" ]; then
    vnk_sc config "$VNK_DRIVER_SERVICE" start= auto || return 1
  else
    vnk_sc create "$VNK_DRIVER_SERVICE" type= kernel start= auto \
      binPath= "C:\\windows\\system32\\drivers\\$VNK_DRIVER_SERVICE.sys" || return 1
  fi
  vnk_wine_restart
  vnk_wait_until 20 vnk_driver_alive || {
    echo "vnk_driver_start: the driver did not start (see $VNK_RUN_DIR/driver.log)" >&2
    return 1
  }
}

# The driver's host lives: the service says the driver runs, and a
# winedevice.exe of this prefix is there.
vnk_driver_alive() {
  [ "$(vnk_driver_state)" = RUNNING ] || return 1
  [ -n "$(vnk_winedevice_pids)" ]
}

# The service's state as sc tells it (RUNNING, STOPPED, ...); nothing when
# there is no such service. Its answer goes through a file: a program that
# sc may start (services.exe) must not hold a pipe of ours.
vnk_driver_state() {
  local answer="$VNK_RUN_DIR/sc-query.txt"
  setsid "$VNK_WINE" sc query "$VNK_DRIVER_SERVICE" >"$answer" 2>&1 </dev/null || return 0
  sed -n 's/^ *STATE *: *[0-9]* *\([A-Z_]*\).*/\1/p' "$answer" | head -n 1
}

# The winedevice.exe processes of this prefix.
vnk_winedevice_pids() {
  local p
  for p in /proc/[0-9]*; do
    grep -qa 'winedevice.exe' "$p/cmdline" 2>/dev/null || continue
    grep -qaz "^WINEPREFIX=$WINEPREFIX\$" "$p/environ" 2>/dev/null || continue
    echo "${p#/proc/}"
  done
}

# Stops the driver (its unload runs) and removes its service. It is made
# a driver on demand first: Wine brings an automatic one back at once.
vnk_driver_stop() {
  vnk_sc config "$VNK_DRIVER_SERVICE" start= demand || true
  vnk_sc stop "$VNK_DRIVER_SERVICE" || true
  vnk_wait_until 10 vnk_driver_stopped || echo "vnk_driver_stop: the driver did not stop" >&2
  vnk_sc delete "$VNK_DRIVER_SERVICE" || true
}

vnk_driver_stopped() {
  local state
  state=$(vnk_driver_state)
  [ -z "$state" ] || [ "$state" = STOPPED ]
}

# Bounded polling: up to $1 seconds for the rest of the line to succeed.
vnk_wait_until() {
  local seconds=$1
  shift
  for _ in $(seq $((seconds * 5))); do
    "$@" && return 0
    sleep 0.2
  done
  return 1
}

# Process $1 is running, and not merely waiting for its parent to collect
# its exit.
vnk_alive() {
  local stat
  stat=$(cat "/proc/$1/stat" 2>/dev/null) || return 1
  stat=${stat##*) }
  [ "${stat%% *}" != Z ]
}

vnk_wine_stop() {
  [ -n "${WINEPREFIX:-}" ] && "$VNK_WINESERVER" -k >/dev/null 2>&1 </dev/null || true
  [ -n "${VNK_XVFB_PID:-}" ] && kill "$VNK_XVFB_PID" 2>/dev/null || true
  [ -n "${VNK_XVFB_PID:-}" ] && wait "$VNK_XVFB_PID" 2>/dev/null || true
  [ -n "${VNK_RUN_DIR:-}" ] && rm -rf "$VNK_RUN_DIR"
  VNK_RUN_DIR=""
  VNK_XVFB_PID=""
}
