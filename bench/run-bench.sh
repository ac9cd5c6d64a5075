#!/bin/bash
# The launcher's benchmark suite (`make bench`). Everything runs on 127.0.0.1 against a
# local nginx; every timed figure is a ratio of commands measured alternately in the same
# rounds (bench/measure.py). Writes BUILD_DIR/bench/results.md and BUILD_DIR/bench/raw.jsonl;
# the big inputs are made once under BUILD_DIR/bench/data and reused.
# Usage: run-bench.sh BUILD_DIR
#
# Sizes and counts may be overridden for a quick run (BENCH_QUICK=1 also allows fewer than
# five rounds): BENCH_BUNDLE_MIB (1024), BENCH_FIRST_RUN_MIB (512), BENCH_HEAP_SMALL_MIB
# (16), BENCH_HEAP_LARGE_MIB (1024), BENCH_PACK_MIB (1024, for pack_vs_cat.sh; BENCH_PACK=0
# skips it), BENCH_RESUME_MIB (100), BENCH_ROUNDS (7, the big figures), BENCH_WARM_ROUNDS
# (100) and BENCH_WARM_BATCH (2).
set -euo pipefail

if [ $# -ne 1 ]; then
  echo "usage: $0 BUILD_DIR" >&2
  exit 2
fi
build=$(cd "$1" && pwd)
here=$(cd "$(dirname "$0")" && pwd)
repo=$(dirname "$here")

bundle_mib=${BENCH_BUNDLE_MIB:-1024}
first_mib=${BENCH_FIRST_RUN_MIB:-512}
heap_small_mib=${BENCH_HEAP_SMALL_MIB:-16}
heap_large_mib=${BENCH_HEAP_LARGE_MIB:-1024}
rounds=${BENCH_ROUNDS:-7}
pack_mib=${BENCH_PACK_MIB:-1024}
warm_rounds=${BENCH_WARM_ROUNDS:-100}
warm_batch=${BENCH_WARM_BATCH:-2}
resume_mib=${BENCH_RESUME_MIB:-100}

setup="$build/src/setup"
# The same launcher linked against the system's shared libcurl (built beside the static one).
setup_shared="$build/src/setup-system-libcurl"
floor="$build/bench/floor"
pack="$build/tools/setup-pack/setup-pack"
measure="$here/measure.py"
reference="$here/reference.sh"

out="$build/bench"
data="$out/data"
raw="$out/raw.jsonl"
results="$out/results.md"
log="$out/commands.log"
scratch="$out/scratch"
cache_suffix=".quenth/app_installer_cache/Q4096c/oslin64"

for tool in unzip zip curl nginx python3 valgrind minisign; do
  command -v "$tool" >/dev/null || { echo "run-bench.sh: $tool is missing" >&2; exit 1; }
done
for binary in "$setup" "$setup_shared" "$floor"; do
  [ -x "$binary" ] || { echo "run-bench.sh: $binary is not built" >&2; exit 1; }
done

# Proxies from the environment would take the loopback traffic elsewhere.
unset http_proxy https_proxy HTTP_PROXY HTTPS_PROXY all_proxy ALL_PROXY no_proxy NO_PROXY

mkdir -p "$data" "$scratch"
rm -rf "$scratch"/* "$out/home" "$out/www" "$out/nginx"
: >"$raw"
: >"$log"

step() { printf '\n== %s\n' "$*"; }

# ---------------------------------------------------------------------------------------
# Inputs, made once. Payloads are random, so nothing compresses and every byte is moved.

# make_agent OUT MIB: an agent archive whose entry script exits at once, with MIB MiB of
# payload beside it (none for 0).
make_agent() {
  local archive=$1 mib=$2
  [ -s "$archive" ] && return 0
  local dir
  dir=$(mktemp -d "$data/agent.XXXXXX")
  printf 'exit 0\n' >"$dir/install"
  [ "$mib" -gt 0 ] && head -c "${mib}M" /dev/urandom >"$dir/payload.bin"
  (cd "$dir" && zip -q -0 -X "$archive.part" install $([ "$mib" -gt 0 ] && echo payload.bin))
  rm -rf "$dir"
  mv "$archive.part" "$archive"
}

# make_padded_agent OUT MIB: the small agent after MIB MiB of random padding, its offsets
# counted from the start of the file, so that unzip unpacks it without reading the padding.
make_padded_agent() {
  local archive=$1 mib=$2
  [ -s "$archive" ] && return 0
  head -c "${mib}M" /dev/urandom >"$archive.part"
  python3 - "$archive.part" <<'EOF'
import sys, zipfile
with zipfile.ZipFile(sys.argv[1], "a", zipfile.ZIP_STORED) as archive:
    archive.writestr(zipfile.ZipInfo("install", (2024, 1, 1, 0, 0, 0)), "exit 0\n")
EOF
  unzip -tqq "$archive.part" >/dev/null
  mv "$archive.part" "$archive"
}

# make_bundle DIR MIB: DIR/bundle.zip, an installer bundle with MIB MiB of payload (a few
# bytes for 0).
make_bundle() {
  local dir=$1 mib=$2
  [ -s "$dir/bundle.zip" ] && return 0
  mkdir -p "$dir"
  if [ "$mib" -gt 0 ]; then
    head -c "${mib}M" /dev/urandom >"$dir/payload.bin"
  else
    printf 'a small bundle\n' >"$dir/payload.bin"
  fi
  (cd "$dir" && zip -q -0 -X bundle.zip.part payload.bin)
  rm -f "$dir/payload.bin"
  mv "$dir/bundle.zip.part" "$dir/bundle.zip"
}

# pack_launcher OUT MEMBER...: a launcher file from the current setup (or PACK_STUB), remade
# when the stub is newer. setup-pack makes it; while setup-pack cannot, Python's zipfile appends the same
# stored members with offsets counted from the start of the file.
pack_launcher() {
  local launcher=$1 stub=${PACK_STUB:-$setup}
  shift
  [ -s "$launcher" ] && [ "$launcher" -nt "$stub" ] && return 0
  rm -f "$launcher"
  if [ -x "$pack" ] && "$pack" -o "$launcher" "$stub" "$@" >>"$log" 2>&1 &&
    unzip -tqq "$launcher" >/dev/null 2>&1; then
    return 0
  fi
  echo "   (setup-pack could not make $(basename "$launcher"); packed with Python's zipfile)"
  cp "$stub" "$launcher.part"
  python3 - "$launcher.part" "$@" <<'EOF'
import os, sys, zipfile
with zipfile.ZipFile(sys.argv[1], "a", zipfile.ZIP_STORED) as archive:
    for member in sys.argv[2:]:
        archive.write(member, os.path.basename(member))
EOF
  chmod 755 "$launcher.part"
  mv "$launcher.part" "$launcher"
}

step "Inputs under $data (made once)"
make_agent "$data/agent-0M.zip" 0
for mib in "$first_mib" "$heap_small_mib" "$heap_large_mib"; do
  make_agent "$data/agent-${mib}M.zip" "$mib"
done
make_padded_agent "$data/agent-pad-${first_mib}M.zip" "$first_mib"
make_bundle "$data/bundle-0M" 0
make_bundle "$data/bundle-${bundle_mib}M" "$bundle_mib"
mkdir -p "$data/local-agent"
cp "$data/agent-0M.zip" "$data/local-agent/InstallAgent.zip"
pack_launcher "$data/launcher-small" "$data/bundle-0M/bundle.zip"
pack_launcher "$data/launcher-local-${bundle_mib}M" "$data/bundle-${bundle_mib}M/bundle.zip" \
  "$data/local-agent/InstallAgent.zip"
ls -l "$data" | sed 's/^/   /'
launcher_small="$data/launcher-small"
PACK_STUB="$setup_shared" pack_launcher "$data/launcher-small-shared" "$data/bundle-0M/bundle.zip"
launcher_small_shared="$data/launcher-small-shared"
launcher_big="$data/launcher-local-${bundle_mib}M"

# A publisher's key, the launcher file that carries it, and the first-run agent signed with it.
[ -s "$data/publisher.pub" ] ||
  minisign -G -W -p "$data/publisher.pub" -s "$data/publisher.key" >>"$log" 2>&1 </dev/null
if [ ! -s "$data/agent-signed-${first_mib}M.zip" ]; then
  cp "$data/agent-${first_mib}M.zip" "$data/agent-signed.part"
  minisign -S -s "$data/publisher.key" -m "$data/agent-signed.part" -x "$data/agent-signed.minisig" \
    -t "agent-version=1 agent-release=${cache_suffix#*/*/}" >>"$log" 2>&1 </dev/null
  "$pack" --attach-signature "$data/agent-signed.minisig" "$data/agent-signed.part"
  mv "$data/agent-signed.part" "$data/agent-signed-${first_mib}M.zip"
