# Thin front door to CMake: one command for each thing a newcomer wants.
.PHONY: all test check run bench fuzz

all:
	cmake --preset default
	cmake --build --preset default

# Configure into build/, build, and run every test.
test:
	@tools/ensure-deps test
	cmake --workflow --preset default

DB ?= news.db

# Build the editor quietly and start it on $(DB) (news.db in this directory unless given).
run:
	@tools/ensure-deps build
	@cmake --preset default >/dev/null
	@cmake --build --preset default --target news-editor >/dev/null
	@./build/news-editor "$(DB)"

# Build everything with AddressSanitizer and UndefinedBehaviorSanitizer into build-sanitize/ and
# run every test there; any report fails.
check:
	cmake --workflow --preset sanitize

FUZZ_SECONDS ?= 60

# Fuzz the record reader with libFuzzer (clang) for $(FUZZ_SECONDS) seconds; new inputs go to
# build-fuzz/corpus, anything that fails to build-fuzz/crashes.
fuzz:
	CC=clang CXX=clang++ cmake -S . -B build-fuzz -DCMAKE_BUILD_TYPE=RelWithDebInfo \
	  -DCMAKE_CXX_FLAGS_RELWITHDEBINFO="-O2 -g" -DNEWS_BUILD_FUZZ=ON -DNEWS_BUILD_TESTS=OFF
	cmake --build build-fuzz --target reader_fuzz -j 2
	mkdir -p build-fuzz/corpus build-fuzz/crashes
	./build-fuzz/fuzz/reader_fuzz -max_total_time=$(FUZZ_SECONDS) -timeout=10 -print_final_stats=1 \
	  -artifact_prefix=build-fuzz/crashes/ build-fuzz/corpus fuzz/corpus tests/data/load

# Build optimised into build-bench/ and print the benchmark figures (medians of five runs),
# then the peak memory of loading and saving the 100,000-message file.
bench:
	cmake --preset bench
	cmake --build --preset bench
	./build-bench/bench/news_bench --benchmark_repetitions=5 --benchmark_report_aggregates_only=true \
	  --benchmark_display_aggregates_only=true
	@ls -l build-bench/bench/news-100000.db
	/usr/bin/time -v ./build-bench/bench/load_save build-bench/bench/news-100000.db \
	  build-bench/bench/copy.db 2>&1 | grep -E 'Maximum resident|Elapsed'
