#!/bin/sh
# The main job end to end: make a demo application bundle and a demo install agent,
# pack them into launcher files with setup-pack and run them. First offline, with the
# agent inside the launcher file; then online, with the agent served by a local server on
# 127.0.0.1 and cached under a HOME inside the build tree; last, signed, with the
# publisher's key in the launcher file. Usage: run-demo.sh BUILD_DIR
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
server_pids=""
trap 'kill $server_pids 2>/dev/null || true' EXIT INT TERM
# serve ARCHIVE ETAG NAME: serves the archive on 127.0.0.1 for a minute, logging to NAME.log,
# and sets url.
serve() {
  rm -f "$3.port" "$3.log"
  python3 "$server" --serve-file "$1" --etag "$2" --path /pi_install_agent_pi_Q4096c_oslin64 \
    --port-file "$3.port" --log "$3.log" --lifetime 60 >/dev/null &
  server_pids="$server_pids $!"
  for _ in $(seq 50); do [ -s "$3.port" ] && break; sleep 0.1; done
  url="http://127.0.0.1:$(cat "$3.port")/pi_install_agent_pi_Q4096c_oslin64"
}
serve InstallAgent.zip '"demo-agent-1"' server
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

step "Signed: a launcher file with its publisher's key runs only agents signed with it"
show "minisign -G -W -p publisher.pub -s publisher.key"
minisign -G -W -p publisher.pub -s publisher.key >/dev/null
cp InstallAgent.zip InstallAgent-signed.zip
show "minisign -S -s publisher.key -m InstallAgent-signed.zip -t \"agent-version=1 agent-release=Q4096c/oslin64\""
minisign -S -s publisher.key -m InstallAgent-signed.zip -x agent.minisig \
  -t "agent-version=1 agent-release=Q4096c/oslin64" >/dev/null
show "setup-pack --attach-signature agent.minisig InstallAgent-signed.zip"
"$pack" --attach-signature agent.minisig InstallAgent-signed.zip
show "setup-pack --verify-agent publisher.pub InstallAgent-signed.zip"
"$pack" --verify-agent publisher.pub InstallAgent-signed.zip | sed 's/^/   /'
show "setup-pack -o demo-signed --agent-key publisher.pub bundle.zip"
"$pack" -o demo-signed --agent-key publisher.pub "$setup" bundle.zip
serve InstallAgent-signed.zip '"demo-agent-signed-1"' signed-server
mkdir -p "$work/home-signed"
show "./demo-signed --destination $work/installed-signed"
status=0
HOME="$work/home-signed" QX_INTERNAL_INSTALL_AGENT_URL="$url" \
  ./demo-signed --destination "$work/installed-signed" || status=$?
echo "   exit status $status"
[ "$status" -eq 0 ] || exit "$status"
"$work/installed-signed/bin/hello" | sed 's/^/   /'

minisign -G -W -p other.pub -s other.key >/dev/null
"$pack" -o demo-other-key --agent-key other.pub "$setup" bundle.zip
show "./demo-other-key  # the same agent, but the launcher file trusts another key"
status=0
HOME="$work/home-signed" QX_INTERNAL_INSTALL_AGENT_URL="$url" \
  ./demo-other-key --destination "$work/installed-other" >refused.log 2>&1 || status=$?
sed 's/^/   /' refused.log
echo "   exit status $status; nothing was installed: $([ -e "$work/installed-other" ] && echo no || echo yes)"
[ "$status" -eq 255 ] || exit 1

step "Done: the first online run downloaded and cached the agent (HEAD and GET), the second reused it (HEAD only); a signed agent ran, and the same agent was refused by a launcher file that trusts another key"
