# Thin front door to CMake: one command for each thing a newcomer wants. Each first makes sure
# the machine has what it needs (tools/ensure-deps installs it on Debian or names the command).
.PHONY: all test test-windows test-32 check run install package test-consumer bench fuzz

# The builds below run make again inside CMake's build folders; their "Entering directory" lines say
# nothing a reader needs.
MAKEFLAGS += --no-print-directory

# Builds and tests take as many jobs as the machine has cores, unless the environment sets them.
CORES := $(shell nproc 2>/dev/null || getconf _NPROCESSORS_ONLN 2>/dev/null || echo 1)
export CMAKE_BUILD_PARALLEL_LEVEL ?= $(CORES)
export CTEST_PARALLEL_LEVEL ?= $(CORES)

all:
	@tools/ensure-deps test
	cmake --preset default
	cmake --build --preset default

# Configure into build/ (Debug, with assertions), build, and run every test.
test:
	@tools/ensure-deps test
	cmake --workflow --preset default

# Cross-build for Windows with mingw-w64 into build-windows/ and run the tests there under wine.
test-windows:
	@tools/ensure-deps windows
	WINEDEBUG=-all cmake --workflow --preset windows

# Build for 32-bit x86 with -m32 into build-32/ and run the tests there: large files and times
# after 2038 must work with no flags of ours.
test-32:
	@tools/ensure-deps m32
	cmake --workflow --preset m32

DB ?= news.db

# Build the optimised editor quietly into build-release/ and start it on $(DB) (news.db in this
# directory unless given). One line says why a first start, or one after a change, takes a while.
run:
	@tools/ensure-deps build
	@if [ ! -x build-release/news-editor ] || \
	  [ -n "$$(find CMakeLists.txt CMakePresets.json cmake CrossPlatform editor -newer build-release/news-editor | head -n 1)" ]; then \
	  echo "news-editor: building the editor into build-release/ (a minute the first time)"; fi
	@cmake --preset release >/dev/null
	@cmake --build --preset release --target news-editor >/dev/null
	@./build-release/news-editor "$(DB)"

PREFIX ?= /usr/local

# Install the optimised editor and its manual page, and the library with its headers, CMake
# package and pkg-config file, under $(PREFIX).
install:
	@tools/ensure-deps build
	cmake --preset release
	cmake --build --preset release
	cmake --install build-release --prefix "$(PREFIX)"

# Make the Debian packages news-editor and libnewsdb-dev from the optimised build, into
# build-release/packages/.
package:
	@tools/ensure-deps package
	cmake --preset release
	cmake --build --preset release
	cd build-release && cpack

CONSUMER = build-consumer

