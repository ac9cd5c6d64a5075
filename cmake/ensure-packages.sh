#!/bin/sh
# Installs the Debian packages a goal needs when they are missing: with apt-get when run
# as root, otherwise by printing the one line to run. Usage: ensure-packages.sh PACKAGE...
set -u
missing=""
for package in "$@"; do
  if ! dpkg-query -W -f='${Status}' "$package" 2>/dev/null | grep -q 'install ok installed'; then
    missing="$missing $package"
  fi
done
[ -z "$missing" ] && exit 0
if [ "$(id -u)" -eq 0 ]; then
  echo "Installing:$missing"
  export DEBIAN_FRONTEND=noninteractive
  apt-get update -qq && apt-get install -y -qq --no-install-recommends $missing >/dev/null || exit 1
else
  echo "Missing packages. Run:"
  echo "  sudo apt-get install -y$missing"
  exit 1
fi
