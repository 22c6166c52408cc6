#!/bin/sh
# Fetches and unpacks Debian source packages without touching the system's apt setup: a private
# source list and package lists under the deps folder, the system's own mirror and suite.
#
#   deps/fetch-source.sh PACKAGE[=UPSTREAM]...
#
# UPSTREAM pins the upstream version (the part of the Debian version before the revision, any
# +dfsg suffix ignored): a different one in the registry fails the run. Each package is unpacked
# once, under $ROZBAL_DEPS_WORK/src (default build-deps/src); the last line of output per package
# is "PACKAGE DIRECTORY", the unpacked tree. Needs apt-get and dpkg-source (dpkg-dev).
set -eu

work=${ROZBAL_DEPS_WORK:-build-deps}
src=$work/src
mkdir -p "$src/apt/lists/partial"
src=$(cd "$src" && pwd)

command -v apt-get >/dev/null 2>&1 || { echo "fetch-source: apt-get not found" >&2; exit 1; }
command -v dpkg-source >/dev/null 2>&1 || {
    echo "fetch-source: dpkg-source not found; install it with: apt-get install dpkg-dev" >&2; exit 1; }

# The mirror and suite the system itself uses: deb822 files first, then the one-line format.
uri=$(sed -n 's/^URIs: *\([^ ]*\).*/\1/p' /etc/apt/sources.list.d/*.sources 2>/dev/null | head -1 || true)
suite=$(. /etc/os-release && echo "${VERSION_CODENAME:-}")
if [ -z "$uri" ] && [ -f /etc/apt/sources.list ]; then
    line=$(sed -n 's/^deb  *\(\[[^]]*\]  *\)\{0,1\}\([^ ]*\)  *\([^ ]*\) .*/\2 \3/p' /etc/apt/sources.list | head -1)
    uri=${line% *}
    [ -n "$suite" ] || suite=${line#* }
fi
[ -n "$uri" ] && [ -n "$suite" ] || { echo "fetch-source: no Debian mirror or suite found in /etc/apt" >&2; exit 1; }

list=$src/apt/sources.list
printf 'deb-src %s %s main\n' "$uri" "$suite" > "$list.new"
opts="-o Dir::Etc::sourcelist=$list -o Dir::Etc::sourceparts=- -o Dir::State::Lists=$src/apt/lists"
# Our own cache too; as root the downloads land in our folder, which apt's sandbox user cannot write.
opts="$opts -o Dir::Cache=$src/apt/cache -o APT::Sandbox::User=$(id -un)"
# The lists are fetched once per mirror and suite; delete build-deps/src/apt to fetch them again.
if ! cmp -s "$list.new" "$list" || ! ls "$src/apt/lists/"*Sources* >/dev/null 2>&1; then
    mv "$list.new" "$list"
    mkdir -p "$src/apt/cache/archives/partial"
    # shellcheck disable=SC2086
    apt-get $opts update -qq || { echo "fetch-source: apt-get update failed for $uri $suite" >&2; exit 1; }
else
    rm -f "$list.new"
fi

for wanted in "$@"; do
    package=${wanted%%=*}
    pin=
    [ "$package" = "$wanted" ] || pin=${wanted#*=}
    # shellcheck disable=SC2086
    version=$(apt-cache $opts showsrc "$package" 2>/dev/null | sed -n 's/^Version: *//p' | head -1)
    [ -n "$version" ] || { echo "fetch-source: no source package $package in $uri $suite" >&2; exit 1; }
    upstream=${version#*:}
    upstream=${upstream%-*}
    plain=${upstream%%+*}
    if [ -n "$pin" ] && [ "$plain" != "$pin" ]; then
        echo "fetch-source: $package is $version in $uri $suite, not upstream $pin as pinned" >&2
        exit 1
    fi
    dir=$src/$package-$upstream
    if [ ! -f "$dir/.fetched" ]; then
        echo "fetch-source: $package $version from $uri $suite"
        rm -rf "$dir"
        # shellcheck disable=SC2086
        (cd "$src" && apt-get $opts source -qq --only-source "$package=$version" >/dev/null) ||
            { echo "fetch-source: apt-get source $package=$version failed" >&2; exit 1; }
        [ -d "$dir" ] || { echo "fetch-source: $package unpacked somewhere other than $dir" >&2; exit 1; }
        echo "$version" > "$dir/.fetched"
    fi
    echo "$package $dir"
done
