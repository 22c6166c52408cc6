#!/usr/bin/env bash
# Times the stub against the peers and the zlib limit on the benchmark archives.
#
#   bench/run.sh            (normally through `make bench`)
#
# Environment (all optional):
#   OUT      build/bench of this worktree: tools in OUT/bin, corpus and zips from make-corpus.sh
#   STUB     the stub to append archives to (default build/bench/stub/bin/rozbal)
#   STUBS    the stubs side by side, "NAME=PATH ..."; the default is "rozbal=$STUB" and,
#            when it has been built, "rozbal-1=OUT/stub-1/bin/rozbal" (the single-threaded
#            build); also e.g. two builds of different flags measured in the same rounds
#   SHAPES   "big random small tiny"       KINDS  "deflate store crypt" (make-corpus.sh
#            lists the others: deflate7 aes deflate64 lzma bzip7 bzip2 zstd xz)
#   TOOLS    "STUB-NAMES unzip unzipsfx 7z bsdtar ref zlimit-pty" (zlimit, the reference,
#            runs on every kind it reads: deflate store crypt deflate7; zlimit-pty is zlimit
#            started through the terminal runner on the crypt archives, to show what the
#            runner itself adds to the stub's column; ref is the compressor's own tool,
#            `TOOL -dc STREAM > FILE` for each file, on the bzip2, zstd and xz kinds)
#   REF_FILES  ref runs on shapes of at most this many files (default 100: on small it would
#            time 20 000 process starts, not the decoder)
#   RUNS     counted rounds per archive (default 5; TINY_RUNS for tiny, default 21;
#            OTHER_RUNS for the kinds of the other methods except on tiny, default 3: their
#            runs take seconds, bzip2's on big over ten, and six kinds on big stay within 10 min)
#   WARMUP   uncounted rounds first (default 1)
#   WORK     a tmpfs folder for the fresh output folders (default /dev/shm)
# Results: OUT/results/DATE/results.tsv and summary.md (printed at the end).
#
# The threads column is counted in the one untimed check run per archive and tool, under
# strace (the thread-creating clones, plus one), never in the timed rounds: on a machine of
# few cores a sampler would take time from the workers it counts. Without strace it is "-".
set -euo pipefail
HERE=$(cd "$(dirname "$0")" && pwd)
OUT=$(cd "${OUT:-$HERE/../build/bench}" && pwd)
STUB=${STUB:-$OUT/stub/bin/rozbal}
SHAPES=${SHAPES:-big random small tiny}
KINDS=${KINDS:-deflate store crypt}
if [ -z "${STUBS:-}" ]; then
    STUBS=rozbal=$STUB
    [ ! -x "$OUT/stub-1/bin/rozbal" ] || STUBS="$STUBS rozbal-1=$OUT/stub-1/bin/rozbal"
fi
declare -A STUB_PATH=()
STUB_NAMES=()
for s in $STUBS; do STUB_PATH[${s%%=*}]=${s#*=} STUB_NAMES+=("${s%%=*}"); done
TOOLS=${TOOLS:-${STUB_NAMES[*]} unzip unzipsfx 7z bsdtar ref zlimit-pty}
RUNS=${RUNS:-5}
TINY_RUNS=${TINY_RUNS:-21}
OTHER_RUNS=${OTHER_RUNS:-3}
WARMUP=${WARMUP:-1}
REF_FILES=${REF_FILES:-100}
WORK_ROOT=${WORK:-/dev/shm}
PASSWORD=secret
PROMPT='heslo: ' # the tail of the stub's password prompt
BIN=$OUT/bin
SEVENZ=/usr/lib/p7zip/7z # the program itself: /usr/bin/7z is a shell wrapper around it

for t in pairtime ptytype treecheck zlimit; do
    [ -x "$BIN/$t" ] || { echo "bench: no $BIN/$t (make bench builds it)" >&2; exit 2; }
done
[ "$(stat -f -c %T "$WORK_ROOT")" = tmpfs ] || echo "bench: warning: $WORK_ROOT is not a tmpfs" >&2
RESULTS=$OUT/results/$(date +%Y%m%d-%H%M%S)
mkdir -p "$RESULTS"
WORK=$(mktemp -d "$WORK_ROOT/rozbal-bench.XXXXXX") # only this folder is ever deleted
trap 'rm -rf "$WORK"' EXIT

# The kinds: which are encrypted, which zlimit reads, which have streams for ref.
encrypted() { [[ $1 == *-crypt || $1 == *-aes ]]; }
zlimit_reads() { [[ $1 =~ -(deflate|store|crypt|deflate7)$ ]]; }
# the kind a kind's stub figures are set against, timed again in its rounds
base_kind() { [[ ! $1 =~ -(aes|deflate64)$ ]] || echo deflate7; }
ref_tool() {
    case ${1##*-} in
    bzip2) echo bzip2 ;;
    zstd) echo "zstd -q" ;;
    xz) echo xz ;;
    *) return 1 ;;
    esac
}

