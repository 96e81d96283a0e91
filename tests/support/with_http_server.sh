#!/usr/bin/env bash
# Runs a command while faulty_http.py serves a directory.
#   with_http_server.sh ADDR ROOT CONTROL [--port N] -- command [args...]
# Starts the server on ADDR (port 80 unless --port), waits until it listens, runs the
# command, stops the server and exits with the command's exit code (125 when the
# server could not start). ROOT and CONTROL are created when missing. CONTROL receives rules.json / requests.jsonl (see
# faulty_http.py) and server.log. The command sees:
#   HALVORIN_HTTP_ADDR, HALVORIN_HTTP_PORT, HALVORIN_HTTP_ROOT, HALVORIN_HTTP_CONTROL
#   and HALVORIN_HTTP_ROOT_WIN / HALVORIN_HTTP_CONTROL_WIN (the same paths as Wine's Z:).
# From CTest, name Wine yourself for a Windows test program, since CTest applies the
# emulator only when the command is the target itself:
#   add_test(NAME t COMMAND bash with_http_server.sh 127.0.0.70 ROOT CTRL --
#            ${CMAKE_CROSSCOMPILING_EMULATOR} $<TARGET_FILE:t>)
set -u

usage() {
  echo "usage: $0 ADDR ROOT CONTROL [--port N] -- command [args...]" >&2
  exit 125
}

[ $# -ge 3 ] || usage
addr=$1 root=$2 control=$3
shift 3
port=80
while [ $# -gt 0 ] && [ "$1" != "--" ]; do
  case $1 in
    --port) [ $# -ge 2 ] || usage; port=$2; shift 2 ;;
    *) usage ;;
  esac
done
[ "${1:-}" = "--" ] || usage
shift
[ $# -ge 1 ] || usage

here=$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)
. "$here/site_wrapper.sh"
python=${PYTHON:-python3}
mkdir -p "$root" "$control" || exit 125
root=$(cd "$root" && pwd) || exit 125
control=$(cd "$control" && pwd)
ready=$control/server.ready
rm -f "$ready"

"$python" "$here/faulty_http.py" "$addr" "$root" --port "$port" --control "$control" \
  --pid-file "$control/server.pid" --ready-file "$ready" --quiet --parent-pid $$ >>"$control/server.log" 2>&1 &
server=$!

stop_server() {
  stop_process "${server:-}"
  server=
}
trap 'stop_server' EXIT
trap 'stop_server; exit 130' INT
trap 'stop_server; exit 143' TERM

for _ in $(seq 300); do
  [ -f "$ready" ] && break
  if ! kill -0 "$server" 2>/dev/null; then
    echo "with_http_server: the server ended before it listened; see $control/server.log:" >&2
    tail -n 5 "$control/server.log" >&2
    exit 125
  fi
  sleep 0.05
done
if [ ! -f "$ready" ]; then
  echo "with_http_server: the server did not listen on $addr:$port within 15 s" >&2
  exit 125
fi

run_against_site "$addr" "$port" "$root" "$control" "$@"
status=$?
stop_server
exit $status
