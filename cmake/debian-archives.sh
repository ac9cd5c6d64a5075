#!/bin/sh
# Prints "URI SUITE", one line each, for the Debian archives of this machine's release that
# its apt takes binary packages from (component main): the release itself, its updates and
# its security suite. The build fetches curl's source from them, the tests an older root.
set -eu
. /etc/os-release
apt-get indextargets --format '$(REPO_URI) $(RELEASE) $(COMPONENT)' "Target-Of: deb" |
  sort -u |
  awk -v release="$VERSION_CODENAME" \
    '$2 ~ "^" release "(-updates|-security)?$" && $3 == "main" { print $1, $2 }'
