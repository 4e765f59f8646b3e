#!/bin/bash
# Whether two builds of kestrune-render record the same: four OpenMSX songs
# in twelve formats and containers (fixed and automatic tails, a gain to a
# loudness, float and 8-bit depths), by each build, compared file by file;
# Ogg and Opus by their decoded samples (their stream serial numbers are
# random). Then the CPU, wall time and peak memory each takes against
# fluidsynth -F on two long songs (medians of N runs taken in turns).
#
#   bench/same_outputs.sh BEFORE_DIR AFTER_DIR [N]
#
# Each DIR holds a kestrune-render with a devices.ini beside it (a copy of
# build/tests/devices.ini: the TimGM6mb SoundFont, no output).
set -euo pipefail
before=$(realpath "$1")
after=$(realpath "$2")
runs=${3:-3}
music=/usr/share/games/openttd/baseset/openmsx
work=$(mktemp -d /tmp/kestrune-same-XXXXXX)
trap 'rm -rf "$work"' EXIT

record() { # DIR OUT
    local program=$1/kestrune-render out=$2 name args
    while read -r name args; do
        mkdir -p "$out/$name"
        # shellcheck disable=SC2086
        "$program" --quiet -j 2 $args -o "$out/$name" "$music"/busy_schedule.mid \
            "$music"/chemistry_lab.mid "$music"/coconut_run2.mid "$music"/5432gone_redfarn.mid
    done <<'LIST'
q0 -q 0
q5 -q 5 --tail 1
q10 -q 10 --tail 0
f48 -q 48000/24/stereo
flac --format flac
flac24 -q 48000/24/stereo --format flac --tail 2
f96 -q 96000/float/stereo
ogg --format ogg
opus --format opus
aiff --format aiff --bits 8
norm -q 0 --normalize -16
mono32 -q 32000/32/mono --reverb off
LIST
    (cd "$out" && find . -type f | sort | while read -r f; do
        case $f in
        *.ogg | *.opus) echo "$(ffmpeg -nostdin -v quiet -i "$f" -f f32le - | md5sum | cut -d' ' -f1) $f" ;;
        *) md5sum "$f" ;;
        esac
    done)
}

record "$before" "$work/before" >"$work/before.md5"
record "$after" "$work/after" >"$work/after.md5"
if diff "$work/before.md5" "$work/after.md5"; then
    echo "the same: $(wc -l <"$work/before.md5") outputs"
else
    echo "DIFFERENT outputs (above)"
fi

/usr/bin/python3 - "$before" "$after" "$runs" "$music" "$work" <<'PY'
import os, statistics, subprocess, sys, time
before, after, runs, music, work = sys.argv[1], sys.argv[2], int(sys.argv[3]), sys.argv[4], sys.argv[5]
def run(command):
    """CPU seconds, wall seconds and peak memory (MB) of a command and what it waited for."""
    began = time.monotonic()
    child = subprocess.Popen(command, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    _, status, usage = os.wait4(child.pid, 0)
    assert os.waitstatus_to_exitcode(status) == 0, command
    return usage.ru_utime + usage.ru_stime, time.monotonic() - began, usage.ru_maxrss / 1024
for song in ["busy_schedule.mid", "keep_on_rolling.mid"]:
    for name, args, kind in [("WAV 16/44100", ["-q", "0"], "wav"),
                             ("FLAC 16/44100", ["-q", "0", "--format", "flac"], "flac")]:
        runsOf = {"fluidsynth": [], "before": [], "after": []}
        for _ in range(runs):
            runsOf["fluidsynth"].append(run(["fluidsynth", "-ni", "-r", "44100", "-T", kind, "-F",
                                             f"{work}/f.{kind}", "/usr/share/sounds/sf2/TimGM6mb.sf2",
                                             f"{music}/{song}"]))
            for which, folder in [("before", before), ("after", after)]:
                runsOf[which].append(run([f"{folder}/kestrune-render", "--quiet", "-j", "1", "--tail",
                                          "0", *args, "-o", f"{work}/{which}", f"{music}/{song}"]))
        median = {k: [statistics.median(r[i] for r in v) for i in range(3)] for k, v in runsOf.items()}
        f = median["fluidsynth"][0]
        line = f"{song:20s} {name:14s}"
        for which in ["fluidsynth", "before", "after"]:
            cpu, wall, peak = median[which]
            line += f"  {which} {cpu:6.3f} s CPU ({cpu / f:.3f}x), {wall:6.3f} s, {peak:5.1f} MB"
        print(line, flush=True)
PY
