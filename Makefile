# Thin front door to CMake: one command for each thing a newcomer wants. Each first makes sure
# the machine has what it needs (tools/ensure-deps installs it on Debian or names the command).
.PHONY: all test test-windows check run install bench fuzz

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

DB ?= news.db

# Build the optimised editor quietly into build-release/ and start it on $(DB) (news.db in this
# directory unless given).
run:
	@tools/ensure-deps build
	@cmake --preset release >/dev/null
	@cmake --build --preset release --target news-editor >/dev/null
	@./build-release/news-editor "$(DB)"

PREFIX ?= /usr/local

# Install the optimised editor and its manual page under $(PREFIX).
install:
	@tools/ensure-deps build
	cmake --preset release
	cmake --build --preset release
	cmake --install build-release --prefix "$(PREFIX)"

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
	cmake --build build-fuzz --target reader_fuzz conversion_fuzz -j 2
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
