#!/usr/bin/env bash
# Makes the certificates of the secure-site tests in DIR, with openssl:
#   root.pem               the test root, which a test makes trusted in its Wine prefix
#   good.pem/.key          for HOST, signed by the test root
#   wrong.pem/.key         for another host name (wrong.example), signed by the test root
#   expired.pem/.key       for HOST, signed by the test root, valid in 2020 only
#   untrusted.pem/.key     for HOST, signed by a root nobody trusts
# Wine matches a host name only against the DNS names of a certificate, so an address is
# listed as a DNS name too.
#   make_test_certificates.sh DIR HOST
set -euo pipefail
dir=$1 host=$2
mkdir -p "$dir"
cd "$dir"
[ -f good.pem ] && [ "$(cat host.txt 2>/dev/null)" = "$host" ] && exit 0
rm -rf ./*
openssl_quiet() { openssl "$@" >/dev/null 2>&1; }
for ca in root other; do
  openssl_quiet req -x509 -newkey rsa:2048 -nodes -keyout "$ca.key" -out "$ca.pem" -days 3650 \
    -subj "/CN=Halvorin test $ca" -addext "basicConstraints=critical,CA:TRUE" -addext "keyUsage=keyCertSign,cRLSign"
  mkdir -p "$ca-db"
  : >"$ca-db/index.txt"
  echo 1000 >"$ca-db/serial"
  cat >"$ca.cnf" <<CNF
[ca]
default_ca = test
[test]
database = $dir/$ca-db/index.txt
new_certs_dir = $dir/$ca-db
serial = $dir/$ca-db/serial
default_md = sha256
policy = any
copy_extensions = copy
unique_subject = no
[any]
commonName = supplied
CNF
done
sign() {  # name ca san [startdate enddate]
  local name=$1 ca=$2 san=$3
  openssl_quiet req -newkey rsa:2048 -nodes -keyout "$name.key" -out "$name.csr" -subj "/CN=${san#DNS:}" \
    -addext "subjectAltName=$san" -addext "extendedKeyUsage=serverAuth"
  local dates=(-days 365)
  [ $# -ge 5 ] && dates=(-startdate "$4" -enddate "$5")
  openssl_quiet ca -batch -config "$ca.cnf" -cert "$ca.pem" -keyfile "$ca.key" -in "$name.csr" -out "$name.pem" "${dates[@]}"
}
sign good root "DNS:$host,IP:$host"
sign wrong root "DNS:wrong.example"
sign expired root "DNS:$host,IP:$host" 20200101000000Z 20210101000000Z
sign untrusted other "DNS:$host,IP:$host"
echo "$host" >host.txt
