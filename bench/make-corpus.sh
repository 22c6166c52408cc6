#!/bin/sh
# Builds the benchmark corpus and its archives (deterministic; nothing in the source tree).
#
#   bench/make-corpus.sh [OUT]        OUT defaults to build/bench of this worktree
#
# Environment: SHAPES (default "big random small tiny"), KINDS (the archives, default
# "deflate store crypt"), GENDATA (the gendata program, default OUT/bin/gendata),
# PASSWORD (default secret), JOBS (compressors run side by side for the stream kinds, 2).
#
# OUT/corpus/SHAPE/   the files;  OUT/corpus/SHAPE.sha256   their manifest
# OUT/zips/SHAPE-KIND.zip, by kind:
#   deflate    Info-ZIP zip, default level 6      store  zip -0
#   crypt      zip -P secret (traditional encryption, level 6)
#   deflate7   7-Zip, -mm=Deflate, default level (also made for aes and deflate64)
#   aes        the same with -mem=AES256 -psecret
#   deflate64  7-Zip, -mm=Deflate64               lzma   7-Zip, -mm=LZMA
#   bzip7      7-Zip, -mm=BZip2
#   bzip2, zstd, xz   each file compressed by the tool at its default level (`bzip2 -c F`,
#              `zstd -c F`, `xz -T1 -c F`: one block, whichever xz) into OUT/streams/SHAPE-KIND/F,
#              those bytes wrapped into a ZIP by bench/zipwrap.py (methods 12, 93, 95)
#
# Shapes:
#   big     five files, about 202 MiB, cut from this machine's files: each is the
#           regular files under the given roots sorted by path, concatenated, cut
#           to size. Kept as a handful of large files rather than as a tree so that
#           this shape measures bulk throughput (inflate, CRC, write) while "small"
#           measures per-file costs; a tree of /usr/include would mix the two.
#           Its bytes depend on the installed packages: compare big.sha256.
#   random  one 64 MiB file of seeded incompressible bytes
#   small   20 000 files of 0..8 KiB in 200 folders, every tenth one mode 0755
#   tiny    one 1000-byte text file (start-up cost)
# Every file gets a fixed mtime. A shape whose stamp matches this recipe is left alone
# and only its missing archives are made; delete OUT/corpus/SHAPE.stamp to force a
# rebuild (which deletes all of its archives and streams).
# DOS times in the archives are local times: extract under the same TZ.
set -eu
HERE=$(cd "$(dirname "$0")" && pwd)
OUT=${1:-$HERE/../build/bench}
mkdir -p "$OUT"
OUT=$(cd "$OUT" && pwd)
GENDATA=${GENDATA:-$OUT/bin/gendata}
SHAPES=${SHAPES:-big random small tiny}
KINDS=${KINDS:-deflate store crypt}
case " $KINDS " in # their stub figures are set against the stubs' on deflate7
*" deflate7 "*) ;;
*" aes "* | *" deflate64 "*) KINDS="$KINDS deflate7" ;;
esac
JOBS=${JOBS:-2}
SEVENZ=/usr/lib/p7zip/7z # the program itself: /usr/bin/7z is a shell wrapper around it
PASSWORD=${PASSWORD:-secret}
C=$OUT/corpus
Z=$OUT/zips
EPOCH=1704164645 # 2024-01-02 03:04:05 UTC
MiB=1048576
export LC_ALL=C

[ -x "$GENDATA" ] || { echo "make-corpus: no $GENDATA (build the bench tools first)" >&2; exit 2; }
RECIPE=$(cat "$HERE/make-corpus.sh" "$HERE/gendata.c" "$HERE/zipwrap.py" | sha256sum | cut -c1-16)
S=$OUT/streams
mkdir -p "$C" "$Z" "$S"

# cut_sorted FILE BYTES ROOT... : the regular files under ROOTs sorted by path,
# concatenated and cut to BYTES; topped up with seeded text when the roots fall short.
cut_sorted() {
    file=$1 bytes=$2
    shift 2
    find "$@" -type f -print0 2>/dev/null | sort -z | xargs -0 cat 2>/dev/null | head -c "$bytes" >"$file" || true
    have=$(stat -c %s "$file")
    if [ "$have" -lt "$bytes" ]; then
        echo "make-corpus: warning: $(basename "$file") short by $((bytes - have)) bytes; topped up with text" >&2
        "$GENDATA" text $((bytes - have)) 99 >>"$file"
    fi
}

