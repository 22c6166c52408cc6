# Thin wrapper over CMake. `make` builds the stub, `make test` runs the suite,
# `make demo` makes and runs a self-extracting archive, `make bench` times the
# stub against other extractors (see bench/README.md).
BUILD      ?= build
SAN_BUILD  ?= build-sanitize
TSAN_BUILD ?= build-tsan
JOBS       ?= 2
CMAKE_ARGS ?=
# The Linux stub's AES library: mbedtls (Apache-2.0) or nettle (LGPL, faster); see cmake/Crypto.cmake.
CRYPTO     ?= mbedtls
LINUX_ARGS  = -DROZBAL_CRYPTO=$(CRYPTO) $(CMAKE_ARGS)

.PHONY: all deps configure test test-large test-sanitize test-tsan demo clean bench bench-pack bench-deps windows windows-deps test-windows bench-windows
.PHONY: arm64 arm64-deps arm64-toolchain test-arm64

all: configure
	cmake --build $(BUILD) --target rozbal -j $(JOBS)
	@printf 'stub: %s (%s bytes)\n' $(BUILD)/bin/rozbal "$$(stat -c %s $(BUILD)/bin/rozbal)"
	@if $(MAKE) --no-print-directory arm64-toolchain; then $(MAKE) --no-print-directory arm64; else \
	  echo "no aarch64 cross compiler: the linux-arm64 stub is not built"; fi
	cmake --build $(BUILD) --target rozbal-pack -j $(JOBS)
	@printf 'packer: %s (%s bytes)\n' $(BUILD)/bin/rozbal-pack "$$(stat -c %s $(BUILD)/bin/rozbal-pack)"

# Installs what the build needs on Debian when we are root; elsewhere it names the packages. Then
# builds the crypto library chosen by CRYPTO from its Debian source package (deps/build-crypto.sh), once.
deps:
	@missing=""; \
	command -v cmake >/dev/null 2>&1 || missing="$$missing cmake"; \
	command -v g++ >/dev/null 2>&1 || missing="$$missing g++"; \
	command -v zip >/dev/null 2>&1 || missing="$$missing zip"; \
	[ -f /usr/include/zlib.h ] || missing="$$missing zlib1g-dev"; \
	[ -f /usr/include/gtest/gtest.h ] || missing="$$missing libgtest-dev"; \
	[ -f /usr/include/libdeflate.h ] || missing="$$missing libdeflate-dev"; \
	command -v dpkg-source >/dev/null 2>&1 || missing="$$missing dpkg-dev"; \
	[ "$(CRYPTO)" != nettle ] || command -v m4 >/dev/null 2>&1 || missing="$$missing m4"; \
	command -v openssl >/dev/null 2>&1 || missing="$$missing openssl"; \
	[ -f /usr/include/openssl/evp.h ] || missing="$$missing libssl-dev"; \
	command -v bzip2 >/dev/null 2>&1 || missing="$$missing bzip2"; \
	command -v xz >/dev/null 2>&1 || missing="$$missing xz-utils"; \
	command -v zstd >/dev/null 2>&1 || missing="$$missing zstd"; \
	command -v 7z >/dev/null 2>&1 || missing="$$missing p7zip-full"; \
	[ -x /usr/bin/python3 ] || missing="$$missing python3"; \
	command -v unzip >/dev/null 2>&1 || missing="$$missing unzip"; \
	[ "$$(uname -m)" != x86_64 ] || command -v nasm >/dev/null 2>&1 || missing="$$missing nasm"; \
	if [ -n "$$missing" ]; then \
	  if command -v apt-get >/dev/null 2>&1 && [ "$$(id -u)" = 0 ]; then \
	    echo "installing:$$missing"; \
	    apt-get update -qq || echo "deps: some package lists could not be read; installing from the others"; \
	    DEBIAN_FRONTEND=noninteractive apt-get install -y -qq $$missing >/dev/null || exit 1; \
	  else \
	    echo "missing build dependencies; install them with: apt-get install$$missing"; exit 1; \
	  fi; \
	fi
	@sh deps/build-crypto.sh $(CRYPTO) linux
	@$(MAKE) -q $(DEPS_WORK)/linux/codecs.stamp || $(MAKE) --no-print-directory $(DEPS_WORK)/linux/codecs.stamp
	@if [ "$$(uname -m)" = x86_64 ]; then \
	  $(MAKE) -q $(DEPS_WORK)/linux-isal/isal.stamp || $(MAKE) --no-print-directory $(DEPS_WORK)/linux-isal/isal.stamp; fi
	@if command -v i686-w64-mingw32-gcc-posix >/dev/null 2>&1; then \
	  $(MAKE) -q $(DEPS_WORK)/win32/codecs.stamp || $(MAKE) --no-print-directory $(DEPS_WORK)/win32/codecs.stamp; fi

