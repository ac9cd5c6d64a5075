#!/bin/sh
# The main job end to end: make a demo application bundle and a demo install agent,
# pack them into launcher files with setup-pack and run them. First offline, with the
# agent inside the launcher file; then online, with the agent served by a local server on
# 127.0.0.1 and cached under a HOME inside the build tree. Usage: run-demo.sh BUILD_DIR
set -eu

build=$(cd "${1:-build}" && pwd)
here=$(cd "$(dirname "$0")" && pwd)
setup="$build/src/setup"
pack="$build/tools/setup-pack/setup-pack"
server="$here/../tests/support/scripted_server.py"
work="$build/demo"

step() { printf '\n== %s\n' "$*"; }
show() { printf '   $ %s\n' "$*"; }

rm -rf "$work"
mkdir -p "$work/home"
cd "$work"

step "Making the demo bundle and the demo install agent"
(cd "$here/app" && zip -qrX "$work/bundle.zip" .)
(cd "$here/agent" && zip -qX "$work/InstallAgent.zip" install)
unzip -l bundle.zip | sed 's/^/   /'

step "Offline: a launcher file that carries its agent"
show "setup-pack -o demo-offline bundle.zip InstallAgent.zip"
"$pack" -o demo-offline "$setup" bundle.zip InstallAgent.zip
show "./demo-offline --destination $work/installed-offline"
status=0
HOME="$work/home" ./demo-offline --destination "$work/installed-offline" || status=$?
echo "   exit status $status"
[ "$status" -eq 0 ] || exit "$status"
show "installed-offline/bin/hello"
"$work/installed-offline/bin/hello" | sed 's/^/   /'

step "Online: a launcher file without its agent, served from 127.0.0.1"
"$pack" -o demo-online "$setup" bundle.zip
rm -f server.port server.log
python3 "$server" --serve-file InstallAgent.zip --etag '"demo-agent-1"' \
  --path /pi_install_agent_pi_Q4096c_oslin64 --port-file server.port --log server.log \
  --lifetime 60 >/dev/null &
server_pid=$!
trap 'kill "$server_pid" 2>/dev/null || true' EXIT INT TERM
for _ in $(seq 50); do [ -s server.port ] && break; sleep 0.1; done
url="http://127.0.0.1:$(cat server.port)/pi_install_agent_pi_Q4096c_oslin64"
cache="$work/home/.quenth/app_installer_cache/Q4096c/oslin64"

requests() {
  python3 -c 'import json,sys
for line in open(sys.argv[1]):
    r = json.loads(line)
    print("   %s %s (connection %d)" % (r["method"], r["path"], r["connection"]))' server.log
  : > server.log
}

for run in first second; do
  show "QX_INTERNAL_INSTALL_AGENT_URL=$url ./demo-online --destination $work/installed-online  # $run run"
  status=0
  HOME="$work/home" QX_INTERNAL_INSTALL_AGENT_URL="$url" \
    ./demo-online --destination "$work/installed-online" || status=$?
  echo "   exit status $status; requests the server saw:"
  requests
  echo "   agent cache $cache:"
  (cd "$cache" && find . | sort | sed 's/^/     /')
  python3 -c 'import sys; print("   validation marker:", repr(open(sys.argv[1], "rb").read()))' \
    "$cache/.validatestring"
  [ "$status" -eq 0 ] || exit "$status"
done
show "installed-online/bin/hello"
"$work/installed-online/bin/hello" | sed 's/^/   /'

step "Done: the first online run downloaded and cached the agent (HEAD and GET), the second reused it (HEAD only)"
