#!/bin/sh
# Fetches Debian's curl source package of this machine's release into WORK_DIRECTORY/source,
# through a private apt state in WORK_DIRECTORY/apt whose sources name, as deb-src lines, the
# archives the machine takes its release from. The machine's apt state stays as it was.
# Usage: curl-source.sh WORK_DIRECTORY [OPTION...]; the options go to `apt-get source`
# (--print-uris only names the files).
set -eu

work=$1
shift
apt_state=$work/apt
rm -rf "$apt_state" "$work/source"
mkdir -p "$apt_state/parts.d" "$work/source"
work=$(cd "$work" && pwd)
apt_state=$work/apt

"$(dirname "$0")/debian-archives.sh" "$apt_state" |
  while read -r uri codename; do echo "deb-src $uri $codename main"; done >"$apt_state/sources.list"
if [ ! -s "$apt_state/sources.list" ]; then
  echo "static-curl: no Debian archive of this release in the apt sources;" \
    "set SETUP_CURL_SOURCE_DIR to an unpacked curl source tree" >&2
  exit 1
fi
sandbox_user=_apt
[ "$(id -u)" -eq 0 ] && sandbox_user=root  # as in debian-archives.sh
private_apt() {
  apt-get -qq -o "Dir::State::Lists=$apt_state/lists" -o "Dir::Cache=$apt_state/cache" \
    -o "Dir::Etc::SourceList=$apt_state/sources.list" \
    -o "Dir::Etc::SourceParts=$apt_state/parts.d" -o "APT::Sandbox::User=$sandbox_user" "$@"
}
private_apt update
cd "$work/source"
private_apt "$@" source curl || {
  echo "static-curl: 'apt-get source curl' failed (is dpkg-dev installed?)" >&2
  exit 1
}
