#!/bin/sh
# Builds the benchmark corpus and its archives (deterministic; nothing in the source tree).
#
#   bench/make-corpus.sh [OUT]        OUT defaults to build/bench of this worktree
#
# Environment: SHAPES (default "big random small tiny"), GENDATA (the gendata
# program, default OUT/bin/gendata), PASSWORD (default secret).
#
# OUT/corpus/SHAPE/   the files;  OUT/corpus/SHAPE.sha256   their manifest
# OUT/zips/SHAPE-deflate.zip  zip -r, default level 6
# OUT/zips/SHAPE-store.zip    zip -0
# OUT/zips/SHAPE-crypt.zip    zip -P secret (traditional encryption, level 6)
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
# Every file gets a fixed mtime. A shape whose stamp matches this recipe and whose
# archives exist is left alone; delete OUT/corpus/SHAPE.stamp to force a rebuild.
# DOS times in the archives are local times: extract under the same TZ.
set -eu
HERE=$(cd "$(dirname "$0")" && pwd)
OUT=${1:-$HERE/../build/bench}
mkdir -p "$OUT"
OUT=$(cd "$OUT" && pwd)
GENDATA=${GENDATA:-$OUT/bin/gendata}
SHAPES=${SHAPES:-big random small tiny}
PASSWORD=${PASSWORD:-secret}
C=$OUT/corpus
Z=$OUT/zips
EPOCH=1704164645 # 2024-01-02 03:04:05 UTC
MiB=1048576
export LC_ALL=C

[ -x "$GENDATA" ] || { echo "make-corpus: no $GENDATA (build the bench tools first)" >&2; exit 2; }
RECIPE=$(cat "$HERE/make-corpus.sh" "$HERE/gendata.c" | sha256sum | cut -c1-16)
mkdir -p "$C" "$Z"

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
zip_shape() {
    list=$OUT/corpus/$1.list
    (cd "$C/$1" && find . -mindepth 1 | sort | sed 's|^\./||') >"$list"
    (cd "$C/$1" && zip -q -@ "$Z/$1-deflate.zip" <"$list")
    (cd "$C/$1" && zip -q -0 -@ "$Z/$1-store.zip" <"$list")
    (cd "$C/$1" && zip -q -P "$PASSWORD" -@ "$Z/$1-crypt.zip" <"$list")
    rm -f "$list"
}

for shape in $SHAPES; do
    stamp=$C/$shape.stamp
    if [ "$(cat "$stamp" 2>/dev/null)" = "$RECIPE" ] && [ -f "$Z/$shape-deflate.zip" ] &&
        [ -f "$Z/$shape-store.zip" ] && [ -f "$Z/$shape-crypt.zip" ]; then
        echo "corpus $shape: up to date"
        continue
    fi
    echo "corpus $shape: building"
    rm -rf "${C:?}/$shape" "$stamp" "$Z/$shape-deflate.zip" "$Z/$shape-store.zip" "$Z/$shape-crypt.zip"
    mkdir -p "$C/$shape"
    make_files "$shape"
    (cd "$C/$shape" && find . -type f | sort | xargs sha256sum) >"$C/$shape.sha256"
    zip_shape "$shape"
    echo "$RECIPE" >"$stamp"
    for kind in deflate store crypt; do
        printf '  %s-%s.zip: %s bytes\n' "$shape" "$kind" "$(stat -c %s "$Z/$shape-$kind.zip")"
    done
done