fi
launcher_keys="$data/launcher-small-keys"
[ -s "$launcher_keys" ] && [ "$launcher_keys" -nt "$setup" ] ||
  "$pack" -o "$launcher_keys" --agent-key "$data/publisher.pub" "$setup" \
    "$data/bundle-0M/bundle.zip" >>"$log" 2>&1

# ---------------------------------------------------------------------------------------
# The server: Debian's nginx on a free loopback port, for a bounded time. The access log
# names the connection of every request, and the user agent tells curl ("curl/...") from the
# launcher ("setup/...").

step "nginx on 127.0.0.1"
mkdir -p "$out/www" "$out/nginx/tmp"
for mib in 0 "$first_mib" "$heap_small_mib" "$heap_large_mib" "pad-$first_mib" \
  "signed-$first_mib"; do
  ln -sf "$data/agent-${mib}M.zip" "$out/www/agent-${mib}M.zip"
done
port=$(python3 -c 'import socket; s = socket.socket(); s.bind(("127.0.0.1", 0)); print(s.getsockname()[1])')
user_line=""
[ "$(id -u)" -eq 0 ] && user_line="user root;"
access_log="$out/nginx/access.log"
cat >"$out/nginx/nginx.conf" <<EOF
daemon off;
master_process off;
worker_processes 1;
$user_line
pid $out/nginx/nginx.pid;
error_log $out/nginx/error.log;
events { worker_connections 64; }
http {
  log_format bench '\$connection \$connection_requests \$request_method \$uri \$status '
                   '\$body_bytes_sent \$request_time "\$http_user_agent"';
  access_log $access_log bench;
  client_body_temp_path $out/nginx/tmp/body;
  proxy_temp_path $out/nginx/tmp/proxy;
  fastcgi_temp_path $out/nginx/tmp/fastcgi;
  uwsgi_temp_path $out/nginx/tmp/uwsgi;
  scgi_temp_path $out/nginx/tmp/scgi;
  default_type application/octet-stream;
  sendfile on;
  keepalive_timeout 30s;
  server {
    listen 127.0.0.1:$port;
    root $out/www;
  }
}
EOF
timeout 3600 nginx -e "$out/nginx/error.log" -p "$out/nginx" -c "$out/nginx/nginx.conf" &
nginx_pid=$!
cleanup() {
  kill "$nginx_pid" 2>/dev/null || true
  wait "$nginx_pid" 2>/dev/null || true
  rm -rf /tmp/qx-bench-hand /tmp/qx-bench-unpack /tmp/qx-bench-discard /tmp/qx-bench-curl
}
trap cleanup EXIT
for _ in $(seq 50); do
  curl -s -o /dev/null "http://127.0.0.1:$port/agent-0M.zip" && break
  sleep 0.1