# The decoders of bzip2, xz/LZMA and zstd: static, decoder-only libraries built once from Debian's
# source packages (deps/build-codecs.sh) into $(DEPS_WORK)/PLATFORM, found there by cmake/Codecs.cmake.
DEPS_WORK ?= build-deps
$(DEPS_WORK)/%/codecs.stamp: deps/build-codecs.sh deps/fetch-source.sh
	@echo "building the bzip2 1.0.8, xz-utils 5.4.1 and zstd 1.5.4 decoders for $* from Debian's source packages into $(DEPS_WORK)/$*"
	@mkdir -p $(DEPS_WORK)
	@ROZBAL_DEPS_WORK=$(DEPS_WORK) JOBS=$(JOBS) nice sh deps/build-codecs.sh $* >$(DEPS_WORK)/codecs-$*.log 2>&1 || \
	  { cat $(DEPS_WORK)/codecs-$*.log; exit 1; }
	@grep '^build-codecs: .*\.a (' $(DEPS_WORK)/codecs-$*.log | sed 's/^build-codecs: /  /'
	@touch $@

# ISA-L's streaming inflate and CRC-32 for big deflated entries, x86-64 only (deps/build-isal.sh).
$(DEPS_WORK)/linux-isal/isal.stamp: deps/build-isal.sh deps/isal-glue.c deps/fetch-source.sh
	@echo "building ISA-L 2.30.0's inflate and CRC-32 from Debian's source package into $(DEPS_WORK)/linux-isal"
	@mkdir -p $(DEPS_WORK)
	@ROZBAL_DEPS_WORK=$(DEPS_WORK) nice sh deps/build-isal.sh >$(DEPS_WORK)/isal.log 2>&1 || \
	  { cat $(DEPS_WORK)/isal.log; exit 1; }
	@grep '^build-isal: ' $(DEPS_WORK)/isal.log | sed 's/^build-isal: /  /'
	@touch $@

configure: deps
	@[ -f $(BUILD)/CMakeCache.txt ] || cmake -S . -B $(BUILD) -DCMAKE_BUILD_TYPE=Release \
	  -DROZBAL_ARM64_STUB=$(abspath $(ARM64_BUILD))/bin/rozbal $(LINUX_ARGS) >/dev/null

test: configure
	cmake --build $(BUILD) -j $(JOBS)
	cd $(BUILD) && ctest --output-on-failure -j $(JOBS) -LE large

# The archives too big for `make test` (an entry past 4 GiB, 70 000 files from 7-Zip), one at a time;
# 7-Zip comes with the bench's peers.
test-large: configure bench-deps
	cmake --build $(BUILD) -j $(JOBS)
	cd $(BUILD) && ctest --output-on-failure -L large

test-sanitize: deps
	@[ -f $(SAN_BUILD)/CMakeCache.txt ] || cmake -S . -B $(SAN_BUILD) -DCMAKE_BUILD_TYPE=Debug -DROZBAL_SANITIZE=ON $(LINUX_ARGS) >/dev/null
	cmake --build $(SAN_BUILD) -j $(JOBS)
	cd $(SAN_BUILD) && ASAN_OPTIONS=detect_leaks=1 UBSAN_OPTIONS=print_stacktrace=1 ctest --output-on-failure -j $(JOBS) -LE large

