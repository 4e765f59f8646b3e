#!/bin/bash
# What a live batch costs, on a private JACK dummy server with a fluidsynth of
# its own as the instrument:
#   1. a batch of the N shortest OpenMSX songs: its wall time against the
#      sum of the recordings' lengths (the overhead a song: the reset, the
#      wait for the ring-out, the start), and kestrune-render's CPU per
#      second of audio;
#   2. a song of MINUTES minutes with a wood block every ten seconds: where
#      the last one lands in the recording against where it belongs, and
#      the drift the report gives.
#
#   bench/live.sh [BUILD_DIR] [N] [MINUTES]
set -euo pipefail
build=$(realpath "${1:-build}")
count=${2:-3}
minutes=${3:-10}
music=/usr/share/games/openttd/baseset/openmsx
soundfont=/usr/share/sounds/sf2/TimGM6mb.sf2
work=$(mktemp -d /tmp/kestrune-live-XXXXXX)
export JACK_DEFAULT_SERVER=kestrune_bench JACK_NO_AUDIO_RESERVATION=1
jackd --no-realtime -n kestrune_bench -d dummy -r 44100 -p 256 >"$work/jackd.log" 2>&1 &
jackd=$!
synth=
cleanup() {
    [ -n "$synth" ] && kill "$synth" 2>/dev/null
    kill "$jackd" 2>/dev/null
    wait 2>/dev/null || true
    rm -rf "$work"
}
trap cleanup EXIT
for _ in $(seq 100); do jack_lsp >/dev/null 2>&1 && break; sleep 0.1; done
sleep 3600 | fluidsynth -m jack -a jack -r 44100 -o midi.jack.id=Bench -o audio.jack.id=Bench \
    "$soundfont" >"$work/fluidsynth.log" 2>&1 &
synth=$!
for _ in $(seq 100); do jack_lsp 2>/dev/null | grep -q Bench:midi_00 && break; sleep 0.1; done
cp "$build"/tests/devices.ini "$work"/ 2>/dev/null || true

live() { # REPORT ARGS...: prints "cpu-seconds wall-seconds"
    local report=$1
    shift
    /usr/bin/time -f "%U %S %e" -o "$work/time" "$build/kestrune-render" --quiet --live \
        --calibrate --midi-port Bench:midi_00 --input Bench:left,Bench:right --tail auto \
        --no-mp3 --report "$report" -o "$work/out" "$@"
    awk '{ printf "%.2f %.1f\n", $1 + $2, $3 }' "$work/time"
}

# 1. The batch.
mapfile -t songs < <(for f in "$music"/*.mid; do
    printf '%s %s\n' "$(stat -c %s "$f")" "$f"
done | sort -n | head -n "$count" | cut -d' ' -f2-)
read -r cpu wall < <(live "$work/batch.jsonl" "${songs[@]}")
audio=$(python3 -c "
import json, sys
print(sum(json.loads(l)['seconds'] for l in open(sys.argv[1])))" "$work/batch.jsonl")
echo "batch of ${#songs[@]} songs: ${audio%.*} s of audio in ${wall} s" \
    "($(echo "scale=2; ($wall - $audio) / ${#songs[@]}" | bc) s a song over its length," \
    "calibration included)"
echo "kestrune-render's CPU: ${cpu} s, $(echo "scale=2; 1000 * $cpu / $audio" | bc) ms a second of audio"

# 2. The long song: a wood block every ten seconds.
python3 - "$work/clicks.mid" "$minutes" <<'EOF'
import struct, sys
def vlq(n):
    out = [n & 0x7F]
    n >>= 7
    while n:
        out.insert(0, (n & 0x7F) | 0x80)
        n >>= 7
    return bytes(out)
events, last = b"", 0
for i in range(int(sys.argv[2]) * 6 + 1):
    tick = i * 9600 + 960  # 960 ticks a second, from the second second on
    events += vlq(tick - last) + b"\x99\x4c\x7f" + vlq(96) + b"\x89\x4c\x00"
    last = tick + 96
events += vlq(960) + b"\xff\x2f\x00"
with open(sys.argv[1], "wb") as f:
    f.write(b"MThd" + struct.pack(">IHHH", 6, 0, 1, 480))
    f.write(b"MTrk" + struct.pack(">I", len(events)) + events)
EOF
live "$work/long.jsonl" "$work/clicks.mid" >/dev/null
python3 - "$work/out/clicks.wav" "$work/long.jsonl" "$minutes" <<'EOF'
import json, struct, sys, wave
w = wave.open(sys.argv[1])
n = w.getnframes()
s = struct.unpack("<%dh" % (2 * n), w.readframes(n))
def onset(at):  # the first frame after a quiet stretch that is loud
    for i in range(at - 4410, at + 8820):
        if abs(s[2 * i]) > 300:
            return i
    return None
last = (int(sys.argv[3]) * 6) * 441000 + 44100
first = onset(44100)
heard = onset(last)
line = json.loads(open(sys.argv[2]).readline())
print("%s-minute song: first click %+.2f ms, last click %+.2f ms from its place; drift %.1f ppm"
      % (sys.argv[3], (first - 44100) / 44.1, (heard - last) / 44.1, line["drift_ppm"]))
EOF
