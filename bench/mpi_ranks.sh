#!/usr/bin/env bash
# Ranks against one rank, side by side on this machine: the same sweep
# (data/test.zel, 3 subdivisions, step 0.2: 826 shapes, files written) run
# alternately with 1 rank and with R ranks of one thread each, REPS times;
# prints each time, the medians and their ratio. mpirun's start-up is
# inside every time, as a user would see it.
#
#   bench/mpi_ranks.sh [R=2] [REPS=3] [STEP=0.2]
set -euo pipefail
root="$(cd "$(dirname "$0")/.." && pwd)"
mpi="$root/build/app/mpi/morvane-mpi"
ranks="${1:-2}"; reps="${2:-3}"; step="${3:-0.2}"
[[ -x "$mpi" ]] || { echo "$0: build morvane-mpi first (scripts/build)" >&2; exit 1; }
export OMPI_ALLOW_RUN_AS_ROOT=1 OMPI_ALLOW_RUN_AS_ROOT_CONFIRM=1
work="$(mktemp -d)"
trap 'rm -rf "$work"' EXIT

# Seconds of one run with $1 ranks.
one_run() {
    rm -rf "$work/output"
    local start end
    start=$(date +%s.%N)
    mpirun --oversubscribe -n "$1" "$mpi" -C "$work" --path "$root/data/test.zel" --subdivisions 3 \
        --step "$step" --threads 1 >/dev/null
    end=$(date +%s.%N)
    echo "$end - $start" | bc -l
}

# The median of the numbers given.
median() { printf '%s\n' "$@" | sort -g | awk '{a[NR]=$1} END {print (NR % 2) ? a[(NR+1)/2] : (a[NR/2]+a[NR/2+1])/2}'; }

single=(); many=()
for ((i = 1; i <= reps; ++i)); do
    single+=("$(one_run 1)")
    many+=("$(one_run "$ranks")")
    printf 'round %d: 1 rank %.2f s, %d ranks %.2f s\n' "$i" "${single[-1]}" "$ranks" "${many[-1]}"
done
s=$(median "${single[@]}"); m=$(median "${many[@]}")
printf 'median: 1 rank %.2f s, %d ranks %.2f s, speed-up %.2fx\n' "$s" "$ranks" "$m" "$(echo "$s / $m" | bc -l)"
