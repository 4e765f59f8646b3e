#!/bin/bash
# What --stems costs: the whole OpenMSX set rendered once plainly and once
# with its stems, one file at a time (CPU seconds, and the peak memory of a
# worker), then both again with -j 2 (wall time).
#
#   bench/stems.sh [BUILD_DIR]
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

read -r plainCpu plainPeak _ < <(run plain 1)
read -r stemsCpu stemsPeak _ < <(run stems 1 --stems)
read -r _ _ plainWall < <(run plain 2)
read -r _ _ stemsWall < <(run stems 2 --stems)
stems=$(find "$work/stems" -name '*.wav' -path '*.stems/*' | wc -l)
echo "files: $(ls "$music"/*.mid | wc -l), stems: $stems"
echo "CPU, one job: plain ${plainCpu} s, stems ${stemsCpu} s ($(echo "scale=2; $stemsCpu / $plainCpu" | bc)x)"
echo "peak memory of the program: plain $((plainPeak / 1024)) MB, stems $((stemsPeak / 1024)) MB"
echo "wall, -j 2: plain ${plainWall} s, stems ${stemsWall} s"
