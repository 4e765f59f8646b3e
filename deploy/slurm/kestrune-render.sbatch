#!/bin/bash
# Records a collection of MIDI files on many machines: one shard of the list
# per task of a Slurm job array. Every task reads the whole list itself;
# kestrune-render's --shard takes the files whose path hashes to the task,
# so the tasks together record every file once, whatever the order of the
# list and however long it is.
#
#   sbatch --array=0-15 kestrune-render.sbatch LIST OUTDIR [OPTIONS...]
#
# LIST holds one MIDI file per line (find music -name '*.mid' > LIST).
# OPTIONS go to kestrune-render as they are (-q 22050/16/mono, --tail 2,
# --base music to mirror the collection's folders, ...). A task that is run
# again leaves out what it recorded before; after the last task a check job
# proves the set whole. Ask for more CPUs per task with
# sbatch --cpus-per-task=N: the task records N files at once.
#SBATCH --job-name=kestrune-render
#SBATCH --cpus-per-task=1
#SBATCH --mem-per-cpu=200M
#SBATCH --output=kestrune-render-%A_%a.log
set -euo pipefail

list=${1:?give the list of MIDI files}
out=${2:?give the output folder}
shift 2
count=${SLURM_ARRAY_TASK_COUNT:?run this with sbatch --array=0-N}
index=${SLURM_ARRAY_TASK_ID:?run this with sbatch --array=0-N}
# The shard count is the array's size: an array that does not start at 0,
# or skips indices, would leave shards that no task records.
if [ "${SLURM_ARRAY_TASK_MIN:-0}" != 0 ] ||
    [ "${SLURM_ARRAY_TASK_MAX:-$((count - 1))}" != "$((count - 1))" ] ||
    [ "${SLURM_ARRAY_TASK_STEP:-1}" != 1 ]; then
    echo "kestrune-render.sbatch: the array must be 0-N with no gaps (--array=0-$((count - 1)))," \
        "not ${SLURM_ARRAY_TASK_MIN}-${SLURM_ARRAY_TASK_MAX}:${SLURM_ARRAY_TASK_STEP:-1}" >&2
    exit 2
fi

# The first task submits the check, to run once every task has ended: it
# records nothing and names every file that is missing, short, left in
# progress or recorded twice (kestrune-render-check-JOB.log; exit 1 if any).
if [ "$index" = 0 ]; then
    check=(kestrune-render --check --files-from "$list" -o "$out")
    for ((i = 0; i < count; i++)); do
        check+=(--report "$out/report-$i.jsonl")
    done
    sbatch --dependency="afterany:${SLURM_ARRAY_JOB_ID}" --job-name=kestrune-render-check \
        --output="kestrune-render-check-${SLURM_ARRAY_JOB_ID}.log" \
        --wrap="$(printf '%q ' "${check[@]}" "$@")"
fi

kestrune-render -j "${SLURM_CPUS_PER_TASK:-1}" --shard "$index/$count" \
    --files-from "$list" -o "$out" --skip-existing --quiet \
    --report "$out/report-$index.jsonl" "$@"