# Under ThreadSanitizer, at -O1: the engine suite, the end-to-end suites with the stub that
# always extracts with three threads (the workers.* tests), rozbal-pack's (the pack tests), and the
# one-entry rows of the default stub, whose big entry is written behind on a thread of its own. The stubs inherit TSAN_OPTIONS, so a
# race reported in any of them stops it with status 66 and fails its test (without the second
# ThreadSanitizer waits at every exit by default).
test-tsan: deps
	@[ -f $(TSAN_BUILD)/CMakeCache.txt ] || cmake -S . -B $(TSAN_BUILD) -DCMAKE_BUILD_TYPE=Debug \
	  -DCMAKE_CXX_FLAGS_DEBUG="-g1 -O1" -DCMAKE_C_FLAGS_DEBUG="-g1 -O1" -DROZBAL_TSAN=ON $(LINUX_ARGS) >/dev/null
	cmake --build $(TSAN_BUILD) --target sfx_tests engine_tests pack_tests -j $(JOBS)
	cd $(TSAN_BUILD) && TSAN_OPTIONS="halt_on_error=1 exitcode=66 second_deadlock_stack=1 atexit_sleep_ms=0" \
	  ctest --output-on-failure -j $(JOBS) -LE large -L '^(engine|workers|pack)$$'
	@# The one-thread path's write-behind thread, which the three-worker stub never takes.
	cd $(TSAN_BUILD) && TSAN_OPTIONS="halt_on_error=1 exitcode=66 second_deadlock_stack=1 atexit_sleep_ms=0" \
	  ctest --output-on-failure -j $(JOBS) -L '^sfx$$' -R 'one_big_entry'

demo: all
	@sh demo/run-demo.sh $(BUILD)/bin/rozbal

# The benchmark: two Release stubs of its own (no tests), the default build with its
# worker threads (stub) and one built with a single thread (stub-1), the helper
# programs and their checks, the corpus and the archives of KINDS, then the timed runs.
# Options: SHAPES, KINDS, TOOLS, RUNS, TINY_RUNS, WARMUP, WORK, STUBS (see bench/run.sh).
BENCH_OUT ?= $(BUILD)/bench
BENCH_ABS  = $(abspath $(BENCH_OUT))
STUBS     ?= rozbal=$(BENCH_ABS)/stub/bin/rozbal rozbal-1=$(BENCH_ABS)/stub-1/bin/rozbal
bench: deps bench-deps
	@[ -f $(BENCH_OUT)/stub/CMakeCache.txt ] || cmake -S . -B $(BENCH_OUT)/stub -DCMAKE_BUILD_TYPE=Release -DROZBAL_TESTS=OFF $(LINUX_ARGS) >/dev/null
	@grep -qx 'ROZBAL_WORKERS:STRING=1' $(BENCH_OUT)/stub-1/CMakeCache.txt 2>/dev/null || \
	  cmake -S . -B $(BENCH_OUT)/stub-1 -DCMAKE_BUILD_TYPE=Release -DROZBAL_TESTS=OFF $(LINUX_ARGS) -DROZBAL_WORKERS=1 >/dev/null
	cmake --build $(BENCH_OUT)/stub --target rozbal -j $(JOBS)
	cmake --build $(BENCH_OUT)/stub-1 --target rozbal -j $(JOBS)
	@for s in stub stub-1; do printf 'stub: %s (%s bytes)\n' $(BENCH_OUT)/$$s/bin/rozbal "$$(stat -c %s $(BENCH_OUT)/$$s/bin/rozbal)"; done
	$(MAKE) -C bench OUT=$(BENCH_ABS) tools check
	sh bench/make-corpus.sh $(BENCH_OUT)
	OUT=$(BENCH_OUT) STUBS="$(STUBS)" bash bench/run.sh
	$(MAKE) --no-print-directory bench-pack

# The packing shape alone (bench/pack.sh): rozbal-pack against `zip -r -6` on the big and small trees.
bench-pack: deps bench-deps
	@[ -f $(BENCH_OUT)/stub/CMakeCache.txt ] || cmake -S . -B $(BENCH_OUT)/stub -DCMAKE_BUILD_TYPE=Release -DROZBAL_TESTS=OFF $(LINUX_ARGS) >/dev/null
	cmake --build $(BENCH_OUT)/stub --target rozbal-pack -j $(JOBS)
	$(MAKE) -C bench OUT=$(BENCH_ABS) tools
	SHAPES="big small" KINDS=store sh bench/make-corpus.sh $(BENCH_OUT)
	OUT=$(BENCH_OUT) bash bench/pack.sh

