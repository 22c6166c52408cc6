#!/bin/sh
# make test-arm64: the end-to-end suites on the aarch64 stub under qemu-user. The native test programs
# run it in place of the x86-64 stub (ROZBAL_TEST_STUB), through the emulator the runner puts in
# front of a program for another processor (ROZBAL_TEST_EMULATOR, tests/support/StubRunner.h): the
# sfx suite's tests (the dialogue, extraction, methods, passwords, volumes, hostile archives, and the
# stub's linkage and size), then the packer's round trip with --target linux-arm64.
set -eu
JOBS=${JOBS:-2}
BUILD=${BUILD:-build}
ARM64_BUILD=${ARM64_BUILD:-build-arm64}
started=$(date +%s)

stub=$(cd "$ARM64_BUILD/bin" && pwd)/rozbal
echo "test-arm64: $stub, $(stat -c %s "$stub") bytes, needs:" \
    $(readelf -d "$stub" | sed -n 's/.*(NEEDED).*\[\(.*\)\]/\1/p')
# The packer relinked with the stub it carries, and the suites.
cmake --build "$BUILD" -j "$JOBS"

export ROZBAL_TEST_STUB="$stub" ROZBAL_TEST_EMULATOR="qemu-aarch64 -L /usr/aarch64-linux-gnu"
status=0
# Not the corpus row that compares this build's two x86-64 stubs.
(cd "$BUILD" && ctest --output-on-failure -j "$JOBS" -L '^sfx$' -E 'CorpusComesOutTheSame' </dev/null) || status=$?
(cd "$BUILD" && ctest --output-on-failure -R '^PackTest\.Arm64' </dev/null) || status=$?
echo "test-arm64: $(($(date +%s) - started)) s"
exit $status
