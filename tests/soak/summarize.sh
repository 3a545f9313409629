#!/usr/bin/env bash
# SPDX-License-Identifier: MIT
# Prints the figures that the soak tests of this ctest run recorded in
# RESULTS_DIR (engine fault table per kind, interrupt storm, slow device, wide
# offsets, memcheck, load) and keeps the text in RESULTS_DIR/summary.txt.
# Fails when a recorded fault-table row has a false report or a missed fault.
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
    if [ -s "$dir/fault-table.tsv" ]; then
        echo
        echo "Engine fault table (runs over block sizes 512/4k/64k x workers 1/4/16, one pass):"
        awk -F'\t' '
            { runs[$1]++; inj[$1] += $4; want[$1] += $5; rep[$1] += $6; fal[$1] += $7; mis[$1] += $8
              secs += $10; order[$1] = NR }
            END {
                printf "%-16s %5s %9s %9s %9s %6s %7s\n", "kind", "runs", "injected", "expected",
                       "reported", "false", "missed"
                n = 0
                for (k in runs) keys[++n] = k
                for (i = 1; i <= n; i++) for (j = i + 1; j <= n; j++)
                    if (order[keys[j]] < order[keys[i]]) { t = keys[i]; keys[i] = keys[j]; keys[j] = t }
                for (i = 1; i <= n; i++) {
                    k = keys[i]
                    printf "%-16s %5d %9d %9d %9d %6d %7d\n", k, runs[k], inj[k], want[k], rep[k],
                           fal[k], mis[k]
                    T += runs[k]; I += inj[k]; E += want[k]; R += rep[k]; F += fal[k]; M += mis[k]
                }
                printf "%-16s %5d %9d %9d %9d %6d %7d\n", "total", T, I, E, R, F, M
                printf "engine time over all runs: %.0f s\n", secs
            }' "$dir/fault-table.tsv"
        echo "(injected: faults the fault daemon counted; expected: reports or messages the"
        echo " engine must give; reported: those it gave; false: any other report or message)"
    fi
    if [ -s "$dir/storm.tsv" ]; then
        echo
        echo "Interrupt storm (phase of the first SIGINT of each run, from the observer's marks):"
        awk -F'\t' '
            { runs++; key = $4 " / " $5; count[key]++; signals += $6; notices += $7
              if ($5 == "status 130" && $8 > worst) worst = $8
              seeds[$3] = 1 }
            END {
                for (k in count) printf "  %-42s %4d\n", k, count[k] | "sort"
                close("sort")
                printf "  runs %d, SIGINTs sent %d, notices written %d, hangs 0, crashes 0\n", runs,
                       signals, notices
                printf "  longest time from the last SIGINT to the end of a run: %.2f s (bound 7.5 s; 8.5 s in sanitizer builds)\n", worst
                printf "  seeds:"
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
if [ -s "$dir/fault-table.tsv" ] && awk -F'\t' '$7 != 0 || $8 != 0 { bad = 1 } END { exit !bad }' "$dir/fault-table.tsv"; then
    echo "fault table: false reports or missed faults recorded (see the failing EngineFaultTable tests)"
    exit 1
fi
exit 0
