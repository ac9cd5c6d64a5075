#!/bin/sh
# The script a user would write instead of the launcher, kept as the benchmarks' reference:
# the same steps with the curl command-line tool and unzip. It extracts the launcher
# file's archive into a fresh work directory, asks the server for the agent's ETag with a
# HEAD request, fetches and unpacks the agent into its cache when the ETag differs from
# the stored one, runs the agent on the bundle and removes the work directory.
# Usage: reference.sh LAUNCHER_FILE URL [AGENT ARGUMENT...]
# The cache is REFERENCE_CACHE, by default $HOME/.reference-agent-cache.
set -u
launcher=$1
url=$2
shift 2
cache=${REFERENCE_CACHE:-$HOME/.reference-agent-cache}

work=$(mktemp -d /tmp/qxXXXXXX) || exit 1
status=1
if unzip -qq "$launcher" -d "$work" &&
  etag=$(curl -sSfI -o /dev/null -w '%header{etag}' "$url"); then
  stored=
  [ -r "$cache/etag" ] && read -r stored <"$cache/etag"
  if [ -z "$etag" ] || [ "$stored" != "$etag" ] || [ ! -f "$cache/installagent/install" ]; then
    rm -rf "$cache/installagent" &&
      mkdir -p "$cache" &&
      curl -sSf -o "$work/InstallAgent.zip" "$url" &&
      unzip -qq -o "$work/InstallAgent.zip" -d "$cache/installagent" &&
      printf '%s\n' "$etag" >"$cache/etag"
  fi &&
    sh "$cache/installagent/install" -installbundle "$work/bundle.zip" "$@"
  status=$?
fi
rm -rf "$work"
exit $status
