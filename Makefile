# Thin wrapper over the CMake presets.
#   make demo    build everything and render the built-in demo to out/demo.mp4
#   make check   every test: the optimised build, the sanitizer build, a fuzzing run and the
#                Windows module (its tables, and its frames under Wine)
#   make svp     the 32-bit Windows module, build/windows/src/NimbrelleCalvex.svp
#   make windows-test  the Windows module's frames under Wine against the native module's
JOBS ?= 2

.PHONY: all deps build test sanitize fuzz svp svp-tables windows-test check demo bench clean
FUZZ_SECONDS ?= 30

all: build

deps:
	./scripts/install-deps.sh

build: deps
	cmake --preset default
	cmake --build --preset default -j$(JOBS)

test: build
	ctest --preset default -j$(JOBS) -LE windows

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

svp: deps
	cmake --preset windows
	cmake --build --preset windows -j$(JOBS)

# The .svp exports QueryModule alone and imports from system DLLs only.
svp-tables: svp build
	cmake --preset default -DNIMBRELLE_WINDOWS_TESTS=ON
	ctest --preset default -R windows_svp_tables --output-on-failure

# Runs every golden scenario through the .svp in Wine's loader and compares each frame with
# the native module's. Where the kernel cannot run 32-bit programs Wine runs under qemu and
# takes many minutes.
windows-test: svp build
	./scripts/install-windows-deps.sh
	cmake --preset default -DNIMBRELLE_WINDOWS_TESTS=ON
	cmake --build --preset default -j$(JOBS)
	ctest --preset default -L windows --output-on-failure

# windows-test also checks the .svp's tables. The optimised build's tests run last, so their
# summary closes the output.
check: sanitize fuzz windows-test test

demo: build
	mkdir -p out
	./build/default/host/nimbrelle render -o out/demo.mp4

# The frame table: whole frames through the loaded module against a plain fill of the same
# buffer, for the fastest raster path and the SSE2 one. The primitives' benchmarks are
# ./build/default/bench/nimbrelle_bench.
bench: build
	./build/default/bench/nimbrelle_frame_table

clean:
	rm -rf build out
