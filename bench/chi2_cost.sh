#!/usr/bin/env bash
# The chi2 fit's cost per observed point against the fast path's cost per
# resampled sample, side by side on this machine: one-thread sweeps without
# curve files of Kleopatra's block 54 (149 points, 150 samples) and blocks
# 50-54 (370 points, 750 samples) at N subdivisions and step 0.25 (280
# shapes), range and chi2 alternately, REPS rounds. Each time is the run's
# CPU time (user + system), which a busy machine disturbs less than its
# wall time; prints the medians in microseconds per shape and sample.
#
#   bench/chi2_cost.sh [N=3] [REPS=5]
set -euo pipefail
root="$(cd "$(dirname "$0")/.." && pwd)"
cli="$root/build/app/cli/morvane-cli"
n="${1:-3}"; reps="${2:-5}"
[[ -x "$cli" ]] || { echo "$0: build morvane-cli first (scripts/build)" >&2; exit 1; }
work="$(mktemp -d)"
trap 'rm -rf "$work"' EXIT
shapes=280

# CPU seconds of one sweep with the options given.
one_run() {
    rm -rf "$work/output"
    /usr/bin/time -f '%U %S' -o "$work/time" "$cli" -C "$work" --path "$root/data/kleopatra_lc.txt" \
        --spin "$root/data/kleopatra_spin.txt" --subdivisions "$n" --step 0.25 --threads 1 --no-curves "$@" >/dev/null
    awk '{print $1 + $2}' "$work/time"
}

# The median of the numbers given.
median() { printf '%s\n' "$@" | sort -g | awk '{a[NR]=$1} END {print (NR % 2) ? a[(NR+1)/2] : (a[NR/2]+a[NR/2+1])/2}'; }

# name|samples or points|options
cases=("range, block 54|150|--block 54" "chi2, block 54|149|--block 54 --fit chi2"
       "range, blocks 50-54|750|--blocks 50-54" "chi2, blocks 50-54|370|--blocks 50-54 --fit chi2")
declare -A times
for ((i = 1; i <= reps; ++i)); do
    for c in "${cases[@]}"; do
        IFS='|' read -r name count options <<<"$c"
        # shellcheck disable=SC2086
        t=$(one_run $options)
        times[$name]+="$t "
        printf 'round %d: %-20s %6.2f s\n' "$i" "$name" "$t"
    done
done
for c in "${cases[@]}"; do
    IFS='|' read -r name count options <<<"$c"
    # shellcheck disable=SC2086
    m=$(median ${times[$name]})
    printf 'median %-20s %6.2f s, %7.2f us per shape and %s\n' "$name" "$m" \
        "$(echo "$m * 1000000 / $shapes / $count" | bc -l)" "$([[ $name == chi2* ]] && echo point || echo sample)"
done
