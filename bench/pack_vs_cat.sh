#!/usr/bin/env bash
# Times setup-pack making a launcher file of a 1 GiB bundle against cat of the same two inputs
# into one file, the least any packer must do. The two run alternately in pairs after a
# warm-up, each on a cold output and a flushed disk, and the median of the per-pair ratios is
# the figure (absolute times drift on a shared machine; a ratio taken side by side does not).
#
# Usage: bench/pack_vs_cat.sh BUILD_DIR [PAIRS]
# Prints the raw times and the summary; keeps the raw times in BUILD_DIR/bench/pack_vs_cat.tsv.
set -euo pipefail

build=${1:?usage: bench/pack_vs_cat.sh BUILD_DIR [PAIRS]}
pairs=${2:-7}
pack="$build/tools/setup-pack/setup-pack"
stub="$build/src/setup"
for program in "$pack" "$stub"; do
  if [ ! -x "$program" ]; then
    echo "pack_vs_cat: $program is missing; build first" >&2
    exit 1
  fi
done
if [ "$pairs" -lt 5 ]; then
  echo "pack_vs_cat: at least 5 pairs are needed for a median worth quoting" >&2
  exit 1
fi

mkdir -p "$build/bench"
work=$(mktemp -d "$build/bench/pack_vs_cat.XXXXXX")
trap 'rm -rf "$work"' EXIT
bundle="$work/bundle.zip"
output="$work/launcher"
raw="$build/bench/pack_vs_cat.tsv"

# Random bytes: no holes and nothing a file system could share between input and output.
head -c 1G /dev/urandom > "$bundle"

# Seconds one command takes, its output removed and earlier writes flushed beforehand so that
# neither side pays for the other's write-back.
time_one() {
  rm -f "$output"
  sync
  local start=$EPOCHREALTIME
  "$@"
  local end=$EPOCHREALTIME
  echo "$start $end" | awk '{ printf "%.4f\n", $2 - $1 }'
}
run_pack() { "$pack" -o "$output" "$stub" "$bundle"; }
run_cat() { cat "$stub" "$bundle" > "$output"; }

# Warm-up: the inputs into the page cache, both programs loaded once.
time_one run_pack > /dev/null
time_one run_cat > /dev/null
expected_size=$(( $(stat -c %s "$stub") + $(stat -c %s "$bundle") + 170 ))
run_pack
if [ "$(stat -c %s "$output")" -ne "$expected_size" ]; then
  echo "pack_vs_cat: setup-pack wrote a launcher file of the wrong size" >&2
  exit 1
fi

printf 'pair\tsetup_pack_s\tcat_s\tratio\n' > "$raw"
for pair in $(seq 1 "$pairs"); do
  # Which one goes first alternates, so that neither always meets the other's leftovers.
  if [ $((pair % 2)) -eq 1 ]; then
    pack_s=$(time_one run_pack)
    cat_s=$(time_one run_cat)
  else
    cat_s=$(time_one run_cat)
    pack_s=$(time_one run_pack)
  fi
  ratio=$(awk -v p="$pack_s" -v c="$cat_s" 'BEGIN { printf "%.3f", p / c }')
  printf '%s\t%s\t%s\t%s\n' "$pair" "$pack_s" "$cat_s" "$ratio" >> "$raw"
done
rm -f "$output"

cat "$raw"
median() { sort -g | awk '{ v[NR] = $1 } END { print (NR % 2) ? v[(NR + 1) / 2] : (v[NR / 2] + v[NR / 2 + 1]) / 2 }'; }
ratio_median=$(tail -n +2 "$raw" | cut -f4 | median)
ratio_min=$(tail -n +2 "$raw" | cut -f4 | sort -g | head -1)
ratio_max=$(tail -n +2 "$raw" | cut -f4 | sort -g | tail -1)
pack_median=$(tail -n +2 "$raw" | cut -f2 | median)
cat_median=$(tail -n +2 "$raw" | cut -f3 | median)
echo "setup-pack vs cat, 1 GiB bundle: median ratio $ratio_median" \
  "(spread $ratio_min to $ratio_max over $pairs pairs;" \
  "median times ${pack_median} s and ${cat_median} s; goal at most 1.3)"