done
url() { echo "http://127.0.0.1:$port/agent-$1M.zip"; }
echo "   serving $out/www on port $port (pid $nginx_pid)"

home="$out/home"
mkdir -p "$home"
export BENCH_QUICK=${BENCH_QUICK:-0}
timing() { python3 "$measure" time --raw "$raw" --log "$log" "$@"; }
record() { python3 "$measure" record --raw "$raw" "$@"; }

first_home="$home/first"
reference_home="$home/reference-first"
first_warm_home="$home/first-warm"
mkdir -p "$first_home" "$reference_home" "$first_warm_home"
first_launcher="HOME=$first_home QX_INTERNAL_INSTALL_AGENT_URL=$(url "$first_mib") $launcher_small"
first_prepare="rm -rf $first_home/.quenth; sync"

figure_warm() {
  step "Warm runs: cached agent current, small bundle, agent that exits at once"
  warm_home="$home/warm"
  mkdir -p "$warm_home"
  HOME="$warm_home" QX_INTERNAL_INSTALL_AGENT_URL="$(url 0)" "$launcher_small" >>"$log" 2>&1
  HOME="$warm_home" "$reference" "$launcher_small" "$(url 0)" >>"$log" 2>&1
  warm_launcher="HOME=$warm_home QX_INTERNAL_INSTALL_AGENT_URL=$(url 0) $launcher_small"
  local floor_arguments="$floor $launcher_small $warm_home/$cache_suffix/installagent/install $(url 0)"
  timing --id warm_vs_floor \
    --title "warm run" --baseline "floor (bench/floor)" --goal "<=1.05" \
    --cmd launcher "$warm_launcher" \
    --cmd floor "$floor_arguments" \
    --ratio launcher/floor --rounds "$warm_rounds" --warmup 3 --batch "$warm_batch"
  timing --id warm_vs_reference \
    --title "warm run" --baseline "reference script (bench/reference.sh)" --goal "<=0.9" \
    --cmd launcher "$warm_launcher" \
    --cmd reference "HOME=$warm_home $reference $launcher_small $(url 0)" \
    --cmd floor "$floor_arguments" \
    --cmd floor_no_shell "${floor_arguments/ / --no-shell }" \
    --cmd floor_no_tls_init "${floor_arguments/ / --no-tls-init }" \
    --ratio launcher/reference --also floor/reference --also launcher/floor \
    --also floor_no_shell/reference --also floor_no_tls_init/reference \
    --rounds "$warm_rounds" --warmup 3 --batch "$warm_batch"
}

