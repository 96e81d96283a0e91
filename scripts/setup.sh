#!/usr/bin/env bash
# Installs what building and testing need on Debian 12, as root. Idempotent: when
# everything is there it only checks, which takes a second.
set -euo pipefail

packages=(
  # Windows cross compilers (the -posix ones) and widl
  g++-mingw-w64-i686 g++-mingw-w64-x86-64 mingw-w64-tools
  # 64-bit Wine only (wine32 would break the 64-bit loader), with the IDL files, and a display
  wine wine64 libwine-dev xvfb xauth x11-apps imagemagick
  # build and test tools
  cmake ninja-build make googletest clang libclang-rt-14-dev python3 curl locales openssl util-linux mount
  # zlib, natively and for Windows
  zlib1g-dev libz-mingw-w64-dev
  # the publishers' tool signs with OpenSSL natively; Wine's CNG verifies through GnuTLS
  libssl-dev libgnutls30
  # real sites, compressed files, and the yardsticks of the benchmarks
  nginx-light mscompress bsdiff xdelta3 zstd time
)

missing=()
for p in "${packages[@]}"; do
  if ! dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed'; then
    missing+=("$p")
  fi
done

if ((${#missing[@]})); then
  echo "setup: installing ${missing[*]}"
  export DEBIAN_FRONTEND=noninteractive
  apt-get update -q
  apt-get install -y -q --no-install-recommends "${missing[@]}"
fi

if dpkg-query -W -f='${Status}' wine32:i386 2>/dev/null | grep -q 'install ok installed'; then
  echo "setup: wine32:i386 is installed; it makes 64-bit Wine fail here. Remove it first." >&2
  exit 1
fi

# The French tests start a Wine session under a French locale.
if ! locale -a 2>/dev/null | grep -qi '^fr_FR\.utf8$'; then
  sed -i 's/^# *fr_FR.UTF-8 UTF-8/fr_FR.UTF-8 UTF-8/' /etc/locale.gen
  grep -q '^fr_FR.UTF-8 UTF-8' /etc/locale.gen || echo 'fr_FR.UTF-8 UTF-8' >> /etc/locale.gen
  locale-gen >/dev/null
fi
# The double-byte tests start one under a Japanese locale; without it generated, Wine
# reads and writes the Unix file names in code page 932 instead of UTF-8.
if ! locale -a 2>/dev/null | grep -qi '^ja_JP\.utf8$'; then
  sed -i 's/^# *ja_JP.UTF-8 UTF-8/ja_JP.UTF-8 UTF-8/' /etc/locale.gen
  grep -q '^ja_JP.UTF-8 UTF-8' /etc/locale.gen || echo 'ja_JP.UTF-8 UTF-8' >> /etc/locale.gen
  locale-gen >/dev/null
fi
echo "setup: all tools present"
