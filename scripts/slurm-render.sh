#!/usr/bin/env bash
# One frame on a Slurm cluster: a job array renders K bands of rows with
# tessra-render --crop, and a job that waits for the whole array merges them.
#
#   scripts/slurm-render.sh submit SCENE OUT W H K [tessra-render options...]
#       submits both jobs (sbatch); OUT is the whole image (.exr, .png or .pfm)
#   scripts/slurm-render.sh render SCENE OUT W H K [options...]
#       what array task $SLURM_ARRAY_TASK_ID runs: band k of K into OUT.part-k.exr
#   scripts/slurm-render.sh merge SCENE OUT W H K
#       what the last job runs: tessra-merge of the K bands into OUT
#
# TESSRA_BIN names the folder of tessra-render and tessra-merge (default: found on PATH).
# Extra sbatch options (partition, time, CPUs) go in SBATCH_OPTIONS, e.g.
#   SBATCH_OPTIONS="--partition=render --cpus-per-task=16 --time=2:00:00"
set -euo pipefail

usage() {
  echo "usage: $0 submit|render|merge SCENE OUT WIDTH HEIGHT PARTS [tessra-render options...]" >&2
  exit 2
}
[ $# -ge 6 ] || usage
mode=$1 scene=$2 out=$3 width=$4 height=$5 parts=$6
shift 6
for n in "$width" "$height" "$parts"; do
  [[ $n =~ ^[1-9][0-9]*$ ]] || usage
done
[ "$parts" -le "$height" ] || { echo "$0: more parts ($parts) than rows ($height)" >&2; exit 2; }
bin=${TESSRA_BIN:+$TESSRA_BIN/}

case $mode in
  submit)
    # The array's tasks and the merge run this same file in their own modes.
    self=$(readlink -f "$0")
    # shellcheck disable=SC2086
    array=$(sbatch --parsable ${SBATCH_OPTIONS:-} --job-name=tessra-render --array=0-$((parts - 1)) \
      "$self" render "$scene" "$out" "$width" "$height" "$parts" "$@")
    # shellcheck disable=SC2086
    sbatch ${SBATCH_OPTIONS:-} --job-name=tessra-merge --dependency=afterok:"${array%%;*}" \
      "$self" merge "$scene" "$out" "$width" "$height" "$parts"
    ;;
  render)
    k=${SLURM_ARRAY_TASK_ID:?render runs as a task of a Slurm job array}
    [[ $k =~ ^[0-9]+$ ]] && [ "$k" -lt "$parts" ] || { echo "$0: task $k is not below $parts" >&2; exit 2; }
    # Band k holds rows [k*H/K, (k+1)*H/K): every row once, bands differ by one row at most.
    y0=$((k * height / parts)) y1=$(((k + 1) * height / parts))
    exec "${bin}tessra-render" "$scene" --width "$width" --height "$height" \
      --crop "0,$y0,$width,$y1" -o "$out.part-$k.exr" -q "$@"
    ;;
  merge)
    files=()
    for ((k = 0; k < parts; k++)); do files+=("$out.part-$k.exr"); done
    "${bin}tessra-merge" "${files[@]}" -o "$out"
    rm -f "${files[@]}"
    ;;
  *) usage ;;
esac
