#!/bin/bash
# How seamless a loop file is, and what it costs: five OpenMSX songs with a
# loop given by hand, from 10 s to 40 s. The seam's residual is the loop
# file's pass followed by itself against the second and third passes of the
# loop played on (--loops 3), in dB under their level: with the effects on
# (the chorus's delay is modulated, and so are the reverb's delay lines),
# with the reverb off, and with both off. The CPU is --loop-file's against a
# plain render of the song, each per second of music rendered.
#
#   bench/loops.sh [BUILD_DIR]
set -euo pipefail
build=$(realpath "${1:-build}")
music=/usr/share/games/openttd/baseset/openmsx
work=$(mktemp -d /tmp/kestrune-loops-XXXXXX)
trap 'rm -rf "$work"' EXIT
cp "$build"/tests/devices.ini "$work"/
cd "$work"
render() { "$build/kestrune-render" --quiet -q 44100/float/stereo --tail 0 --loop 10-40 "$@"; }
cpu() { # ARGS...: CPU seconds of a render
    /usr/bin/time -f "%U %S" -o time "$build/kestrune-render" --quiet --tail 0 "$@"
    awk '{ print $1 + $2 }' time
}
rms() { sox -V1 "$@" -n stat 2>&1 | awk '/RMS +amplitude/ { print $3 }'; }
field() { sed -n "s/.*\"$1\":\([0-9]*\).*/\1/p" report.jsonl; }

printf '%-18s %10s %10s %10s %10s %12s %12s\n' song "pass" "effects" "no reverb" "none" \
    "loop CPU/s" "plain CPU/s"
for name in keep_on_rolling busy_schedule 5432gone_redfarn tttheme2 chuggachugga; do
    song=$music/$name.mid
    seam=()
    for effects in "" "--reverb off" "--reverb off --chorus off"; do
        # shellcheck disable=SC2086
        render $effects --loops 3 -o looped.wav "$song"
        rm -f report.jsonl
        # shellcheck disable=SC2086
        render $effects --loop-file --report report.jsonl -o loop.wav "$song"
        start=$(field loop_start_frames)
        length=$(field loop_length_frames)
        sox -V1 loop.wav pass.wav trim "${start}s"
        sox -V1 pass.wav pass.wav twice.wav
        sox -V1 looped.wav played.wav trim "$((start + length))s" "$((2 * length))s"
        residual=$(rms -m -v 1 twice.wav -v -1 played.wav)
        level=$(rms played.wav)
        seam+=("$(echo "20 * l($residual / $level) / l(10)" | bc -l | xargs printf '%.1f dB')")
    done
    # The loop file renders its intro and two passes, the plain render the song.
    rendered=$(echo "($start + 2 * $length) / 44100" | bc -l)
    loopCpu=$(cpu --loop 10-40 --loop-file -o l.wav "$song")
    plainCpu=$(cpu -o p.wav "$song")
    plainSeconds=$(soxi -V1 -D p.wav)
    printf '%-18s %10s %10s %10s %10s %12.4f %12.4f\n' "$name" "$length" "${seam[@]}" \
        "$(echo "$loopCpu / $rendered" | bc -l)" "$(echo "$plainCpu / $plainSeconds" | bc -l)"
done
