#!/bin/sh
# Turns a results folder of bench/run.sh into markdown: one summary table of
# ratios to the zlib limit, one of peak RSS, then one table per archive.
#
#   bench/summarize.sh RESULTS_DIR
set -eu
DIR=$1
cat "$DIR/run.txt"
echo
awk -F'\t' '
function secs(x) { return x == "" ? "-" : (x >= 0.1 ? sprintf("%.3f", x) : sprintf("%.4f", x)) }
function mib(k) { return k == "" ? "-" : sprintf("%.1f", k / 1024) }
NR == 1 { next }
{
    a = $1; t = $2
    if (!(a in seen)) { seen[a] = 1; archives[++na] = a }
    if (!(t in tseen) && t != "zlimit") { tseen[t] = 1; found[++nf] = t }
    key = a SUBSEP t
    if ($5 == "") { cell[key] = "n/a"; cpu[key] = "n/a"; rss[key] = "n/a" }
    else {
        cell[key] = t == "zlimit" ? secs($5) " s" : sprintf("%.2f", $10)
        cpu[key] = t == "zlimit" ? secs($8) " s" : sprintf("%.2f", $13)
        rss[key] = mib($9)
    }
    row[a, ++nrow[a]] = $0
}
END {
    # the stubs first, then the peers in a fixed order
    split("unzip unzipsfx 7z bsdtar zlimit-pty", order, " ")
    for (i = 1; i in order; i++) peer[order[i]] = 1
    for (i = 1; i <= nf; i++) if (!(found[i] in peer)) tools[++nt] = found[i]
    for (i = 1; i in order; i++) if (order[i] in tseen) tools[++nt] = order[i]
    printf "Wall time, median; tools as multiples of the zlib limit (zlimit) measured in the same rounds.\n\n"
    printf "| archive | zlimit |"; for (i = 1; i <= nt; i++) printf " %s |", tools[i]; printf "\n"
    printf "|---|---|"; for (i = 1; i <= nt; i++) printf "---|"; printf "\n"
    for (j = 1; j <= na; j++) {
        a = archives[j]
        printf "| %s | %s |", a, cell[a, "zlimit"]
        for (i = 1; i <= nt; i++) printf " %s |", ((a, tools[i]) in cell) ? cell[a, tools[i]] : "-"
        printf "\n"
    }
    printf "\nCPU time (user + system), median; tools as multiples of zlimit'"'"'s.\n\n"
    printf "| archive | zlimit |"; for (i = 1; i <= nt; i++) printf " %s |", tools[i]; printf "\n"
    printf "|---|---|"; for (i = 1; i <= nt; i++) printf "---|"; printf "\n"
    for (j = 1; j <= na; j++) {
        a = archives[j]
        printf "| %s | %s |", a, cpu[a, "zlimit"]
        for (i = 1; i <= nt; i++) printf " %s |", ((a, tools[i]) in cpu) ? cpu[a, tools[i]] : "-"
        printf "\n"
    }
    printf "\nPeak RSS, MiB.\n\n"
    printf "| archive | zlimit |"; for (i = 1; i <= nt; i++) printf " %s |", tools[i]; printf "\n"
    printf "|---|---|"; for (i = 1; i <= nt; i++) printf "---|"; printf "\n"
    for (j = 1; j <= na; j++) {
        a = archives[j]
        printf "| %s | %s |", a, rss[a, "zlimit"]
        for (i = 1; i <= nt; i++) printf " %s |", ((a, tools[i]) in rss) ? rss[a, tools[i]] : "-"
        printf "\n"
    }
    for (j = 1; j <= na; j++) {
        a = archives[j]
        printf "\n#### %s\n\n", a
        printf "| tool | wall s | x zlimit (pairs min..max) | cpu s | cpu x zlimit | peak RSS MiB | runs ok | check |\n"
        printf "|---|---|---|---|---|---|---|---|\n"
        for (k = 1; k <= nrow[a]; k++) {
            split(row[a, k], f, "\t")
            if (f[5] == "") { printf "| %s | n/a | | | | | | %s |\n", f[2], f[14]; continue }
            printf "| %s | %s | %.2f (%.2f..%.2f) | %s | %.2f | %s | %s/%s | %s |\n", f[2], secs(f[5]), f[10], f[11],
                   f[12], secs(f[8]), f[13], mib(f[9]), f[4], f[3], f[14]
        }
    }
}' "$DIR/results.tsv"
