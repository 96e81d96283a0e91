#!/usr/bin/env bash
# Runs the script client under Wine's script host with a scratch directory of its own,
# against the site that with_http_server.sh serves (its address and root directory).
set -u
script=$1
work=$(mktemp -d /tmp/halvorin-script.XXXXXX)
output=$(wine cscript //nologo "$(winepath -w "$script")" "$(winepath -w "$work")" \
  "$HALVORIN_HTTP_ADDR" "$HALVORIN_HTTP_ROOT_WIN" 2>&1)
status=$?
printf '%s\n' "$output"
# Wine's script host exits with 0 when the script does not even parse.
if ! grep -q '^script client finished: ' <<<"$output"; then
  echo "run_script_client: the script did not run to its end" >&2
  ((status)) || status=1
fi
rm -rf "$work"
exit $status
