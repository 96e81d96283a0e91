#!/usr/bin/env bash
# Runs a command while Debian's nginx serves a directory: a real server with Range
# and basic authentication, beside the fault-injecting one.
#   with_nginx.sh ADDR ROOT [--auth user:password] [--control DIR] [--port N] [--rate BYTES]
#                 -- command...
# --rate limits every answer to that many bytes a second (nginx's limit_rate).
# --tls PORT CERT KEY (repeatable) serves the same root over TLS on that port of ADDR with
# that certificate; there /insecure/PATH redirects to http://ADDR/PATH.
# nginx runs as root from a generated configuration in a temporary directory; it never
# touches /etc/nginx or /var/log/nginx (-e moves the start-up error log too). Every
# request is appended to DIR/nginx_requests.jsonl (DIR defaults to the parent of
# ROOT), one JSON object a line with the fields method, target, path, status,
# bytes_sent, range, referer, user (the basic-auth user), authorization (the raw
# header), user_agent, conn and seq (connection number and request number on it).
# ROOT is created when missing. Exits with the command's exit code, or 125 when nginx
# could not start. A launcher killed with SIGKILL leaves nginx running. The command
# sees HALVORIN_HTTP_ADDR, HALVORIN_HTTP_PORT, HALVORIN_HTTP_ROOT, HALVORIN_HTTP_CONTROL,
# HALVORIN_HTTP_ROOT_WIN and HALVORIN_HTTP_CONTROL_WIN, as with with_http_server.sh.
set -u
. "$(dirname "${BASH_SOURCE[0]}")/site_wrapper.sh"

usage() {
  echo "usage: $0 ADDR ROOT [--auth user:password] [--control DIR] [--port N] -- command [args...]" >&2
  exit 125
}

[ $# -ge 2 ] || usage
addr=$1 root=$2
shift 2
auth= control= port=80 rate=0
tls_specs=()
while [ $# -gt 0 ] && [ "$1" != "--" ]; do
  case $1 in
    --auth) [ $# -ge 2 ] || usage; auth=$2; shift 2 ;;
    --control) [ $# -ge 2 ] || usage; control=$2; shift 2 ;;
    --port) [ $# -ge 2 ] || usage; port=$2; shift 2 ;;
    --rate) [ $# -ge 2 ] || usage; rate=$2; shift 2 ;;
    --tls) [ $# -ge 4 ] || usage; tls_specs+=("$2|$3|$4"); shift 4 ;;
    *) usage ;;
  esac
done
[ "${1:-}" = "--" ] || usage
shift
[ $# -ge 1 ] || usage

nginx=${NGINX:-/usr/sbin/nginx}
python=${PYTHON:-python3}
mkdir -p "$root" || exit 125
root=$(cd "$root" && pwd) || exit 125
[ -n "$control" ] || control=$(dirname "$root")
mkdir -p "$control" || exit 125
control=$(cd "$control" && pwd)

work=$(mktemp -d /tmp/with_nginx.XXXXXX) || exit 125
master=
cleanup() {
  stop_process "$master"  # fast shutdown; workers follow their master
  master=
  rm -rf "$work"
}
trap 'cleanup' EXIT
trap 'cleanup; exit 130' INT
trap 'cleanup; exit 143' TERM

auth_lines=
if [ -n "$auth" ]; then
  user=${auth%%:*}
  password=${auth#*:}
  hash=$(openssl passwd -apr1 "$password") || exit 125
  printf '%s:%s\n' "$user" "$hash" >"$work/htpasswd"
  auth_lines="auth_basic \"Halvorin test\"; auth_basic_user_file $work/htpasswd;"
fi

mkdir -p "$work/tmp"
tls_servers=
for server in "${tls_specs[@]}"; do
  IFS="|" read -r tls_port tls_cert tls_key <<<"$server"
  tls_servers="$tls_servers
  server {
    listen $addr:$tls_port ssl;
    server_name _;
    ssl_certificate $tls_cert;
    ssl_certificate_key $tls_key;
    root $root;
    $auth_lines
    limit_rate $rate;
    location /insecure/ { rewrite ^/insecure/(.*)\$ http://$addr/\$1 permanent; }
    location / { try_files \$uri =404; }
  }"
done

cat >"$work/nginx.conf" <<EOF
user root root;
worker_processes 1;
daemon off;
master_process on;
pid $work/nginx.pid;
error_log $work/error.log info;
events { worker_connections 64; }
http {
  client_body_temp_path $work/tmp/body;
  proxy_temp_path $work/tmp/proxy;
  fastcgi_temp_path $work/tmp/fastcgi;
  uwsgi_temp_path $work/tmp/uwsgi;
  scgi_temp_path $work/tmp/scgi;
  default_type application/octet-stream;
  sendfile off;
  keepalive_timeout 120;
  log_format halvorin escape=json '{"method":"\$request_method","target":"\$request_uri","path":"\$uri",'
    '"status":\$status,"bytes_sent":\$body_bytes_sent,"range":"\$http_range","referer":"\$http_referer",'
    '"user":"\$remote_user","authorization":"\$http_authorization","user_agent":"\$http_user_agent",'
    '"conn":\$connection,"seq":\$connection_requests}';
  access_log $control/nginx_requests.jsonl halvorin;
  server {
    listen $addr:$port;
    server_name _;
    root $root;
    $auth_lines
    limit_rate $rate;
    location / { try_files \$uri =404; }
  }$tls_servers
}
EOF

"$nginx" -p "$work" -e "$work/error.log" -c "$work/nginx.conf" >"$work/stdout.log" 2>&1 &
master=$!

up=
for _ in $(seq 200); do
  if ! kill -0 "$master" 2>/dev/null; then
    break
  fi
  if "$python" -c "import socket,sys; socket.create_connection((sys.argv[1], int(sys.argv[2])), 0.5).close()" \
       "$addr" "$port" 2>/dev/null; then
    up=1
    break
  fi
  sleep 0.05
done
if [ -z "$up" ]; then
  echo "with_nginx: nginx did not start on $addr:$port:" >&2
  cat "$work/error.log" "$work/stdout.log" >&2 2>/dev/null
  exit 125
fi

run_against_site "$addr" "$port" "$root" "$control" "$@"
status=$?
cleanup
exit $status
