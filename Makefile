# Thin front door to CMake: one command for each thing a newcomer wants.
.PHONY: all test check run bench fuzz

all:
	cmake --preset default
	cmake --build --preset default

# Configure into build/, build, and run every test.
test:
	cmake --workflow --preset default

DB ?= news.db

# Build and start the editor on $(DB) (news.db in this directory unless given).
run: all
	./build/news-editor $(DB)