available() {
    [ -z "${STUB_PATH[$1]+set}" ] || { [ -x "${STUB_PATH[$1]}" ]; return; }
    case $1 in
    zlimit-pty) true ;;
    ref) true ;; # per archive: add_tool
    unzip | unzipsfx | bsdtar) command -v "$1" >/dev/null ;;
    7z) [ -x "$SEVENZ" ] ;;
    *) return 1 ;;
    esac
}

# Traces the clones of the check run into TRACES/TOOL when strace is there and can trace
# here (it may be too old for these options, or ptrace may be barred).
TRACES=
STRACE=(strace -f -qq -e trace=clone,clone3 -e status=successful)
if "${STRACE[@]}" -o /dev/null true 2>/dev/null; then
    # a seccomp filter stops the traced program only at the clones, not at every system call
    ! "${STRACE[@]}" --seccomp-bpf -o /dev/null true 2>/dev/null || STRACE+=(--seccomp-bpf)
else
    STRACE=()
fi

# threads TOOL: 1 + the threads TOOL created in the traced check run, or "-".
threads() {
    local trace=$WORK/traces/$1
    [ -f "$trace" ] || { echo -; return; }
    echo $(($(grep -cE '(^|[0-9] +)clone3?\(.*CLONE_THREAD' "$trace") + 1))
}

# add_tool TOOL ARCHIVE: appends TOOL's pairtime arguments to TOOLCMDS; fails when TOOL
# does not apply. With TRACES set, the program itself (not the terminal runner before
# it) runs under strace.
add_tool() {
    local tool=$1 archive=$2 stub=$1 crypt=0 tr=()
    # STUB@KIND: the stub on the same shape's KIND archive, in these rounds
    [[ $tool != *@* ]] || stub=${tool%@*} archive=${archive%-*}-${tool#*@}
    local zip=$OUT/zips/$archive.zip
    ! encrypted "$archive" || crypt=1
    [ -z "$TRACES" ] || [ ${#STRACE[@]} = 0 ] || tr=("${STRACE[@]}" -o "$TRACES/$tool" --)
    if [ -n "${STUB_PATH[$stub]+set}" ]; then # setup.run = stub + archive, extracting into ./setup
        local run=$WORK/prep/$tool/$archive/setup.run
        if [ ! -f "$run" ]; then
            mkdir -p "$WORK/prep/$tool/$archive"
            cat "${STUB_PATH[$stub]}" "$zip" >"$run"
            chmod 755 "$run"
        fi
        TOOLCMDS+=(-t "$tool" -i $'a\n' -l "$run" -c "${CHECK[$tool]:--}" --)
        [ $crypt = 0 ] || TOOLCMDS+=("$BIN/ptytype" -w "$PROMPT" "$PASSWORD" --)
        TOOLCMDS+=(${tr[@]+"${tr[@]}"} ./setup.run ";")
        return 0
    fi
    case $tool in
    zlimit)
        TOOLCMDS+=(-t zlimit -c "${CHECK[zlimit]:--}" -- ${tr[@]+"${tr[@]}"} "$BIN/zlimit")
        [ $crypt = 0 ] || TOOLCMDS+=(-P "$PASSWORD")
        TOOLCMDS+=("$zip" ";")
        ;;
    zlimit-pty)
        [[ $archive == *-crypt ]] || return 1
        TOOLCMDS+=(-t zlimit-pty -c "${CHECK[zlimit-pty]:--}" -- "$BIN/ptytype" "$PASSWORD" -- ${tr[@]+"${tr[@]}"} "$BIN/zlimit" -P "$PASSWORD" "$zip" ";")
        ;;
    ref) # one shell, one decompressor per file, its output into the file by the shell
        local decoder script=$WORK/prep/$archive.ref.sh
        decoder=$(ref_tool "$archive") || return 1
        [ -d "$OUT/streams/$archive" ] || return 1
        [ "$(find "$OUT/corpus/${archive%-*}" -type f | head -n $((REF_FILES + 1)) | wc -l)" -le "$REF_FILES" ] || return 1
        [ -f "$script" ] || ref_script "$decoder" "$OUT/streams/$archive" "$OUT/corpus/${archive%-*}" >"$script"
        TOOLCMDS+=(-t ref -c "${CHECK[ref]:--}" -- ${tr[@]+"${tr[@]}"} /bin/sh "$script" ";")
        ;;
    unzip)
        TOOLCMDS+=(-t unzip -c "${CHECK[unzip]:--}" -- ${tr[@]+"${tr[@]}"} unzip -qo)
        [ $crypt = 0 ] || TOOLCMDS+=(-P "$PASSWORD")
        TOOLCMDS+=("$zip" ";")
        ;;
    unzipsfx) # Debian's unzipsfx has no decryption
        [ $crypt = 0 ] || return 1
        local sfx=$WORK/prep/$archive.sfx
        if [ ! -f "$sfx" ]; then
            mkdir -p "$WORK/prep"
            cat /usr/bin/unzipsfx "$zip" >"$sfx"
            zip -qA "$sfx"
            chmod 755 "$sfx"
        fi
        TOOLCMDS+=(-t unzipsfx -c "${CHECK[unzipsfx]:--}" -- ${tr[@]+"${tr[@]}"} "$sfx" -qo ";")
        ;;
    7z)
        TOOLCMDS+=(-t 7z -c "${CHECK[7z]:--}" -- ${tr[@]+"${tr[@]}"} "$SEVENZ" x -y -bso0 -bsp0)
        [ $crypt = 0 ] || TOOLCMDS+=("-p$PASSWORD")
        TOOLCMDS+=("$zip" ";")
        ;;
    bsdtar)
        TOOLCMDS+=(-t bsdtar -c "${CHECK[bsdtar]:--}" -- ${tr[@]+"${tr[@]}"} bsdtar -xf "$zip")
        [ $crypt = 0 ] || TOOLCMDS+=(--passphrase "$PASSWORD")
        TOOLCMDS+=(";")
        ;;
    esac
}