# The static stub: its size as shipped, and a warm run against the same launcher linked
# with the system's shared libcurl, which loads and relocates its libraries at each start.
figure_stub() {
  step "The static stub: size, and a warm run against the stub with the shared libcurl"
  local size
  size=$(stat -c %s "$setup")
  record --id stub_size --title "stub size, stripped static setup" --baseline "—" \
    --goal "<=6" --unit "MiB" --value "$(awk -v b="$size" 'BEGIN { printf "%.2f", b / 1048576 }')" \
    --detail "$size B; with the shared libcurl: $(stat -c %s "$setup_shared") B and its libraries"
  warm_home="$home/warm"
  mkdir -p "$warm_home"
  HOME="$warm_home" QX_INTERNAL_INSTALL_AGENT_URL="$(url 0)" "$launcher_small" >>"$log" 2>&1
  timing --id warm_static_vs_shared \
    --title "warm run, static stub" --baseline "stub with the system's libcurl" --goal "<=0.92" \
    --cmd static "HOME=$warm_home QX_INTERNAL_INSTALL_AGENT_URL=$(url 0) $launcher_small" \
    --cmd shared "HOME=$warm_home QX_INTERNAL_INSTALL_AGENT_URL=$(url 0) $launcher_small_shared" \
    --ratio static/shared --rounds "$warm_rounds" --warmup 3 --batch "$warm_batch"
}

