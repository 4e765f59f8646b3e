#!/bin/bash
# Records a collection of MIDI files on many machines: one shard of the list
# per task of a Slurm job array. Every task reads the same list, in the same
# order; kestrune-render's --shard takes the task's share, so the tasks
# together record every file once.
#
#   sbatch --array=0-15 kestrune-render.sbatch LIST OUTDIR [OPTIONS...]
#
# LIST holds one MIDI file per line (find music -name '*.mid' | sort > LIST).
# OPTIONS go to kestrune-render as they are (-q 22050/16/mono, --tail 2, ...).
# A task that is run again leaves out what it recorded before.
#SBATCH --job-name=kestrune-render
#SBATCH --cpus-per-task=4
#SBATCH --mem-per-cpu=200M
#SBATCH --output=kestrune-render-%A_%a.log
set -euo pipefail

list=${1:?give the list of MIDI files}
out=${2:?give the output folder}
shift 2
count=${SLURM_ARRAY_TASK_COUNT:?run this with sbatch --array=0-N}
index=${SLURM_ARRAY_TASK_ID:?run this with sbatch --array=0-N}
mkdir -p "$out"

tr '\n' '\0' < "$list" |
    xargs -0 kestrune-render -j "${SLURM_CPUS_PER_TASK:-1}" --shard "$index/$count" \
        -o "$out" --skip-existing --quiet --report "$out/report-$index.jsonl" "$@"
