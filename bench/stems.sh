#!/bin/bash
# What --stems and --stems dry cost: the whole OpenMSX set rendered plainly,
# with its stems and with its dry stems, one file at a time (CPU seconds,
# and the peak memory of a worker), in ROUNDS rounds of the three in turn so
# that a machine whose speed drifts weighs on each alike; then each again
# with -j 2 (wall time).
#
#   bench/stems.sh [BUILD_DIR] [ROUNDS]
set -euo pipefail
build=$(realpath "${1:-build}")
music=/usr/share/games/openttd/baseset/openmsx
work=$(mktemp -d /tmp/kestrune-stems-XXXXXX)
trap 'rm -rf "$work"' EXIT
cp "$build"/tests/devices.ini "$work"/ 2>/dev/null || true

run() { # NAME JOBS ARGS...: "cpu-seconds peak-kB wall-seconds"
    local name=$1 jobs=$2
    shift 2
    rm -rf "${work:?}/$name"
    /usr/bin/time -f "%U %S %M %e" -o "$work/time" \
        "$build/kestrune-render" --quiet -j "$jobs" --tail 0 -o "$work/$name" "$@" "$music"/*.mid
    awk '{ printf "%.1f %d %.1f\n", $1 + $2, $3, $4 }' "$work/time"
}

rounds=${2:-2}
plainCpu=0 stemsCpu=0 dryCpu=0
for ((i = 1; i <= rounds; i++)); do
    read -r plain plainPeak _ < <(run plain 1)
    read -r stems stemsPeak _ < <(run stems 1 --stems)
    read -r dry dryPeak _ < <(run dry 1 --stems=dry)
    echo "round $i: plain $plain s, stems $stems s, dry $dry s" \
        "($(echo "scale=2; $stems / $plain" | bc)x, $(echo "scale=2; $dry / $plain" | bc)x)"
    plainCpu=$(echo "$plainCpu + $plain" | bc)
    stemsCpu=$(echo "$stemsCpu + $stems" | bc)
    dryCpu=$(echo "$dryCpu + $dry" | bc)
done
read -r _ _ plainWall < <(run plain 2)
read -r _ _ stemsWall < <(run stems 2 --stems)
read -r _ _ dryWall < <(run dry 2 --stems=dry)
stems=$(find "$work/stems" -name '*.wav' -path '*.stems/*' | wc -l)
dry=$(find "$work/dry" -name '*.wav' -path '*.stems/*' | wc -l)
ratio() { echo "scale=2; $1 / $plainCpu" | bc; }
echo "files: $(ls "$music"/*.mid | wc -l), stems: $stems, dry stems: $dry"
echo "CPU, one job, all rounds: plain ${plainCpu} s, stems ${stemsCpu} s ($(ratio "$stemsCpu")x)," \
    "dry ${dryCpu} s ($(ratio "$dryCpu")x)"
echo "peak memory of the program: plain $((plainPeak / 1024)) MB, stems $((stemsPeak / 1024)) MB," \
    "dry $((dryPeak / 1024)) MB"
echo "wall, -j 2: plain ${plainWall} s, stems ${stemsWall} s, dry ${dryWall} s"
