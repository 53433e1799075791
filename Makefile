# Thin wrapper over the CMake presets.
#   make demo    build everything and render the built-in demo to out/demo.mp4
#   make check   every test: the optimised build, the sanitizer build and the Windows module
JOBS ?= 2

.PHONY: all deps build test sanitize check demo bench clean

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

check: test sanitize

demo: build
	mkdir -p out
	./build/default/host/nimbrelle render -o out/demo.mp4

bench: build
	./build/default/bench/nimbrelle_bench

clean:
	rm -rf build out