figure_extraction() {
  step "Extraction: ${bundle_mib} MiB bundle with a local agent"
  hand=/tmp/qx-bench-hand
  by_hand="mkdir $hand && unzip -qq $launcher_big -d $hand && unzip -qq -o $hand/InstallAgent.zip -d $hand && sh $hand/install -installbundle $hand/bundle.zip; rm -rf $hand"
  timing --id extraction \
    --title "extraction, ${bundle_mib} MiB bundle, local agent" \
    --baseline "the same commands typed in sh" --goal "<=1.05" \
    --cmd launcher "HOME=$home/extraction $launcher_big" \
    --cmd by_hand "sh -c '$by_hand'" \
    --prepare launcher "sync" --prepare by_hand "rm -rf $hand; sync" \
    --ratio launcher/by_hand --rounds "$rounds" --warmup 1
}

figure_first_run() {
  step "First run: ${first_mib} MiB agent archive over HTTP"
  timing --id first_run \
    --title "first run, ${first_mib} MiB agent from nginx" \
    --baseline "reference script" --goal "<=1.0" \
    --cmd launcher "$first_launcher" \
    --cmd reference "HOME=$reference_home $reference $launcher_small $(url "$first_mib")" \
    --prepare launcher "$first_prepare" \
    --prepare reference "rm -rf $reference_home/.reference-agent-cache; sync" \
    --ratio launcher/reference --rounds "$rounds" --warmup 1
}

# The launcher's download time, taken from outside: a first run less a warm run with the
# same agent, less a separate unpack of the archive and a separate removal of a fresh copy
# (the run's work directory holds one). The archive of this figure is a small agent after
# MIB MiB of padding, its offsets counted from the start of the file like those of a
# launcher file, so that unzip reads only its end and the subtraction leaves the transfer.
# curl's time is a GET to a file less a HEAD. The figure is the ratio of the rates, curl's
# time over the launcher's. The second row takes both GETs' times from nginx's log.
figure_download() {
  step "Download alone: ${first_mib} MiB, launcher against curl -o"
  local padded
  padded=$(url "pad-$first_mib")
  local first="HOME=$first_home QX_INTERNAL_INSTALL_AGENT_URL=$padded $launcher_small"
  local warm="HOME=$first_warm_home QX_INTERNAL_INSTALL_AGENT_URL=$padded $launcher_small"
  HOME="$first_warm_home" QX_INTERNAL_INSTALL_AGENT_URL="$padded" "$launcher_small" >>"$log" 2>&1
  local log_start
  log_start=$(wc -l <"$access_log")
  local unpack=/tmp/qx-bench-unpack discard=/tmp/qx-bench-discard curl_dir=/tmp/qx-bench-curl
  timing --id download \
    --title "download alone, ${first_mib} MiB: launcher's rate" \
    --baseline "curl -o of the same URL (rate)" --goal ">=0.95" \
    --cmd first "$first" \
    --cmd warm "$warm" \
    --cmd unpack "unzip -qq -o $data/agent-pad-${first_mib}M.zip -d $unpack" \
    --cmd discard "rm -rf $discard" \
    --cmd curl_get "curl -s -o $curl_dir/InstallAgent.zip $padded" \
    --cmd curl_head "curl -s -I -o /dev/null $padded" \
    --prepare first "$first_prepare" \
    --prepare unpack "rm -rf $unpack; sync" \
    --prepare discard "rm -rf $discard; mkdir $discard; cp $data/agent-pad-${first_mib}M.zip $discard/InstallAgent.zip" \
    --prepare curl_get "rm -rf $curl_dir; mkdir -p $curl_dir; sync" \
    --ratio "curl_get-curl_head/first-warm-unpack-discard" --rounds "$rounds" --warmup 1
  python3 - "$access_log" "$log_start" "$first_mib" >"$scratch/nginx-times" <<'EOF'
import statistics, sys
path, start, mib = sys.argv[1], int(sys.argv[2]), int(sys.argv[3])
times = {"launcher": [], "curl": []}
for line in open(path).readlines()[start:]:
    words = line.split()
    if words[2] != "GET" or int(words[5]) < mib * 1048576:
        continue
    times["curl" if words[7].startswith('"curl/') else "launcher"].append(float(words[6]))
# The GETs come in rounds, one of each: pair them in order, as measure.py pairs its runs.
ratios = [c / l for l, c in zip(times["launcher"], times["curl"]) if l > 0]
print("%.4f %.4f %.4f %d %.3f %.3f" % (statistics.median(ratios), min(ratios), max(ratios),
      len(ratios), statistics.median(times["launcher"]), statistics.median(times["curl"])))
EOF
  local ratio low high pairs launcher_s curl_s
  read -r ratio low high pairs launcher_s curl_s <"$scratch/nginx-times"
  record --id download_nginx --title "download alone, ${first_mib} MiB, as nginx saw it" \
    --baseline "curl -o (rate)" --goal ">=0.95" --value "$ratio" --min "$low" --max "$high" \
    --pairs "$pairs" \
    --detail "median \$request_time of the GETs, warm-up included: launcher $launcher_s s, curl $curl_s s"
}