# Build tests/consumer, which saves and loads a database through the library, the three ways
# another project takes the library in: the CMake package and newsdb.pc installed into
# $(CONSUMER)/prefix, and this tree added as a subproject with GoogleTest and Google Benchmark
# out of reach. Each build runs. The installed static library also goes into a shared one
# (libnewsplugin), which must not need libnewsdb at run time; and the CMake package of a shared
# build (in build-shared/, installed into $(CONSUMER)/shared-prefix) makes a program that does,
# by its SONAME.
test-consumer:
	@tools/ensure-deps build
	cmake --preset release
	cmake --build --preset release
	rm -rf $(CONSUMER)
	cmake --install build-release --prefix $(CONSUMER)/prefix
	cmake -S tests/consumer -B $(CONSUMER)/package -DCMAKE_PREFIX_PATH="$(CURDIR)/$(CONSUMER)/prefix"
	cmake --build $(CONSUMER)/package
	$(CONSUMER)/package/newsdb-consumer $(CONSUMER)/package.db
	$(CONSUMER)/package/newsplugin-run $(CONSUMER)/plugin.db
	! readelf -d $(CONSUMER)/package/libnewsplugin.so | grep -F 'libnewsdb'
	mkdir -p $(CONSUMER)/pkg-config
	PKG_CONFIG_PATH=$(CONSUMER)/prefix/lib/pkgconfig:$(CONSUMER)/prefix/lib64/pkgconfig && \
	  export PKG_CONFIG_PATH && pkg-config --cflags --libs newsdb && \
	  $(CXX) -std=c++17 -Wall -Wextra -Wpedantic -Wshadow -Wconversion -Wsign-conversion \
	    -Wold-style-cast -Werror tests/consumer/consumer.cpp $$(pkg-config --cflags --libs newsdb) \
	    -o $(CONSUMER)/pkg-config/newsdb-consumer
	$(CONSUMER)/pkg-config/newsdb-consumer $(CONSUMER)/pkg-config.db
	cmake -S tests/consumer -B $(CONSUMER)/subproject --no-warn-unused-cli \
	  -DNEWS_SOURCE_DIR="$(CURDIR)" -DCMAKE_DISABLE_FIND_PACKAGE_GTest=ON \
	  -DCMAKE_DISABLE_FIND_PACKAGE_benchmark=ON
	cmake --build $(CONSUMER)/subproject
	$(CONSUMER)/subproject/newsdb-consumer $(CONSUMER)/subproject.db
	cmake -S . -B build-shared -DBUILD_SHARED_LIBS=ON -DNEWS_BUILD_TESTS=OFF
	cmake --build build-shared
	cmake --install build-shared --prefix $(CONSUMER)/shared-prefix
	cmake -S tests/consumer -B $(CONSUMER)/shared \
	  -DCMAKE_PREFIX_PATH="$(CURDIR)/$(CONSUMER)/shared-prefix"
	cmake --build $(CONSUMER)/shared
	readelf -d $(CONSUMER)/shared/newsdb-consumer | grep -F '[libnewsdb.so.2]'
	$(CONSUMER)/shared/newsdb-consumer $(CONSUMER)/shared.db

# Build everything with AddressSanitizer and UndefinedBehaviorSanitizer into build-sanitize/ and
# run every test there; any report fails.
check:
	@tools/ensure-deps check
	cmake --workflow --preset sanitize

FUZZ_SECONDS ?= 60

# Fuzz the record reader and the value conversions with libFuzzer (clang), $(FUZZ_SECONDS)
# seconds each; new inputs go to build-fuzz/corpus*, anything that fails to build-fuzz/crashes.
fuzz:
	@tools/ensure-deps fuzz
	CC=clang CXX=clang++ cmake -S . -B build-fuzz -DCMAKE_BUILD_TYPE=RelWithDebInfo \
	  -DCMAKE_CXX_FLAGS_RELWITHDEBINFO="-O2 -g" -DNEWS_BUILD_FUZZ=ON -DNEWS_BUILD_TESTS=OFF
	cmake --build build-fuzz --target reader_fuzz conversion_fuzz
	mkdir -p build-fuzz/corpus build-fuzz/corpus-conversion build-fuzz/crashes
	./build-fuzz/fuzz/reader_fuzz -max_total_time=$(FUZZ_SECONDS) -timeout=10 -print_final_stats=1 \
	  -artifact_prefix=build-fuzz/crashes/ build-fuzz/corpus fuzz/corpus tests/data/load
	./build-fuzz/fuzz/conversion_fuzz -max_total_time=$(FUZZ_SECONDS) -timeout=10 \
	  -print_final_stats=1 -dict=fuzz/conversion.dict -artifact_prefix=build-fuzz/crashes/ \
	  build-fuzz/corpus-conversion

# Build optimised into build-bench/ and print the benchmark figures (medians of five runs), then
# load, save, memory and the editor at 100,000 and 1,000,000 messages against the machine's raw
# reading and writing, in interleaved rounds (the sample files are made once, into build-bench/).
bench:
	@tools/ensure-deps bench
	cmake --preset bench
	cmake --build --preset bench
	./build-bench/bench/news_bench --benchmark_repetitions=5 --benchmark_report_aggregates_only=true \
	  --benchmark_display_aggregates_only=true
	./build-bench/bench/file_bench build-bench/bench
