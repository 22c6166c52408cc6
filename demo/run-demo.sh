#!/bin/sh
# Makes a self-extracting archive from demo/sample and runs it as a user would, answering "a".
# Usage: demo/run-demo.sh <stub>   (make demo passes build/bin/rozbal)
set -eu

stub=${1:?usage: run-demo.sh <stub>}
[ -x "$stub" ] || { echo "run-demo.sh: no stub at $stub (run make first)" >&2; exit 1; }
command -v zip >/dev/null 2>&1 || { echo "run-demo.sh: Info-ZIP zip is needed (apt-get install zip)" >&2; exit 1; }

here=$(cd "$(dirname "$0")" && pwd)
stub=$(cd "$(dirname "$stub")" && pwd)/$(basename "$stub")
work=$(dirname "$(dirname "$stub")")/demo # build/bin/rozbal -> build/demo

# A fresh scratch folder; earlier runs may have left read-only files and folders behind.
[ -d "$work" ] && chmod -R u+rwX "$work"
rm -rf "$work"
mkdir -p "$work"
cp -R "$here/sample" "$work/sample"
# Git keeps no read-only bit, so the sample gets it here; zip stores the UNIX mode with each entry.
chmod a-w "$work/sample/docs/license.txt"

(cd "$work/sample" && zip -q -r -X ../sample.zip .)
cat "$stub" "$work/sample.zip" > "$work/setup.run"
chmod +x "$work/setup.run"

echo "== $work/setup.run: $(wc -c < "$stub") bytes of stub + $(wc -c < "$work/sample.zip") bytes of archive"
printf '%s\n' "== printf 'a\\n' | ./setup.run"
status=0
(cd "$work" && printf 'a\n' | ./setup.run) || status=$?
echo
echo "== exit status: $status"
echo "== what came out in $work/setup:"
if [ -d "$work/setup" ]; then
    (cd "$work/setup" && ls -lR --time-style=long-iso .)
else
    echo "(nothing came out)"
fi