figure_connections() {
  step "Connections of a first run"
  connections_home="$home/connections"
  mkdir -p "$connections_home"
  log_start=$(wc -l <"$access_log")
  HOME="$connections_home" QX_INTERNAL_INSTALL_AGENT_URL="$(url "$heap_small_mib")" "$launcher_small" >>"$log" 2>&1
  sleep 0.2
  requests=$(tail -n +"$((log_start + 1))" "$access_log")
  connection_count=$(printf '%s\n' "$requests" | awk '{print $1}' | sort -u | wc -l)
  record --id connections --title "connections for a first run" --baseline "—" --goal "==1" \
    --value "$connection_count" \
    --detail "requests seen: $(printf '%s\n' "$requests" | awk '{printf "%s%s on connection %s", sep, $3, $1; sep="; "}')"
}

figure_heap() {
  step "Heap of the launcher (valgrind massif): ${heap_small_mib} MiB and ${heap_large_mib} MiB agents"
  # massif counts the heap by replacing malloc in a shared library, which a static program
  # does not load: the same code with the shared libcurl stands in.
  heap_peak() {
    local mib=$1 heap_home="$home/heap-$1"
    mkdir -p "$heap_home"
    HOME="$heap_home" QX_INTERNAL_INSTALL_AGENT_URL="$(url "$mib")" \
      valgrind --tool=massif --peak-inaccuracy=0 --massif-out-file="$out/massif-${mib}M.out" \
      "$launcher_small_shared" >>"$log" 2>&1
    python3 - "$out/massif-${mib}M.out" <<'EOF'
import re, sys
peak = 0
heap = extra = 0
for line in open(sys.argv[1]):
    match = re.match(r"mem_heap_(extra_)?B=(\d+)", line)
    if match:
        if match.group(1):
            extra = int(match.group(2))
            peak = max(peak, heap + extra)
        else:
            heap = int(match.group(2))
print(peak)
EOF
  }
  peak_small=$(heap_peak "$heap_small_mib")
  peak_large=$(heap_peak "$heap_large_mib")
  record --id heap --title "heap peak, ${heap_small_mib} MiB vs ${heap_large_mib} MiB agent" \
    --baseline "each other" --goal "<=65536" --unit "B difference" \
    --value "$((peak_large > peak_small ? peak_large - peak_small : peak_small - peak_large))" \
    --detail "massif peak (heap plus allocator overhead): $peak_small B with ${heap_small_mib} MiB, $peak_large B with ${heap_large_mib} MiB"
}

