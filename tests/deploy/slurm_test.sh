#!/bin/bash
# The Slurm example run for real: munge, slurmctld and slurmd for one node
# with 2 CPUs, started in a private folder as this test's own processes; a
# 5-task array of deploy/slurm/kestrune-render.sbatch over real MIDI files
# (the same names in two folders, and one broken file); then every good file
# recorded exactly once, the broken one reported, and the check job failing
# because of it. Every daemon is stopped by its process id.
#
#   slurm_test.sh SOURCE-FOLDER KESTRUNE-RENDER
set -euo pipefail

source=${1:?give the source folder}
render=${2:?give the kestrune-render to run}
for tool in munged slurmctld slurmd sbatch squeue scontrol; do
    if ! command -v "$tool" >/dev/null 2>&1; then
        echo "skipped: $tool is missing; scripts/install-deps --cluster installs slurm-wlm"
        exit 77
    fi
done
openmsx=/usr/share/games/openttd/baseset/openmsx

work=$(mktemp -d /tmp/kestrune-slurm-XXXXXX)
pids=()
stop() {
    for pid in "${pids[@]}"; do
        kill "$pid" 2>/dev/null || true
    done
    for pid in "${pids[@]}"; do
        for _ in $(seq 50); do
            kill -0 "$pid" 2>/dev/null || break
            sleep 0.1
        done
        kill -9 "$pid" 2>/dev/null || true
    done
    # Task processes the daemons left, if any.
    pkill -9 -f "$work/" 2>/dev/null || true
    rm -rf "$work"
}
trap stop EXIT
fail() {
    echo "FAILED: $*" >&2
    for log in "$work"/*.log "$work"/*.out; do
        echo "--- $log" >&2
        tail -20 "$log" >&2
    done
    exit 1
}

# A free port for each daemon.
port() {
    python3 -c 'import socket; s=socket.socket(); s.bind(("127.0.0.1", 0)); print(s.getsockname()[1])'
}

# munge, with a key of its own.
mkdir -p "$work/munge" "$work/state" "$work/spool" "$work/bin" "$work/music/a" "$work/music/b" "$work/out"
chmod 700 "$work/munge"
head -c 1024 /dev/urandom >"$work/munge/munge.key"
chmod 400 "$work/munge/munge.key"
munged --foreground --force --key-file="$work/munge/munge.key" \
    --socket="$work/munge/munge.sock" --pid-file="$work/munge/munged.pid" \
    --seed-file="$work/munge/munge.seed" --log-file="$work/munged.log" >>"$work/munged.log" 2>&1 &
pids+=($!)

node=$(hostname -s)
user=$(id -un)
cat >"$work/slurm.conf" <<EOF
ClusterName=kestrune-test
SlurmctldHost=$node(127.0.0.1)
SlurmctldPort=$(port)
SlurmdPort=$(port)
SlurmUser=$user
SlurmdUser=$user
AuthType=auth/munge
AuthInfo=socket=$work/munge/munge.sock
CredType=cred/munge
StateSaveLocation=$work/state
SlurmdSpoolDir=$work/spool
SlurmctldPidFile=$work/slurmctld.pid
SlurmdPidFile=$work/slurmd.pid
SlurmctldLogFile=$work/slurmctld.log
SlurmdLogFile=$work/slurmd.log
ProctrackType=proctrack/linuxproc
TaskPlugin=task/none
JobAcctGatherType=jobacct_gather/none
AccountingStorageType=accounting_storage/none
JobCompType=jobcomp/none
MpiDefault=none
SchedulerType=sched/builtin
SelectType=select/cons_tres
SelectTypeParameters=CR_CPU_Memory
ReturnToService=2
MinJobAge=600
NodeName=$node NodeAddr=127.0.0.1 CPUs=2 RealMemory=2000 State=UNKNOWN
PartitionName=test Nodes=ALL Default=YES MaxTime=INFINITE State=UP
EOF
export SLURM_CONF="$work/slurm.conf"
for _ in $(seq 100); do
    [ -S "$work/munge/munge.sock" ] && break
    sleep 0.1
done
slurmctld -D -i >>"$work/slurmctld.out" 2>&1 &
pids+=($!)
slurmd -D -N "$node" >>"$work/slurmd.out" 2>&1 &
pids+=($!)
for _ in $(seq 300); do
    state=$(sinfo -h -o %T 2>/dev/null || true)
    [ "$state" = idle ] && break
    sleep 0.2
done
[ "${state:-}" = idle ] || fail "the node never became idle (it is '${state:-}')"

# Real MIDI files: the same names in two folders, and one that is broken.
ls "$openmsx"/*.mid | head -6 >"$work/picked"
i=0
while read -r file; do
    folder=$([ $((i % 2)) = 0 ] && echo a || echo b)
    cp "$file" "$work/music/$folder/"
    i=$((i + 1))
done <"$work/picked"
for file in $(head -2 "$work/picked"); do
    cp "$file" "$work/music/a/"
    cp "$file" "$work/music/b/"
done
printf 'MThd broken' >"$work/music/b/broken.mid"
find "$work/music" -name '*.mid' | sort >"$work/list"
good=$(($(wc -l <"$work/list") - 1))

# kestrune-render as the tasks find it: on the PATH.
ln -s "$render" "$work/bin/kestrune-render"
export PATH="$work/bin:$PATH"
cd "$work"
job=$(sbatch --parsable --array=0-4 "$source/deploy/slurm/kestrune-render.sbatch" \
    "$work/list" "$work/out" --base "$work/music" -q 8 --tail 0) ||
    fail "sbatch refused the array"
echo "array job $job over $((good + 1)) files"

# Wait for the array and the check job that its first task submits.
for _ in $(seq 1800); do
    [ -z "$(squeue -h 2>/dev/null)" ] && [ -f "kestrune-render-check-$job.log" ] && break
    sleep 0.2
done
[ -z "$(squeue -h)" ] || fail "jobs still queued: $(squeue -h)"
[ -f "kestrune-render-check-$job.log" ] || fail "no check job ran"

# Every good file recorded exactly once, in all the reports together.
cat out/report-*.jsonl >all.jsonl
python3 - "$work/list" all.jsonl <<'EOF' || fail "the reports do not agree with the list"
import json, sys
files = [line.strip() for line in open(sys.argv[1]) if line.strip()]
lines = [json.loads(line) for line in open(sys.argv[2])]
ok = {}
for line in lines:
    if line["status"] == "ok":
        ok[line["input"]] = ok.get(line["input"], 0) + 1
bad = [f for f in files if f.endswith("broken.mid")]
for f in files:
    want = 0 if f in bad else 1
    if ok.get(f, 0) != want:
        sys.exit(f"{f}: recorded {ok.get(f, 0)} times, not {want}")
failed = [l["input"] for l in lines if l["status"] == "failed"]
if failed != bad:
    sys.exit(f"failed: {failed}, not {bad}")
EOF
# Outputs mirror the folders: both song.wav files are there.
outputs=$(find out -name '*.wav' | wc -l)
[ "$outputs" = "$good" ] || fail "$outputs recordings, not $good"

# The check names the broken file and fails because of it, and only it.
grep -q "broken" "kestrune-render-check-$job.log" || fail "the check did not name the broken file"
problems=$(grep -c "^[a-z][a-z ]*: " "kestrune-render-check-$job.log" || true)
[ "$problems" = 1 ] || fail "the check found $problems problems, not 1"
state=$(scontrol show job --oneliner | grep "JobName=kestrune-render-check" || true)
echo "$state" | grep -q "ExitCode=1:0" || fail "the check job did not exit 1: $state"
echo "passed: $good files recorded once over 5 shards; the check failed on the broken one"
