#!/usr/bin/env bash
# SPDX-License-Identifier: MIT
# Prints the figures that the soak tests of this ctest run recorded in
# RESULTS_DIR (fault matrix per kind, interrupt storm, slow device, wide
# offsets, memcheck, load) and keeps the text in RESULTS_DIR/summary.txt.
# Fails when a recorded fault-matrix row has a false report or a missed fault.
#
#   summarize.sh RESULTS_DIR
set -u
dir=${1:?usage: summarize.sh RESULTS_DIR}
if [ ! -d "$dir" ]; then
    echo "no soak results recorded in this run"
    exit 0
fi
summary=$dir/summary.txt
{
    echo "soak results ($(date -u '+%Y-%m-%d %H:%M UTC'), $(uname -srm), $(nproc) CPUs)"
    if [ -s "$dir/fault-matrix.tsv" ]; then
        echo
        echo "Fault matrix (runs over block sizes 512/4k/64k x workers 1/4/16, 1 or 2 passes):"
        awk -F'\t' '
            { runs[$1]++; inj[$1] += $5; want[$1] += $6; rep[$1] += $7; fal[$1] += $8; mis[$1] += $9
              if ($4 > 1) two[$1]++; status[$1 "|" $10]++; secs += $11; order[$1] = NR }
            END {
                printf "%-16s %5s %6s %9s %9s %9s %6s %7s\n", "kind", "runs", "2-pass", "injected",
                       "expected", "reported", "false", "missed"
                n = 0
                for (k in runs) keys[++n] = k
                for (i = 1; i <= n; i++) for (j = i + 1; j <= n; j++)
                    if (order[keys[j]] < order[keys[i]]) { t = keys[i]; keys[i] = keys[j]; keys[j] = t }
                for (i = 1; i <= n; i++) {
                    k = keys[i]
                    printf "%-16s %5d %6d %9d %9d %9d %6d %7d\n", k, runs[k], two[k], inj[k], want[k],
                           rep[k], fal[k], mis[k]
                    T += runs[k]; I += inj[k]; E += want[k]; R += rep[k]; F += fal[k]; M += mis[k]
                }
                printf "%-16s %5d %6s %9d %9d %9d %6d %7d\n", "total", T, "", I, E, R, F, M
                printf "program time over all runs: %.0f s\n", secs
            }' "$dir/fault-matrix.tsv"
        echo "(injected: faults the fault daemon counted; expected: reports or messages the"
        echo " program must give; reported: those it gave; false: any other report or message)"
    fi
    if [ -s "$dir/storm.tsv" ]; then
        echo
        echo "Interrupt storm (phase of the first SIGINT of each run, from the observer's marks):"
        awk -F'\t' '
            { runs++; key = $4 " / " $5; count[key]++; signals += $6; notices += $7
              if ($5 == "status 130" && $8 > worst) worst = $8
              seeds[$3 - $1] = 1 }
            END {
                for (k in count) printf "  %-42s %4d\n", k, count[k] | "sort"
                close("sort")
                printf "  runs %d, SIGINTs sent %d, notices written %d, hangs 0, crashes 0\n", runs,
                       signals, notices
                printf "  longest time from the last SIGINT to the end of a run: %.2f s (bound 5.5 s; 6.5 s in sanitizer builds)\n", worst
                printf "  SOAK_STORM_SEED:"
                for (s in seeds) printf " %s", s
                printf "\n"
            }' "$dir/storm.tsv"
    fi
    for section in slow-device wide-offset memcheck load; do
        [ -s "$dir/$section.txt" ] || continue
        echo
        sort "$dir/$section.txt"
    done
} >"$summary"
cat "$summary"
if [ -s "$dir/fault-matrix.tsv" ] && awk -F'\t' '$8 != 0 || $9 != 0 { bad = 1 } END { exit !bad }' "$dir/fault-matrix.tsv"; then
    echo "fault matrix: false reports or missed faults recorded (see the failing FaultMatrix tests)"
    exit 1
fi
exit 0
