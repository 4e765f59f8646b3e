#!/bin/bash
# What the report page costs: its size per song; the time to make one from a
# report of 10 000 lines (the OpenMSX set's lines, again and again) and for
# headless Chromium to load it and draw what is in view, against an empty
# page; and the CPU of a batch over the OpenMSX set with and without the
# page (one job, the median of PAIRS pairs run in turns, each first in
# every other pair).
#
#   bench/report_page.sh [BUILD_DIR] [PAIRS]
set -euo pipefail
build=$(realpath "${1:-build}")
pairs=${2:-3}
music=/usr/share/games/openttd/baseset/openmsx
work=$(mktemp -d /tmp/kestrune-page-XXXXXX)
trap 'rm -rf "$work"' EXIT
cp "$build"/tests/devices.ini "$work"/
cd "$work"
render() { "$build/kestrune-render" "$@"; }
cpu() { # ARGS...: CPU seconds of a batch, its workers included
    /usr/bin/time -f "%U %S" -o time "$build/kestrune-render" --quiet -j 1 "$@"
    awk '{ print $1 + $2 }' time
}
median() { sort -g | awk '{ v[NR] = $1 } END { print (NR % 2) ? v[(NR + 1) / 2] : (v[NR / 2] + v[NR / 2 + 1]) / 2 }'; }
browse() { # PAGE: wall seconds for Chromium to load it and take a screenshot
    local start end
    start=$(date +%s.%N)
    chromium --headless --no-sandbox --disable-gpu --hide-scrollbars --window-size=1400,900 \
        --user-data-dir="$work/profile" --screenshot="$work/shot.png" "file://$1" 2>/dev/null
    end=$(date +%s.%N)
    echo "$end - $start" | bc -l
}

render --quiet -o out/ --stems --report set.jsonl "$music"/*.mid
songs=$(wc -l <set.jsonl)
render --from-report set.jsonl --report-page set.html
printf 'page of the OpenMSX set with stems: %d songs, %d bytes, %d bytes a song\n' \
    "$songs" "$(stat -c %s set.html)" "$(($(stat -c %s set.html) / songs))"
render --quiet -o plain/ --report plain.jsonl "$music"/*.mid
render --from-report plain.jsonl --report-page plain.html
printf 'page of the OpenMSX set: %d bytes a song\n' "$(($(stat -c %s plain.html) / songs))"

# 10 000 lines: the set's over and over, each input named apart.
: >big.jsonl
for ((i = 0; $(wc -l <big.jsonl) < 10000; i++)); do
    sed "s|\"input\":\"[^\"]*/|&$i-|" set.jsonl >>big.jsonl
done
head -n 10000 big.jsonl >10k.jsonl
/usr/bin/time -f "%e s, %M KB" -o time "$build/kestrune-render" --from-report 10k.jsonl --report-page 10k.html
printf 'page of 10 000 lines: made in %s, %d MB\n' "$(cat time)" \
    "$(($(stat -c %s 10k.html) / 1000000))"
echo '<!DOCTYPE html><html><body></body></html>' >empty.html
for ((i = 0; i < pairs; i++)); do
    browse "$work/empty.html" >>empty.times
    browse "$work/10k.html" >>10k.times
done
printf 'Chromium: the empty page in %.2f s, the page of 10 000 lines in %.2f s (medians)\n' \
    "$(median <empty.times)" "$(median <10k.times)"

# The two in turns, each first in every other pair: this machine's speed
# drifts from one run to the next.
for ((i = 0; i < pairs; i++)); do
    if ((i % 2 == 0)); then
        cpu -o a/ --report a.jsonl "$music"/*.mid >>without.times
        cpu -o b/ --report b.jsonl --report-page b.html "$music"/*.mid >>with.times
    else
        cpu -o b/ --report b.jsonl --report-page b.html "$music"/*.mid >>with.times
        cpu -o a/ --report a.jsonl "$music"/*.mid >>without.times
    fi
    rm -rf a b a.jsonl b.jsonl b.html
done
without=$(median <without.times)
with=$(median <with.times)
printf 'batch CPU: %.2f s without the page, %.2f s with it (%+.1f%%)\n' "$without" "$with" \
    "$(echo "($with / $without - 1) * 100" | bc -l)"
