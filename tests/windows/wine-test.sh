#!/bin/sh
# What ctest runs the Windows test programs through: Wine, once more (twice at most) where Wine
# itself dies of SIGSEGV. Wine 8 now and then does so ending a process while a thread it started is
# still starting, as GoogleTest starts one at a test's first skip or failure, just before the end.
# A fault in the Windows code is never that: Wine makes it an exception, and the program ends with
# its code (5), not with a signal.
wine=$1
shift
again=0
while :; do
    "$wine" "$@"
    status=$?
    [ "$status" -eq 139 ] && [ $again -lt 2 ] || exit "$status"
    again=$((again + 1))
    echo "wine-test.sh: Wine crashed (SIGSEGV) ending the program; running it again" >&2
done
