#!/usr/bin/env bash
# Runs a command while nginx serves ROOT on ADDR over plain HTTP (port 80) and over TLS:
# port 443 with a certificate for ADDR from the test root, 8444 with one for another name,
# 8445 with an expired one, 8446 with one from a root nobody trusts
# (make_test_certificates.sh, in CERTS). The command sees HALVORIN_TEST_CERTIFICATES
# (the directory of root.pem) besides what with_nginx.sh gives.
#   with_secure_sites.sh ADDR ROOT CONTROL CERTS -- command [args...]
set -u
addr=$1 root=$2 control=$3 certs=$4
shift 4
[ "${1:-}" = "--" ] && shift
here=$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)
"$here/make_test_certificates.sh" "$certs" "$addr" || exit 125
certs=$(cd "$certs" && pwd)
export HALVORIN_TEST_CERTIFICATES=$certs
exec bash "$here/with_nginx.sh" "$addr" "$root" --control "$control" \
  --tls 443 "$certs/good.pem" "$certs/good.key" --tls 8444 "$certs/wrong.pem" "$certs/wrong.key" \
  --tls 8445 "$certs/expired.pem" "$certs/expired.key" --tls 8446 "$certs/untrusted.pem" "$certs/untrusted.key" \
  -- "$@"
