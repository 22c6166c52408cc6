#!/bin/sh
# Turns a results folder of bench/run.sh into markdown: tables of wall time, CPU time
# (as ratios to the zlib limit, on the archives it reads), peak RSS and threads over all
# tools; then per shape the stubs beside zlimit, each stub against the single-threaded
# one (SINGLE, default rozbal-1); then the stubs' CPU time on the kinds of the other
# methods against what they are compared with; then one table per archive.
#
#   bench/summarize.sh RESULTS_DIR
set -eu
DIR=$1
SINGLE=${SINGLE:-rozbal-1}
cat "$DIR/run.txt"
echo
awk -F'\t' -v single="$SINGLE" '
function secs(x) { return x == "" ? "-" : (x >= 0.1 ? sprintf("%.3f", x) : sprintf("%.4f", x)) }
function mib(k) { return k == "" ? "-" : sprintf("%.1f", k / 1024) }
function ratio(x, y) { return x == "" || y == "" || y == 0 ? "-" : sprintf("%.2f", x / y) }
function table(title, m, zonly,    i, j, a) {
    printf "%s\n\n", title
    printf "| archive | zlimit |"; for (i = 1; i <= nt; i++) printf " %s |", tools[i]; printf "\n"
    printf "|---|---|"; for (i = 1; i <= nt; i++) printf "---|"; printf "\n"
    for (j = 1; j <= na; j++) {
        a = archives[j]
        if (zonly && !((a, "zlimit") in m)) continue
        printf "| %s | %s |", a, ((a, "zlimit") in m) ? m[a, "zlimit"] : "-"
        for (i = 1; i <= nt; i++) printf " %s |", ((a, tools[i]) in m) ? m[a, tools[i]] : "-"
        printf "\n"
    }
}
NR == 1 { next }
{
    a = $1; t = $2
    if (!(a in seen)) { seen[a] = 1; archives[++na] = a }
    # STUB@KIND (a stub on another archive in these rounds) only in its archive'"'"'s tables
    if (!(t in tseen) && t != "zlimit" && t !~ /@/) { tseen[t] = 1; found[++nf] = t }
    key = a SUBSEP t
    thr[key] = $15 == "" ? "-" : $15
    wall[key] = $5; cpus[key] = $8; kib[key] = $9
    shape = a; sub(/-[^-]*$/, "", shape)
    if (!(shape in sseen)) { sseen[shape] = 1; shapes[++ns] = shape }
    if ($5 == "") {
        # a peer that cannot read the kind is left out; a stub that failed its check is n/a
        miss = $14 ~ /^cannot read/ ? "-" : "n/a"
        cell[key] = miss; cpu[key] = miss; rss[key] = miss
    } else {
        cell[key] = t == "zlimit" ? secs($5) " s" : ($10 == "" ? "-" : sprintf("%.2f", $10))
        cpu[key] = t == "zlimit" ? secs($8) " s" : ($13 == "" ? "-" : sprintf("%.2f", $13))
        rss[key] = mib($9)
    }
    row[a, ++nrow[a]] = $0
}
END {
    # the stubs first, then the peers in a fixed order
    split("unzip unzipsfx 7z bsdtar ref zlimit-pty", order, " ")
    for (i = 1; i in order; i++) peer[order[i]] = 1
    for (i = 1; i <= nf; i++) if (!(found[i] in peer)) tools[++nt] = found[i]
    for (i = 1; i in order; i++) if (order[i] in tseen) tools[++nt] = order[i]
    table("Wall time, median; tools as multiples of the zlib limit (zlimit) measured in the same rounds.", cell, 1)
    printf "\n"
    table("CPU time (user + system), median; tools as multiples of zlimit'"'"'s.", cpu, 1)
    printf "\n"
    table("Peak RSS, MiB.", rss, 0)
    printf "\n"
    table("Threads: 1 + the threads the tool created, counted once per archive in the untimed check run.", thr, 0)
    # per shape: the stubs (every tool that is not a peer) beside zlimit
    for (i = 1; i <= nt; i++) if (!(tools[i] in peer)) stubs[++nstub] = tools[i]
    for (k = 1; k <= ns; k++) {
        printf "\n### %s: the stubs beside zlimit\n\n", shapes[k]
        printf "| archive | tool | wall s | CPU s | peak RSS MiB | threads | wall x zlimit | CPU x zlimit |"
        if (single in tseen) printf " wall x %s | CPU x %s |", single, single
        printf "\n|---|---|---|---|---|---|---|---|"
        if (single in tseen) printf "---|---|"
        printf "\n"
        for (j = 1; j <= na; j++) {
            a = archives[j]
            shape = a; sub(/-[^-]*$/, "", shape)
            if (shape != shapes[k]) continue
            first = 1
            for (i = 0; i <= nstub; i++) {
                t = i ? stubs[i] : "zlimit"
                if (!((a, t) in thr)) continue
                if (wall[a, t] == "") printf "| %s | %s | %s | %s | %s | %s |", first ? a : "", t, cell[a, t], cell[a, t],
                                              cell[a, t], thr[a, t]
                else printf "| %s | %s | %s | %s | %s | %s |", first ? a : "", t, secs(wall[a, t]), secs(cpus[a, t]),
                            mib(kib[a, t]), thr[a, t]
                first = 0
                printf " %s | %s |", i ? ratio(wall[a, t], wall[a, "zlimit"]) : "", i ? ratio(cpus[a, t], cpus[a, "zlimit"]) : ""
                if (single in tseen) {
                    own = !i || t == single
                    printf " %s | %s |", own ? "" : ratio(wall[a, t], wall[a, single]),
                           own ? "" : ratio(cpus[a, t], cpus[a, single])
                }
                printf "\n"
            }
        }
    }
    # the other methods: each stub against its comparison; target: the ratio at most
    split("aes deflate7 1.15  deflate64 deflate7 1.5  bzip2 ref 1.10  zstd ref 1.10  xz ref 1.10  lzma 7z -  bzip7 7z -",
          cmp, " +")
    for (i = 1; i in cmp; i += 3) { against[cmp[i]] = cmp[i + 1]; target[cmp[i]] = cmp[i + 2] }
    nm = 0
    for (j = 1; j <= na; j++) {
        a = archives[j]
        kind = a; sub(/^.*-/, "", kind)
        if (!(kind in against)) continue
        shape = a; sub(/-[^-]*$/, "", shape)
        if (!nm++) {
            printf "\n### Other methods: the stubs'"'"' CPU time against their comparison\n\n"
            printf "| archive | stub | CPU s | against | its CPU s | ratio | target |\n|---|---|---|---|---|---|---|\n"
        }
        first = 1
        for (i = 1; i <= nstub; i++) {
            t = stubs[i]
            if (!((a, t) in thr)) continue
            if (against[kind] ~ /^(ref|7z)$/) { b = a; bt = against[kind]; what = bt }
            else if (cpus[a, t "@" against[kind]] != "") { b = a; bt = t "@" against[kind]; what = bt ", same rounds" }
            else { b = shape "-" against[kind]; bt = t; what = t " on " b }
            printf "| %s | %s | %s | %s | %s | %s | %s |\n", first ? a : "", t,
                   cpus[a, t] == "" ? cell[a, t] : secs(cpus[a, t]), what,
                   ((b, bt) in cpus) && cpus[b, bt] != "" ? secs(cpus[b, bt]) : "-", ratio(cpus[a, t], cpus[b, bt]),
                   target[kind] == "-" ? "-" : "at most " target[kind]
            first = 0
        }
    }
    for (j = 1; j <= na; j++) {
        a = archives[j]
        printf "\n#### %s\n\n", a
        printf "| tool | wall s | x zlimit (pairs min..max) | cpu s | cpu x zlimit | peak RSS MiB | threads | runs ok | check |\n"
        printf "|---|---|---|---|---|---|---|---|---|\n"
        for (k = 1; k <= nrow[a]; k++) {
            split(row[a, k], f, "\t")
            if (f[15] == "") f[15] = "-"
            if (f[5] == "") {
                printf "| %s | %s | | | | | %s | | %s |\n", f[2], f[14] ~ /^cannot read/ ? "-" : "n/a", f[15], f[14]
                continue
            }
            printf "| %s | %s | %s | %s | %s | %s | %s | %s/%s | %s |\n", f[2], secs(f[5]),
                   f[10] == "" ? "-" : sprintf("%.2f (%.2f..%.2f)", f[10], f[11], f[12]), secs(f[8]),
                   f[13] == "" ? "-" : sprintf("%.2f", f[13]), mib(f[9]), f[15], f[4], f[3], f[14]
        }
    }
}' "$DIR/results.tsv"
