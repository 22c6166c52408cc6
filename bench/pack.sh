#!/usr/bin/env bash
# The packing shape: rozbal-pack against `zip -r -6 -q` on the corpus's big and small trees.
#
#   bench/pack.sh            (normally through `make bench` or `make bench-pack`)
#
# Environment: OUT (build/bench: tools in OUT/bin, corpus from make-corpus.sh), PACK (the
# packer, default OUT/stub/bin/rozbal-pack), PACK_SHAPES ("big small"), RUNS (5), WARMUP (1),
# WORK (a tmpfs folder, /dev/shm). Each round packs the shape's folder into a fresh folder,
# both tools at level 6, the packer with --zip-only so that the sizes compare as they are.
# Prints, a shape a line: wall medians, the packer's over zip's, the sizes and their ratio,
# peak RSS, and the targets (wall at most 0.6x, size at most 1.03x, RSS at most 16 MiB plus
# 8 MiB a worker).
set -euo pipefail
HERE=$(cd "$(dirname "$0")" && pwd)
OUT=$(cd "${OUT:-$HERE/../build/bench}" && pwd)
PACK=${PACK:-$OUT/stub/bin/rozbal-pack}
PACK=$(cd "$(dirname "$PACK")" && pwd)/$(basename "$PACK")
SHAPES=${PACK_SHAPES:-big small}
RUNS=${RUNS:-5}
WARMUP=${WARMUP:-1}
WORK=$(mktemp -d "${WORK:-/dev/shm}/rozbal-pack-bench.XXXXXX")
trap 'rm -rf "$WORK"' EXIT
workers=$(nproc)
[ "$workers" -le 8 ] || workers=8
budget=$((16 * 1024 + 8 * 1024 * workers))

printf '| tree | zip wall | rozbal-pack wall | x zip (target 0.6) | zip bytes | rozbal-pack bytes | x zip (target 1.03) | RSS MiB zip | RSS MiB rozbal-pack (target %d) |\n' $((budget / 1024))
printf '|---|---|---|---|---|---|---|---|---|\n'
for shape in $SHAPES; do
    tree=$OUT/corpus/$shape
    [ -d "$tree" ] || { echo "bench: no $tree (make-corpus.sh)" >&2; exit 2; }
    find "$tree" -type f -exec cat {} + >/dev/null # into the page cache
    # Both from the corpus folder, so that both store the names as "SHAPE/...".
    zipCmd="d=\$PWD && cd '$OUT/corpus' && zip -r -6 -q \"\$d/out.zip\" $shape"
    packCmd="d=\$PWD && cd '$OUT/corpus' && '$PACK' -6 -q --zip-only -o \"\$d/out.zip\" $shape"
    (cd "$WORK" && sh -c "$zipCmd" && mv out.zip zip.zip && sh -c "$packCmd" && mv out.zip pack.zip)
    unzip -tq "$WORK/pack.zip" >/dev/null || { echo "bench: unzip -t fails on rozbal-pack's $shape" >&2; exit 1; }
    zipBytes=$(stat -c %s "$WORK/zip.zip") packBytes=$(stat -c %s "$WORK/pack.zip")
    rm -f "$WORK/zip.zip" "$WORK/pack.zip"
    "$OUT/bin/pairtime" -n "$RUNS" -w "$WARMUP" -d "$WORK/runs" \
        -t zip -- sh -c "$zipCmd" ";" -t rozbal-pack -- sh -c "$packCmd" ";" >"$WORK/times.tsv"
    awk -F'\t' -v shape="$shape" -v zb="$zipBytes" -v pb="$packBytes" '
        $1 == "zip" { zw = $4; zr = $8 }
        $1 == "rozbal-pack" { pw = $4; pr = $8; x = $9 }
        END { printf "| %s | %.3f s | %.3f s | %.2f | %d | %d | %.3f | %.1f | %.1f |\n",
                     shape, zw, pw, x, zb, pb, pb / zb, zr / 1024, pr / 1024 }' "$WORK/times.tsv"
done