figure_pack() {
  step "setup-pack of a ${pack_mib} MiB bundle against cat (bench/pack_vs_cat.sh)"
  pack_rounds=$((rounds < 5 ? 5 : rounds))
  if [ "${BENCH_PACK:-1}" = 0 ]; then
    record --id pack_vs_cat --title "setup-pack, ${pack_mib} MiB bundle" \
      --baseline "cat of the same inputs" --goal "<=1.3" --value 0 --gap \
      --detail "skipped (BENCH_PACK=0)"
  elif [ -x "$here/pack_vs_cat.sh" ] && [ -x "$pack" ] &&
    BENCH_MEASURE="$measure" BENCH_RAW="$raw" BENCH_LOG="$log" BENCH_DATA="$data" \
      BENCH_PACK_MIB="$pack_mib" BENCH_ROUNDS="$pack_rounds" \
      "$here/pack_vs_cat.sh" "$build" >>"$log" 2>&1; then
    tail -n 1 "$log" | sed 's/^/   /'
  else
    record --id pack_vs_cat --title "setup-pack, ${pack_mib} MiB bundle" \
      --baseline "cat of the same inputs" --goal "<=1.3" --value 0 --gap \
      --detail "GAP: not measured: bench/pack_vs_cat.sh or setup-pack is missing or failed (see bench/commands.log in the build tree)"
  fi
}

# The cost of verifying a downloaded agent: the signed-bytes hash of a first-run-sized body fed
# in libcurl-sized pieces, against OpenSSL's BLAKE2b-512 of the same bytes in one call.
figure_verify() {
  step "Verification: the signed-bytes hash of ${first_mib} MiB in 16 KiB pieces"
  local output
  output=$("$build/bench/signed_bytes_hash" "$first_mib" 16384)
  echo "$output" >>"$log"
  record --id verify_hash --title "signed-bytes hash, ${first_mib} MiB in 16 KiB pieces" \
    --baseline "BLAKE2b-512 in one call" --goal "<=1.1" \
    --value "$(sed -n 's/.*hasher\/one call \([0-9.]*\).*/\1/p' <<<"$output")" \
    --detail "$(head -n 1 <<<"$output" | sed 's/^[^:]*: //')"
}

