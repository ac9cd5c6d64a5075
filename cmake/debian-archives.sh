#!/bin/sh
# Finds Debian archives through a private apt state, so that it works where the machine's own
# lists were never downloaded or were removed (as CI images do), and leaves the machine's apt
# state as it was. Usage:
#
#   debian-archives.sh STATE_DIRECTORY
#     prints "URI CODENAME", one line each, for the archives of this machine's release that
#     its apt sources name (component main): the release itself, its updates and its
#     security suite. The build fetches curl's source from them.
#   debian-archives.sh STATE_DIRECTORY --older
#     prints "CODENAME URI" for the oldest release older than this machine's that the
#     archive of this machine's release serves under the suites stable, oldstable and
#     oldoldstable (every release it still serves), or nothing, saying why on standard
#     error. The tests make an older root from it.
#
# apt reads the sources itself (one-line and deb822 files, their options, "Enabled: no",
# mirror+file URIs); a private `apt-get update` fetches only their Release files, and each
# suite, an alias such as "stable" included, counts as the release its Release file names:
# an alias names another release as soon as Debian publishes the next one.
set -eu

state=$1
mkdir -p "$state/lists/partial" "$state/cache/archives/partial"
state=$(cd "$state" && pwd)
. /etc/os-release

# The private state may lie where apt's unprivileged download user cannot enter; as root,
# apt then downloads as root, and says so unasked.
sandbox_user=_apt
[ "$(id -u)" -eq 0 ] && sandbox_user=root
# apt-get with the private state and the given options.
private_apt() {
  apt-get -o "Dir::State::Lists=$state/lists" -o "Dir::Cache=$state/cache" \
    -o "APT::Sandbox::User=$sandbox_user" "$@"
}

# The Release files alone: every index target is switched off for the update. Archives that
# cannot be reached are left out by apt and reported on standard error; the rest still count.
update_release_files() {
  rm -rf "$state/lists" && mkdir -p "$state/lists/partial"
  private_apt -qq "$@" \
    -o Acquire::IndexTargets::deb::Packages::DefaultEnabled=false \
    -o Acquire::IndexTargets::deb::Translations::DefaultEnabled=false \
    -o Acquire::IndexTargets::deb-src::Sources::DefaultEnabled=false update || true
}

# "URI SUITE CODENAME VERSION" for each suite whose Release file came, component main. The
# targets are listed without their release information, which apt takes from indexes this
# update did not fetch; the Release file lies beside where each target's index would.
suites() {
  # shellcheck disable=SC2016 # $(...) are apt's fields
  private_apt "$@" indextargets --no-release-info \
    --format '$(REPO_URI) $(RELEASE) $(COMPONENT) $(METAKEY) $(FILENAME)' \
    "Target-Of: deb" "Identifier: Packages" |
    while read -r uri suite component metakey filename; do
      [ "$component" = main ] || continue
      directory=${filename%"$(echo "$metakey" | tr / _)"}
      for release_file in "${directory}InRelease" "${directory}Release"; do
        [ -f "$release_file" ] || continue
        awk -v uri="$uri" -v suite="$suite" '
          NR == 1 && /^-----BEGIN PGP SIGNED MESSAGE/ { armour = 1; next }
          armour { armour = !/^$/; next }  # the armour header ends at the first empty line
          /^Codename: / { codename = $2 }
          /^Version: / { version = $2 }
          /^$/ { exit }
          END { if (codename != "") print uri, suite, codename, (version == "" ? "-" : version) }
        ' "$release_file"
        break
      done
    done | sort -u
}

this_release() {
  suites | awk -v release="${VERSION_CODENAME:-}" \
    'release != "" && $3 ~ "^" release "(-updates|-security)?$" { print $1, $3 }' | sort -u
}

update_release_files
if [ "${2:-}" != --older ]; then
  this_release
  exit 0
fi

uri=$(this_release | awk -v release="${VERSION_CODENAME:-}" '$2 == release { print $1; exit }')
if [ -z "$uri" ]; then
  echo "apt takes ${VERSION_CODENAME:-this release} from no Debian archive" >&2
  exit 0
fi
sources=$state/older.list
for alias in stable oldstable oldoldstable; do
  echo "deb $uri $alias main"
done >"$sources"
set -- -o "Dir::Etc::SourceList=$sources" -o "Dir::Etc::SourceParts=$state/no-parts"
update_release_files "$@"
this_version=${VERSION_ID:-}
older=$(suites "$@" | awk -v this="${this_version%%.*}" '
  { major = $4; sub(/\..*/, "", major) }
  major ~ /^[0-9]+$/ && major + 0 < this + 0 && (best == "" || major + 0 < best_major) {
    best = $3; best_major = major + 0
  }
  END { if (best != "") print best }')
if [ -n "$older" ]; then
  echo "$older $uri"
else
  echo "$uri serves no Debian release older than ${VERSION_CODENAME:-this one}" \
    "(tried the suites stable, oldstable and oldoldstable)" >&2
fi
