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
  setsid "$VNK_WINE" wineboot -i >"$VNK_RUN_DIR/wineboot.log" 2>&1 </dev/null || true
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
    "$VNK_WINESERVER" -k >/dev/null 2>&1 </dev/null || true
    "$VNK_WINESERVER" -w >/dev/null 2>&1 </dev/null || true
    "$VNK_WINESERVER" -p >/dev/null 2>&1 </dev/null || true
    setsid "$VNK_WINE" wineboot -i >>"$VNK_RUN_DIR/wineboot.log" 2>&1 </dev/null || true
  fi
  setsid "$VNK_WINE" explorer.exe /desktop >>"$VNK_RUN_DIR/wineboot.log" 2>&1 </dev/null &
  # A program that needs the desktop before it is up starts a second one,
  # which leaves again at once.
  sleep 1
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