# fix_times DIR : mode 0644 and mtime EPOCH + i for the files of DIR, in name order
fix_times() {
    i=0
    for f in "$1"/*; do
        chmod 0644 "$f"
        touch -d "@$((EPOCH + i))" "$f"
        i=$((i + 1))
    done
}

make_files() {
    dir=$C/$1
    case $1 in
    big)
        cut_sorted "$dir/src-pascal.dat" $((64 * MiB)) /usr/share/fpcsrc
        cut_sorted "$dir/src-c.dat" $((40 * MiB)) /usr/include
        cut_sorted "$dir/src-perl.dat" $((16 * MiB)) /usr/share/perl
        cut_sorted "$dir/elf-cc1plus.dat" 35464168 /usr/lib/gcc/x86_64-linux-gnu/12/cc1plus
        find /usr/lib/x86_64-linux-gnu -maxdepth 1 -type f -name '*.so*' -print0 | sort -z |
            xargs -0 cat 2>/dev/null | head -c $((48 * MiB)) >"$dir/elf-libs.dat" || true
        fix_times "$dir"
        ;;
    random)
        "$GENDATA" random $((64 * MiB)) 20240102 >"$dir/random.bin"
        fix_times "$dir"
        ;;
    small)
        "$GENDATA" small "$dir" 20000 20000
        ;;
    tiny)
        "$GENDATA" text 1000 1000 >"$dir/readme.txt"
        fix_times "$dir"
        ;;
    *)
        echo "make-corpus: unknown shape $1" >&2
        exit 2
        ;;
    esac
}

# The entries in sorted order (folders included), so that the archives do not
# depend on the order in which the file system lists a folder.
list_entries() {
    (cd "$C/$1" && find . -mindepth 1 | sort | sed 's|^\./||') >"$C/$1.list"
}

# streams SHAPE KIND TOOL...: TOOL -c FILE > OUT/streams/SHAPE-KIND/FILE for every file,
# JOBS at a time (the file as an argument, not on standard input: zstd then records the
# content size in the frame, as it does for a user).
streams() {
    shape=$1 dir=$S/$1-$2
    shift 2
    rm -rf "$dir" && mkdir -p "$dir"
    (cd "$C/$shape" && find . -mindepth 1 -type d -print0 | (cd "$dir" && xargs -0 -r mkdir -p))
    (cd "$C/$shape" && find . -type f -print0 | sed -z 's|^\./||' |
        xargs -0 -r -n 64 -P "$JOBS" sh -c \
            'out=$1 tool=$2; shift 2; for f; do $tool -c "$f" >"$out/$f" || exit 255; done' sh "$dir" "$*")
}

# make_archive SHAPE KIND: OUT/zips/SHAPE-KIND.zip from the entries in OUT/corpus/SHAPE.list
make_archive() {
    shape=$1 kind=$2 list=$C/$1.list zip=$Z/.part-$1-$2.zip # renamed when whole
    rm -f "$zip"
    case $kind in
    deflate) (cd "$C/$shape" && zip -q -@ "$zip" <"$list") ;;
    store) (cd "$C/$shape" && zip -q -0 -@ "$zip" <"$list") ;;
    crypt) (cd "$C/$shape" && zip -q -P "$PASSWORD" -@ "$zip" <"$list") ;;
    deflate7 | aes | deflate64 | lzma | bzip7)
        set -- -mm=Deflate
        case $kind in
        aes) set -- -mm=Deflate -mem=AES256 "-p$PASSWORD" ;;
        deflate64) set -- -mm=Deflate64 ;;
        lzma) set -- -mm=LZMA ;;
        bzip7) set -- -mm=BZip2 ;;
        esac
        [ -x "$SEVENZ" ] || { echo "make-corpus: $kind needs 7-Zip ($SEVENZ)" >&2; exit 2; }
        (cd "$C/$shape" && "$SEVENZ" a -tzip "$@" -bso0 -bsp0 "$zip" "@$list")
        ;;
    bzip2 | zstd | xz)
        case $kind in
        bzip2) set -- bzip2 ;;
        zstd) set -- zstd -q ;;
        xz) set -- xz -T1 ;;
        esac
        command -v "$1" >/dev/null || { echo "make-corpus: $kind needs $1" >&2; exit 2; }
        streams "$shape" "$kind" "$@"
        python3 "$HERE/zipwrap.py" -t "$EPOCH" "$kind" "$C/$shape" "$S/$shape-$kind" "$list" "$zip"
        ;;
    *)
        echo "make-corpus: unknown kind $kind" >&2
        exit 2
        ;;
    esac
    mv "$zip" "$Z/$shape-$kind.zip"
    printf '  %s-%s.zip: %s bytes\n' "$shape" "$kind" "$(stat -c %s "$Z/$shape-$kind.zip")"
}

for shape in $SHAPES; do
    stamp=$C/$shape.stamp
    if [ "$(cat "$stamp" 2>/dev/null)" != "$RECIPE" ]; then
        echo "corpus $shape: building"
        rm -rf "${C:?}/$shape" "$stamp" "$Z/$shape"-*.zip "$S/$shape"-*
        mkdir -p "$C/$shape"
        make_files "$shape"
        (cd "$C/$shape" && find . -type f | sort | xargs sha256sum) >"$C/$shape.sha256"
        echo "$RECIPE" >"$stamp"
    fi
    missing=
    for kind in $KINDS; do [ -f "$Z/$shape-$kind.zip" ] || missing="$missing $kind"; done
    if [ -z "$missing" ]; then
        echo "corpus $shape: up to date"
        continue
    fi
    echo "corpus $shape: making$missing"
    list_entries "$shape"
    for kind in $missing; do make_archive "$shape" "$kind"; done
    rm -f "$C/$shape.list"
done
