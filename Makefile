# Thin front door to CMake: one command for each thing a newcomer wants.
.PHONY: all test check run bench fuzz clean

all:
	cmake --preset default
	cmake --build --preset default

# Configure into build/, build, and run every test.
test:
	cmake --workflow --preset default
