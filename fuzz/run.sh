#!/bin/sh
# Runs each fuzz target for SECONDS, one after another, on one core:
#   fuzz/run.sh BUILD_DIR SECONDS TARGET...      (make fuzz)
# Corpora and findings stay under BUILD_DIR/fuzz-work/<target>/. Seeds: the
# generator's output and the small archives of the shared conformance corpus.
set -u
build=$1 seconds=$2
shift 2
root=$(cd "$(dirname "$0")/.." && pwd)
build=$(cd "$build" && pwd)
shared=${ROZBAL_CORPUS:-$root/../shared/corpus}
max_len=65536

mkdir -p "$build/fuzz-work"
"$build/bin/fuzz_seeds" "$build/fuzz-work/seeds" || exit 1
status=0
for target in "$@"; do
  work=$build/fuzz-work/$target
  mkdir -p "$work/corpus" "$work/findings" "$work/seeds"
  case $target in
    path) seeds=$build/fuzz-work/seeds/paths ;;
    inflate)
      # Raw deflate streams of a few kinds made by zlib, in both of the target's forms.
      seeds=$work/seeds
      python3 - "$seeds" <<'PY'
import os, sys, zlib
text = b"".join(b"rozbal %d archive entry data\n" % i for i in range(3000))
noise = bytes((i * 2654435761 >> 13) & 255 for i in range(20000))
for name, data, level, strategy in [("text", text, 6, 0), ("fixed", text, 6, 4), ("stored", noise, 0, 0),
                                    ("mixed", text[:9000] + noise[:9000], 9, 0), ("tiny", b"abc", 1, 0)]:
    c = zlib.compressobj(level, zlib.DEFLATED, -15, 8, strategy)
    stream = c.compress(data) + c.flush()
    open(os.path.join(sys.argv[1], name), "wb").write(bytes([1, 37, 201]) + stream)
    open(os.path.join(sys.argv[1], name + "-damaged"), "wb").write(bytes([0x80, level]) + data[:8000] + b"\x11\x40")
PY
      ;;
    *)
      # The volumes target takes plain archives as one volume, and split sets of its own form.
      seeds=$build/fuzz-work/seeds/archives
      [ "$target" = volumes ] && cp "$build"/fuzz-work/seeds/volumes/* "$work/seeds/"
      # The shared archives that fit the input size; a cut archive loses its end record.
      if [ -d "$shared" ]; then
        find "$shared" -type f \( -name '*.zip' -o -name '*.zipx' -o -name '*.jar' -o -name '*.exe' -o -name '*.z0*' \) \
          -size -"$max_len"c -exec cp {} "$work/seeds/" \;
      fi ;;
  esac
  # The targets' sandboxes, on tmpfs when there is one; gone afterwards even when a crash left them.
  scratch=$(mktemp -d /dev/shm/rozbal-fuzz-run.XXXXXX 2>/dev/null || mktemp -d)
  printf '\n== fuzz_%s: %s s\n' "$target" "$seconds"
  # -jobs=1 runs the target in a child whose log libFuzzer writes as fuzz-0.log in the working folder.
  (cd "$work" && rm -f fuzz-0.log &&
    ROZBAL_FUZZ_SCRATCH=$scratch "$build/bin/fuzz_$target" -jobs=1 -max_total_time="$seconds" -max_len="$max_len" -timeout=25 -rss_limit_mb=2048 \
      -dict="$root/fuzz/zip.dict" -artifact_prefix="$work/findings/" -print_final_stats=1 \
      "$work/corpus" "$seeds" "$work/seeds" >/dev/null 2>&1)
  chmod -R u+rwx "$scratch" 2>/dev/null
  rm -rf "$scratch"
  log=$work/fuzz-0.log
  grep -E '^#[0-9]+.*(DONE|cov:)' "$log" | tail -n 1
  grep -E '^stat::(number_of_executed_units|average_exec_per_sec|peak_rss_mb)' "$log"
  grep -E '^(==[0-9]+==ERROR|SUMMARY:)|runtime error' "$log" | head -n 5
  findings=$(find "$work/findings" -type f | wc -l)
  printf 'fuzz_%s: %s finding(s) in %s; log %s\n' "$target" "$findings" "$work/findings" "$log"
  [ "$findings" -eq 0 ] || status=1
done
exit $status
