#!/bin/bash
# Times setup-pack making a launcher file of a 1 GiB bundle against cat of the same two inputs
# into one file, the least any packer must do (goal: at most 1.3). bench/measure.py runs the
# two alternately after a warm-up, the output removed and the disk flushed before each run
# and the inputs read into the page cache (untimed), so neither pays for the other's
# write-back or finds its input on disk; the figure is the median of the
# per-round ratios, the spread their minimum and maximum. Both commands start through
# `sh -c exec`, so the shell's start costs both sides alike.
#
# Usage: bench/pack_vs_cat.sh BUILD_DIR
# Environment (all optional; bench/run-bench.sh sets them): BENCH_PACK_MIB (1024),
# BENCH_ROUNDS (7), BENCH_RAW (the JSON lines file the figure is appended to; default
# BUILD_DIR/bench/pack_vs_cat.jsonl, written afresh), BENCH_DATA (keeps the bundle for later
# runs), BENCH_LOG, BENCH_MEASURE (bench/measure.py).
set -euo pipefail

if [ $# -ne 1 ]; then
  echo "usage: $0 BUILD_DIR" >&2
  exit 2
fi
build=$(cd "$1" && pwd)
here=$(cd "$(dirname "$0")" && pwd)
pack="$build/tools/setup-pack/setup-pack"
stub="$build/src/setup"
measure=${BENCH_MEASURE:-$here/measure.py}
mib=${BENCH_PACK_MIB:-1024}
rounds=${BENCH_ROUNDS:-7}
for program in "$pack" "$stub"; do
  if [ ! -x "$program" ]; then
    echo "pack_vs_cat: $program is missing; build first" >&2
    exit 1
  fi
done

mkdir -p "$build/bench"
work=$(mktemp -d "$build/bench/pack_vs_cat.XXXXXX")
trap 'rm -rf "$work"' EXIT
if [ -n "${BENCH_RAW:-}" ]; then
  raw=$BENCH_RAW
else
  raw="$build/bench/pack_vs_cat.jsonl"
  : > "$raw"
fi
if [ -n "${BENCH_DATA:-}" ]; then
  mkdir -p "$BENCH_DATA"
  bundle="$BENCH_DATA/pack-bundle-${mib}MiB.zip"
else
  bundle="$work/bundle.zip"
fi
output="$work/launcher"

# Random bytes: no holes, which setup-pack would skip and cat would copy.
if [ ! -f "$bundle" ] || [ "$(stat -c %s "$bundle")" -ne $((mib * 1024 * 1024)) ]; then
  head -c "$((mib * 1024 * 1024))" /dev/urandom > "$bundle.part"
  mv "$bundle.part" "$bundle"
fi

# What is timed must be a correct launcher file.
"$pack" -o "$output" "$stub" "$bundle"
if [ "$(stat -c %s "$output")" -ne $(($(stat -c %s "$stub") + $(stat -c %s "$bundle") + 170)) ] ||
   ! unzip -tqq "$output" > /dev/null; then
  echo "pack_vs_cat: setup-pack made no valid launcher file" >&2
  exit 1
fi

quoted() { printf "'%s'" "${1//\'/\'\\\'\'}"; }
# The inputs are read into the page cache right before each run: this machine reclaims idle
# cache within seconds, and a run that found its input on disk would time the disk instead.
prepare="rm -f $(quoted "$output") && cat $(quoted "$stub") $(quoted "$bundle") > /dev/null && sync"
python3 "$measure" time --raw "$raw" --id pack_vs_cat \
  --title "setup-pack, ${mib} MiB bundle" --baseline "cat of the same inputs" --goal "<=1.3" \
  --cmd pack "sh -c 'exec \"\$0\" -o \"\$1\" \"\$2\" \"\$3\"' $(quoted "$pack") $(quoted "$output") $(quoted "$stub") $(quoted "$bundle")" \
  --cmd cat "sh -c 'exec cat \"\$0\" \"\$1\" > \"\$2\"' $(quoted "$stub") $(quoted "$bundle") $(quoted "$output")" \
  --prepare pack "$prepare" --prepare cat "$prepare" \
  --ratio pack/cat --rounds "$rounds" --warmup 1 ${BENCH_LOG:+--log "$BENCH_LOG"} \
  --detail "each round: setup-pack -o OUT STUB BUNDLE and cat STUB BUNDLE > OUT, alternating; before each, untimed: output removed, inputs read into the page cache, disk synced"

python3 - "$raw" <<'EOF'
import json, sys
entry = [json.loads(line) for line in open(sys.argv[1]) if '"pack_vs_cat"' in line][-1]
print("pack/cat per round:", " ".join("%.3f" % r["ratio"] for r in entry["rounds"]))
print("setup-pack vs cat: median ratio %.3f, spread %.3f to %.3f over %d rounds "
      "(median %.3f s against %.3f s; goal at most 1.3)" % (
          entry["value"], entry["min"], entry["max"], len(entry["rounds"]),
          entry["median_seconds"]["pack"], entry["median_seconds"]["cat"]))
EOF