# The peers the benchmark compares with, the compressors and Python that make the
# archives of the other methods, and strace for its thread counts, installed on Debian
# when we are root; a missing one elsewhere only leaves its column or its kinds out.
bench-deps:
	@missing=""; \
	command -v cc >/dev/null 2>&1 || missing="$$missing gcc"; \
	command -v zip >/dev/null 2>&1 || missing="$$missing zip"; \
	command -v unzip >/dev/null 2>&1 || missing="$$missing unzip"; \
	[ -x /usr/lib/p7zip/7z ] || missing="$$missing p7zip-full"; \
	command -v bsdtar >/dev/null 2>&1 || missing="$$missing libarchive-tools"; \
	command -v strace >/dev/null 2>&1 || missing="$$missing strace"; \
	command -v bzip2 >/dev/null 2>&1 || missing="$$missing bzip2"; \
	command -v zstd >/dev/null 2>&1 || missing="$$missing zstd"; \
	command -v xz >/dev/null 2>&1 || missing="$$missing xz-utils"; \
	command -v python3 >/dev/null 2>&1 || missing="$$missing python3"; \
	if [ -n "$$missing" ]; then \
	  if command -v apt-get >/dev/null 2>&1 && [ "$$(id -u)" = 0 ]; then \
	    echo "installing:$$missing"; \
	    apt-get update -qq || echo "bench-deps: some package lists could not be read; installing from the others"; \
	    DEBIAN_FRONTEND=noninteractive apt-get install -y -qq $$missing >/dev/null; \
	  else \
	    echo "bench: not installed:$$missing (apt-get install$$missing); their columns or kinds are left out"; \
	  fi; \
	fi

clean:
	rm -rf $(BUILD) $(SAN_BUILD) $(TSAN_BUILD) $(WIN_BUILD) build-win64 $(ARM64_BUILD)

# The aarch64 Linux stub: cross-built with Debian's compilers (cmake/aarch64.cmake) against zlib and
# the codecs (deps/build-codecs.sh), libdeflate and mbedtls built for it from Debian's source packages
# into $(DEPS_WORK)/arm64; `make` builds it where the compilers are there or can be installed, and
# rozbal-pack carries it (--target linux-arm64). `make test-arm64` runs the end-to-end suites on it
# under qemu-user (tests/arm64/run.sh).
ARM64_BUILD ?= build-arm64

arm64: arm64-deps
	@[ -f $(ARM64_BUILD)/CMakeCache.txt ] || cmake -S . -B $(ARM64_BUILD) -DCMAKE_TOOLCHAIN_FILE=cmake/aarch64.cmake \
	  -DCMAKE_BUILD_TYPE=Release -DROZBAL_TESTS=OFF -DROZBAL_DEPS_DIR=$(abspath $(DEPS_WORK))/arm64 $(CMAKE_ARGS) >/dev/null
	nice cmake --build $(ARM64_BUILD) --target rozbal -j $(JOBS)
	@printf 'stub: %s (%s bytes)\n' $(ARM64_BUILD)/bin/rozbal "$$(stat -c %s $(ARM64_BUILD)/bin/rozbal)"

test-arm64: configure arm64
	@$(MAKE) --no-print-directory arm64-toolchain ARM64_QEMU=yes
	ARM64_BUILD=$(ARM64_BUILD) BUILD=$(BUILD) JOBS=$(JOBS) sh tests/arm64/run.sh

# The cross compilers and C library, and with ARM64_QEMU=yes qemu-user that runs the stub: amd64
# packages, installed on Debian when we are root. Fails (and `make` goes on without the stub) when
# they cannot be had.
arm64-toolchain:
	@missing=""; \
	command -v aarch64-linux-gnu-gcc >/dev/null 2>&1 || missing="$$missing gcc-aarch64-linux-gnu"; \
	command -v aarch64-linux-gnu-g++ >/dev/null 2>&1 || missing="$$missing g++-aarch64-linux-gnu"; \
	[ -f /usr/aarch64-linux-gnu/include/stdio.h ] || missing="$$missing libc6-dev-arm64-cross"; \
	[ "$(ARM64_QEMU)" != yes ] || command -v qemu-aarch64 >/dev/null 2>&1 || missing="$$missing qemu-user"; \
	if [ -n "$$missing" ]; then \
	  if command -v apt-get >/dev/null 2>&1 && [ "$$(id -u)" = 0 ]; then \
	    echo "installing:$$missing"; \
	    apt-get update -qq || echo "arm64-toolchain: some package lists could not be read; installing from the others"; \
	    DEBIAN_FRONTEND=noninteractive apt-get install -y -qq --no-install-recommends $$missing >/dev/null || exit 1; \
	  else \
	    echo "missing aarch64 build dependencies; install them with: apt-get install$$missing"; exit 1; \
	  fi; \
	fi