# ref_script TOOL STREAMS CORPUS: a script that makes CORPUS's folders and decodes each of
# its files from STREAMS into the current folder, stopping at the first failure.
ref_script() {
    local tool=$1 streams=$2 corpus=$3 q="s/'/'\\\\''/g"
    echo "set -e"
    (cd "$corpus" && find . -mindepth 1 -type d | sort | sed -e 's|^\./||' -e "$q" -e "s|.*|mkdir '&'|")
    (cd "$corpus" && find . -type f | sort | sed -e 's|^\./||' -e "$q" -e "s|.*|$tool -dc '$streams/&' >'&'|")
}

printf 'archive\ttool\truns\tok\twall_median\twall_min\twall_max\tcpu_median\tpeak_rss_kib\tx_zlimit\tx_pair_min\tx_pair_max\tcpu_x_zlimit\tcheck\tthreads\n' >"$RESULTS/results.tsv"
{
    echo "# $(date -u '+%Y-%m-%d %H:%M UTC') $(uname -srm), $(nproc) CPUs, load $(cut -d' ' -f1-3 /proc/loadavg)"
    for s in "${STUB_NAMES[@]}"; do
        workers=$(sed -n 's/^ROZBAL_WORKERS:STRING=//p' "$(dirname "${STUB_PATH[$s]}")/../CMakeCache.txt" 2>/dev/null || true)
        echo "# $s: ${STUB_PATH[$s]} ($(stat -c %s "${STUB_PATH[$s]}" 2>/dev/null || echo -) bytes${workers:+, ROZBAL_WORKERS=$workers})"
    done
    counter="strace in the check run"
    [ ${#STRACE[@]} != 0 ] || counter="nothing (no strace that can trace here)"
    echo "# runs $RUNS (tiny $TINY_RUNS, other methods $OTHER_RUNS), warm-up $WARMUP; threads counted by $counter"
} >"$RESULTS/run.txt"

for shape in $SHAPES; do
    for kind in $KINDS; do
        archive=$shape-$kind
        zip=$OUT/zips/$archive.zip
        [ -f "$zip" ] || { echo "bench: no $zip (make-corpus.sh)" >&2; exit 2; }
        cat "$zip" >/dev/null # into the page cache, and ref's streams too
        [ ! -d "$OUT/streams/$archive" ] || find "$OUT/streams/$archive" -type f -exec cat {} + >/dev/null
        declare -A CHECK=()
        tools=()
        for t in $TOOLS; do available "$t" && tools+=("$t"); done

        # zlimit is the reference of the rounds where it reads the kind, else ref where it applies
        lead=()
        ! zlimit_reads "$archive" || lead=(zlimit)
        bases=() base=$(base_kind "$archive")
        if [ -n "$base" ] && [ -f "$OUT/zips/$shape-$base.zip" ]; then
            for t in "${tools[@]}"; do [ -z "${STUB_PATH[$t]+set}" ] || bases+=("$t@$base"); done
        fi

        # One kept run of every tool, checked against the corpus, its threads counted.
        TOOLCMDS=() TRACES=$WORK/traces
        mkdir -p "$TRACES" "$WORK/prep"
        checked=(${lead[@]+"${lead[@]}"} "${tools[@]}" ${bases[@]+"${bases[@]}"})
        for t in "${checked[@]}"; do add_tool "$t" "$archive" || true; done
        TRACES=
        "$BIN/pairtime" -n 1 -w 0 -k -T 300 -d "$WORK/verify" "${TOOLCMDS[@]}" >"$WORK/verify.tsv"
        declare -A THREADS=()
        for t in "${checked[@]}"; do THREADS[$t]=$(threads "$t"); done
        timed=() skipped=()
        for t in "${checked[@]}"; do
            [ -d "$WORK/verify/$t.0" ] || continue
            got=$WORK/verify/$t.0
            [ -z "${STUB_PATH[${t%@*}]+set}" ] || got=$got/setup
            rc=0
            CHECK[$t]=$("$BIN/treecheck" "$OUT/corpus/$shape" "$got") || rc=$?
            [ "$t:$rc" != ref:1 ] || CHECK[$t]="content ok (ref sets no times or modes)"
            awk -F'\t' -v t="$t" '$1 == t && $3 == 0 { exit 1 }' "$WORK/verify.tsv" ||
                CHECK[$t]="${CHECK[$t]}; exit status not 0"
            if [ $rc -ge 2 ] && [ "$t" != zlimit ]; then # not timed: it did not extract
                # a stub should have ("n/a"); a peer that cannot read the kind gets "-"
                why="cannot read"
                [ -z "${STUB_PATH[${t%@*}]+set}" ] || why="n/a"
                skipped+=("$(printf '%s\t%s\t0\t0\t\t\t\t\t\t\t\t\t\t%s: %s\t%s' "$archive" "$t" "$why" \
                    "${CHECK[$t]}" "${THREADS[$t]}")")
            elif [ "$t" != zlimit ] && { [[ $t != *@* ]] || [[ " ${timed[*]-} " == *" ${t%@*} "* ]]; }; then
                timed+=("$t") # STUB@KIND only beside the stub on this archive
            fi
        done
        rm -rf "$WORK/verify" "$WORK/verify.tsv" "$WORK/traces"
        if [ ${#lead[@]} = 0 ]; then
            rest=()
            for t in "${timed[@]+"${timed[@]}"}"; do
                if [ "$t" = ref ]; then lead=(ref); else rest+=("$t"); fi
            done
            timed=("${rest[@]+"${rest[@]}"}")
        fi

        runs=$RUNS
        [[ $kind =~ ^(deflate|store|crypt)$ ]] || runs=$OTHER_RUNS
        [ "$shape" = tiny ] && runs=$TINY_RUNS
        TOOLCMDS=()
        for t in ${lead[@]+"${lead[@]}"} "${timed[@]+"${timed[@]}"}"; do add_tool "$t" "$archive" || true; done
        echo "bench: $archive: ${lead[*]+${lead[*]} }${timed[*]+${timed[*]}} ($runs rounds)" >&2
        if [ ${#TOOLCMDS[@]} != 0 ]; then
            "$BIN/pairtime" -n "$runs" -w "$WARMUP" -d "$WORK/runs" "${TOOLCMDS[@]}" >"$WORK/timed.tsv"
        else
            : >"$WORK/timed.tsv"
        fi
        # the ratios of pairtime are to its first tool: kept only when that is zlimit
        while IFS= read -r line; do
            [ "${lead[*]-}" = zlimit ] ||
                line=$(printf '%s\n' "$line" | awk -F'\t' -v OFS='\t' '{ $9 = $10 = $11 = $12 = "" } 1')
            printf '%s\t%s\t%s\n' "$archive" "$line" "${THREADS[${line%%$'\t'*}]:--}"
        done <"$WORK/timed.tsv" >>"$RESULTS/results.tsv"
        for row in "${skipped[@]+"${skipped[@]}"}"; do printf '%s\n' "$row" >>"$RESULTS/results.tsv"; done
        rm -rf "$WORK/runs" "$WORK/prep" "$WORK/timed.tsv"
        unset CHECK THREADS
    done
done

"$HERE/summarize.sh" "$RESULTS" >"$RESULTS/summary.md"
cat "$RESULTS/summary.md"
echo "results: $RESULTS" >&2
