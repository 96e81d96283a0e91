#!/usr/bin/env bash
# Runs a Windows program in a Wine session of its own that starts under the given locale
# (Wine takes the user's language from the environment of its session), on a copy of
# the test prefix, and ends that session afterwards.
#   run_in_locale.sh LOCALE PROGRAM [ARGS...]
set -u
locale=$1; shift
if [ -z "${WINEPREFIX:-}" ]; then echo "run_in_locale: no Wine session" >&2; exit 2; fi
work=$(mktemp -d /tmp/halvorin-locale.XXXXXX)
cp -a "$WINEPREFIX" "$work/prefix"
export WINEPREFIX="$work/prefix" LANG="$locale" LC_ALL="$locale"
"$(dirname "$0")/../scripts/wine-run" "$@"
status=$?
wineserver -k 2>/dev/null
rm -rf "$work"
exit $status
