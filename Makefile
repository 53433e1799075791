# Thin wrapper over the CMake presets.
#   make demo    build everything and render the built-in demo to out/demo.mp4
#   make check   every test: the optimised build, the sanitizer build and the Windows module
JOBS ?= 2

.PHONY: all deps build test sanitize fuzz check demo bench clean
FUZZ_SECONDS ?= 30

all: build

deps:
	./scripts/install-deps.sh

build: deps
	cmake --preset default
	cmake --build --preset default -j$(JOBS)

test: build
	ctest --preset default -j$(JOBS)

sanitize: deps
	cmake --preset sanitize
	cmake --build --preset sanitize -j$(JOBS)
	ctest --preset sanitize -j$(JOBS)

# libFuzzer over call sequences, canvas sizes and primitive arguments.
fuzz: deps
	cmake --preset fuzz
	cmake --build --preset fuzz -j$(JOBS)
	mkdir -p build/fuzz/corpus
	./build/fuzz/fuzz/module_fuzz -max_total_time=$(FUZZ_SECONDS) -max_len=512 build/fuzz/corpus

check: test sanitize fuzz

demo: build
	mkdir -p out
	./build/default/host/nimbrelle render -o out/demo.mp4

bench: build
	./build/default/bench/nimbrelle_bench

clean:
	rm -rf build out