arm64-deps: deps arm64-toolchain
	@$(MAKE) -q $(DEPS_WORK)/arm64/codecs.stamp || $(MAKE) --no-print-directory $(DEPS_WORK)/arm64/codecs.stamp
	@$(MAKE) -q $(DEPS_WORK)/arm64-libdeflate/libdeflate.stamp || \
	  $(MAKE) --no-print-directory $(DEPS_WORK)/arm64-libdeflate/libdeflate.stamp
	@ROZBAL_DEPS_WORK=$(abspath $(DEPS_WORK)) sh deps/build-crypto.sh mbedtls arm64

# The Windows program: 32-bit, built with Debian's mingw-w64 compilers, tested under Wine
# (see tests/windows/run.sh).
WIN_BUILD ?= build-win32

windows: windows-deps
	@[ -f $(WIN_BUILD)/CMakeCache.txt ] || cmake -S . -B $(WIN_BUILD) -DCMAKE_TOOLCHAIN_FILE=cmake/mingw.cmake \
	  -DCMAKE_BUILD_TYPE=Release $(CMAKE_ARGS) >/dev/null
	cmake --build $(WIN_BUILD) --target rozbal -j $(JOBS)
	@printf 'stub: %s (%s bytes)\n' $(WIN_BUILD)/bin/rozbal.exe "$$(stat -c %s $(WIN_BUILD)/bin/rozbal.exe)"

test-windows: windows-deps
	WIN_BUILD=$(WIN_BUILD) JOBS=$(JOBS) sh tests/windows/run.sh

# The Windows program under Wine, with workers against one thread, on the many-file and big-file
# shapes (bench/wine.sh).
bench-windows: windows-deps bench-deps
	JOBS=$(JOBS) sh bench/wine.sh $(BENCH_OUT)

