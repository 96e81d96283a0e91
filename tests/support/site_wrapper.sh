# Sourced by with_http_server.sh and with_nginx.sh: what both do around the server
# they start.

# Ends a server process: TERM, up to 5 s for it to go, then KILL; reaps it.
stop_process() {
  local pid=$1
  [ -n "$pid" ] || return 0
  if kill -0 "$pid" 2>/dev/null; then
    kill -TERM "$pid" 2>/dev/null
    for _ in $(seq 100); do
      kill -0 "$pid" 2>/dev/null || break
      sleep 0.05
    done
    kill -KILL "$pid" 2>/dev/null
  fi
  wait "$pid" 2>/dev/null
  return 0
}

# Runs the command with the site's address and directories in its environment (the
# directories also as Wine's Z: paths) and returns its exit code.
#   run_against_site ADDR PORT ROOT CONTROL command [args...]
run_against_site() {
  export HALVORIN_HTTP_ADDR=$1 HALVORIN_HTTP_PORT=$2
  export HALVORIN_HTTP_ROOT=$3 HALVORIN_HTTP_CONTROL=$4
  export HALVORIN_HTTP_ROOT_WIN="Z:${3//\//\\}" HALVORIN_HTTP_CONTROL_WIN="Z:${4//\//\\}"
  shift 4
  "$@"
}
