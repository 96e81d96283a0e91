# Sourced by the scripts that run Windows programs: a private Wine prefix with a
# virtual display, started once and kept for the whole run.
#   wine_session_start [dir] [display]   dir defaults to build/wine, display to :77
#   wine_session_stop
# Exports WINEPREFIX, DISPLAY, WINEDEBUG, WINEDLLOVERRIDES.

wine_session_start() {
  local top dir display
  top=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
  dir=${1:-$top/build/wine}
  display=${2:-:77}
  mkdir -p "$dir"
  export WINEPREFIX="$dir/prefix"
  export WINEDEBUG=-all
  export WINEDLLOVERRIDES="mscoree,mshtml="
  export DISPLAY="$display"
  WINE_SESSION_DIR="$dir"

  # The graphics driver is chosen when the Wine session starts, so the display comes first.
  local socket=/tmp/.X11-unix/X${display#:}
  # A socket left by a server that died (a reboot, a killed run) answers nothing.
  if [ -S "$socket" ] && ! python3 -c 'import socket,sys; s=socket.socket(socket.AF_UNIX); s.connect(sys.argv[1])' "$socket" 2>/dev/null; then
    rm -f "$socket" "/tmp/.X${display#:}-lock"
  fi
  if [ ! -S "$socket" ]; then
    Xvfb "$display" -screen 0 1024x768x24 -nolisten tcp >"$dir/xvfb.log" 2>&1 &
    echo $! >"$dir/xvfb.pid"
    for _ in $(seq 50); do
      [ -S "$socket" ] && break
      sleep 0.1
    done
  fi

  if [ ! -f "$WINEPREFIX/system.reg" ]; then
    wineboot -i >"$dir/wineboot.log" 2>&1 || true
    wineserver -w
  fi
  # A persistent server keeps every later wine start fast (about 0.05 s instead of 1 s).
  wineserver -p
  # A crashing program must exit with a code, not open the debugger.
  wine reg add 'HKLM\Software\Microsoft\Windows NT\CurrentVersion\AeDebug' /v Debugger /d '' /f >/dev/null 2>&1
  # Without a window manager Wine waits up to 2 s whenever a window is hidden, unless
  # it manages the windows itself.
  wine reg add 'HKCU\Software\Wine\X11 Driver' /v Managed /d N /f >/dev/null 2>&1
}

wine_session_stop() {
  [ -n "${WINEPREFIX:-}" ] && wineserver -k 2>/dev/null || true
  if [ -n "${WINE_SESSION_DIR:-}" ] && [ -f "$WINE_SESSION_DIR/xvfb.pid" ]; then
    kill "$(cat "$WINE_SESSION_DIR/xvfb.pid")" 2>/dev/null || true
    rm -f "$WINE_SESSION_DIR/xvfb.pid"
  fi
}