# The cross compilers, zlib and GoogleTest's sources for them, 32-bit Wine (with the i386
# architecture), the Czech locale for the code-page tests, osslsigncode for the signed program, and where 32-bit programs cannot run
# here, the 64-bit compilers and Wine that run the suite instead.
windows-deps: deps
	@missing=""; i386=""; \
	command -v i686-w64-mingw32-c++-posix >/dev/null 2>&1 || missing="$$missing g++-mingw-w64-i686-posix"; \
	[ -f /usr/i686-w64-mingw32/lib/libz.a ] || missing="$$missing libz-mingw-w64-dev"; \
	[ -f /usr/src/googletest/googletest/CMakeLists.txt ] || missing="$$missing googletest"; \
	command -v python3 >/dev/null 2>&1 || missing="$$missing python3"; \
	[ -f /usr/share/i18n/locales/cs_CZ ] || missing="$$missing locales"; \
	command -v wine >/dev/null 2>&1 || missing="$$missing wine"; \
	command -v osslsigncode >/dev/null 2>&1 || missing="$$missing osslsigncode"; \
	[ -x /usr/lib/wine/wine ] || { missing="$$missing wine32:i386"; i386=yes; }; \
	if ! /lib/ld-linux.so.2 --version >/dev/null 2>&1 && [ -x /lib/ld-linux.so.2 ]; then \
	  command -v x86_64-w64-mingw32-c++-posix >/dev/null 2>&1 || missing="$$missing g++-mingw-w64-x86-64-posix"; \
	  [ -x /usr/lib/wine/wine64 ] || missing="$$missing wine64"; \
	fi; \
	if [ -n "$$missing" ]; then \
	  if command -v apt-get >/dev/null 2>&1 && [ "$$(id -u)" = 0 ]; then \
	    echo "installing:$$missing"; \
	    if [ -n "$$i386" ]; then dpkg --add-architecture i386; fi; \
	    apt-get update -qq || echo "windows-deps: some package lists could not be read; installing from the others"; \
	    install() { DEBIAN_FRONTEND=noninteractive apt-get install -y -qq --no-install-recommends "$$@" >/dev/null; }; \
	    if ! install $$missing; then \
	      [ -n "$$i386" ] || exit 1; \
	      echo "windows-deps: reading every package list afresh (a list kept from a mirror caught mid-sync holds the i386 one back)"; \
	      rm -rf /var/lib/apt/lists/*; apt-get update -qq || true; \
	      if ! install $$missing; then \
	        echo "windows-deps: 32-bit Wine cannot be installed now; installing the 64-bit Wine and compilers, which the suite then runs on"; \
	        rest=$$(echo "$$missing" | sed 's/ wine32:i386//'); \
	        install $$rest wine64 g++-mingw-w64-x86-64-posix || exit 1; \
	      fi; \
	    fi; \
	  else \
	    echo "missing Windows build dependencies; install them with: apt-get install$$missing"; exit 1; \
	  fi; \
	fi; \
	if [ -x /lib/ld-linux.so.2 ] && ! /lib/ld-linux.so.2 --version >/dev/null 2>&1 && \
	   ! [ -x /usr/lib/wine/wine64 ]; then \
	  $(MAKE) --no-print-directory windows-deps; \
	fi; \
	locale -a 2>/dev/null | grep -qi '^cs_CZ\.utf-\?8$$' || localedef -i cs_CZ -f UTF-8 cs_CZ.UTF-8
	@$(MAKE) -q $(DEPS_WORK)/win32/codecs.stamp || $(MAKE) --no-print-directory $(DEPS_WORK)/win32/codecs.stamp
	@if command -v x86_64-w64-mingw32-gcc-posix >/dev/null 2>&1; then \
	  $(MAKE) -q $(DEPS_WORK)/win64/codecs.stamp || $(MAKE) --no-print-directory $(DEPS_WORK)/win64/codecs.stamp; fi
	@$(MAKE) -q $(DEPS_WORK)/win32-libdeflate/libdeflate.stamp || \
	  $(MAKE) --no-print-directory $(DEPS_WORK)/win32-libdeflate/libdeflate.stamp
	@if command -v x86_64-w64-mingw32-gcc-posix >/dev/null 2>&1; then \
	  $(MAKE) -q $(DEPS_WORK)/win64-libdeflate/libdeflate.stamp || \
	  $(MAKE) --no-print-directory $(DEPS_WORK)/win64-libdeflate/libdeflate.stamp; fi

# libdeflate for the Windows program (Debian builds it for Linux only), from Debian's source package.
$(DEPS_WORK)/%-libdeflate/libdeflate.stamp: deps/build-libdeflate.sh deps/fetch-source.sh
	@echo "building libdeflate 1.14 for $* from Debian's source package into $(DEPS_WORK)/$*-libdeflate"
	@mkdir -p $(DEPS_WORK)
	@ROZBAL_DEPS_WORK=$(DEPS_WORK) nice sh deps/build-libdeflate.sh $* >$(DEPS_WORK)/libdeflate-$*.log 2>&1 || \
	  { cat $(DEPS_WORK)/libdeflate-$*.log; exit 1; }
	@grep '^build-libdeflate: ' $(DEPS_WORK)/libdeflate-$*.log | sed 's/^build-libdeflate: /  /'
	@touch $@

# Fuzzing (never part of `make test`): libFuzzer targets built with clang in
# $(FUZZ_BUILD); `make fuzz` runs each for FUZZ_SECONDS, one after another.
FUZZ_BUILD   ?= build-fuzz
FUZZ_SECONDS ?= 300
FUZZ_TARGETS ?= list extract volumes path workers deflate64 aes inflate

.PHONY: fuzz fuzz-build

fuzz-build: deps
	@command -v clang++ >/dev/null 2>&1 || { echo "fuzzing needs clang: apt-get install clang"; exit 1; }
	@[ -f $(FUZZ_BUILD)/CMakeCache.txt ] || CC=clang CXX=clang++ cmake -S . -B $(FUZZ_BUILD) \
	  -DCMAKE_BUILD_TYPE=RelWithDebInfo -DROZBAL_FUZZ=ON $(LINUX_ARGS) >/dev/null
	cmake --build $(FUZZ_BUILD) --target fuzz_all -j $(JOBS)

fuzz: fuzz-build
	sh fuzz/run.sh $(FUZZ_BUILD) $(FUZZ_SECONDS) $(FUZZ_TARGETS)