# A first run with a signed agent against the same run with the same agent unsigned, by a
# launcher file without keys: what verification adds to a run, the hash while the body
# arrives and the checks after it. The cost per MiB is the difference of the medians.
figure_signed() {
  step "First run: ${first_mib} MiB agent, signed and verified against unsigned"
  local signed_home="$home/signed-first"
  mkdir -p "$signed_home"
  timing --id signed_first_run \
    --title "first run, ${first_mib} MiB signed agent, verified" \
    --baseline "the same agent unsigned, launcher without keys" --goal "<=1.10" \
    --cmd signed "HOME=$signed_home QX_INTERNAL_INSTALL_AGENT_URL=$(url "signed-$first_mib") $launcher_keys" \
    --cmd unsigned "$first_launcher" \
    --prepare signed "rm -rf $signed_home/.quenth; sync" \
    --prepare unsigned "$first_prepare" \
    --ratio signed/unsigned --rounds "$rounds" --warmup 1
  # The goal per MiB is the 10 % that the ratio allows, spread over the archive.
  local cost goal
  read -r cost goal < <(python3 -c 'import json, sys
seconds = [json.loads(line) for line in open(sys.argv[1])][-1]["median_seconds"]
mib = int(sys.argv[2])
print("%.3f %.3f" % ((seconds["signed"] - seconds["unsigned"]) * 1000 / mib,
                     seconds["unsigned"] * 100 / mib))' "$raw" "$first_mib")
  record --id signed_cost --title "verification of a downloaded agent, per MiB" \
    --baseline "—" --goal "<=$goal" --unit "ms/MiB" --value "$cost" \
    --detail "the difference of the median first runs above, over ${first_mib} MiB; the goal is 10 % of the unsigned run, per MiB"
}

# The bytes moved when the first GET of an agent is reset at 60 %: once within one run, whose
# retry asks for the rest with a Range, and once across two runs, the first with no retry
# left, whose cache keeps the partial download for the second. Either way the archive
# should cross the link about once. nginx cannot cut a transfer, so the scripted test
# server serves these, and counts the body bytes it sent.
resume_bytes() {
  local id=$1 title=$2 first_retries=$3 archive="$data/agent-${resume_mib}M.zip"
  local dir="$out/$id" status=0
  rm -rf "$dir"
  mkdir -p "$dir/home"
  python3 "$repo/tests/support/scripted_server.py" --serve-file "$archive" --etag '"resume"' \
    --ranges --cut-first-get 0.6 --port-file "$dir/port" --count-file "$dir/sent" \
    --log "$dir/requests.jsonl" --lifetime 600 >>"$log" 2>&1 &
  local server=$!
  for _ in $(seq 100); do
    [ -s "$dir/port" ] && break
    sleep 0.1
  done
  local url="http://127.0.0.1:$(cat "$dir/port")/agent"
  if [ -n "$first_retries" ]; then
    HOME="$dir/home" QX_INTERNAL_INSTALL_AGENT_URL="$url" QX_DOWNLOAD_RETRIES="$first_retries" \
      "$launcher_small" >>"$log" 2>&1 || true
  fi
  HOME="$dir/home" QX_INTERNAL_INSTALL_AGENT_URL="$url" "$launcher_small" >>"$log" 2>&1 ||
    status=$?
  kill "$server"
  wait "$server" || true
  [ "$status" -eq 0 ] || { echo "run-bench.sh: the resumed run failed ($status)" >&2; exit 1; }
  local size sent requests
  size=$(stat -c %s "$archive")
  sent=$(cat "$dir/sent")
  requests=$(python3 -c 'import json, sys
for line in open(sys.argv[1]):
    request = json.loads(line)
    ranges = [value for name, value in request["headers"] if name.lower() == "range"]
    print(" ".join([request["method"]] + ranges), end="; ")' "$dir/requests.jsonl")
  record --id "$id" --title "$title" \
    --baseline "the archive's size" --goal "<=1.05" --unit "× the archive" \
    --value "$(awk -v s="$sent" -v a="$size" 'BEGIN { printf "%.4f", s / a }')" \
    --detail "$sent B of bodies sent for an archive of $size B; requests: ${requests%; }"
}

figure_resume() {
  step "Resumed download: ${resume_mib} MiB agent, the first GET reset at 60 %"
  make_agent "$data/agent-${resume_mib}M.zip" "$resume_mib"
  resume_bytes resume_bytes \
    "bytes moved by a run that resumes a ${resume_mib} MiB agent cut once at 60 %" ""
  resume_bytes resume_across_runs_bytes \
    "bytes moved by a run cut at 60 % of a ${resume_mib} MiB agent and the run after it" 0
}

# BENCH_ONLY, a list of figure groups (warm stub extraction first_run download connections
# heap pack verify signed resume), runs only those.
for figure in warm stub extraction first_run download connections heap pack verify signed \
  resume; do
  case " ${BENCH_ONLY:-$figure} " in
    *" $figure "*) "figure_$figure" ;;
  esac
done

# ---------------------------------------------------------------------------------------
step "Results"
cpu=$(grep -m1 'model name' /proc/cpuinfo | sed 's/.*: //')
heading="Measured $(date -u '+%Y-%m-%d %H:%M UTC') at commit $(git -C "$repo" describe --always --dirty 2>/dev/null || echo unknown) on $(nproc) cores, $cpu, Linux $(uname -r)."
python3 "$measure" report --raw "$raw" --out "$results" --heading "$heading"
echo
echo "Written: $results and $raw"
