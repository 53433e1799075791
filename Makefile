# Thin wrapper over the CMake presets. Each target that builds or runs something first installs
# the Debian packages it needs (scripts/install-deps.sh: nothing when they are all present,
# root otherwise).
#   make demo    build, then render the built-in demo to out/demo.mp4
#   make check   every test: the optimised build, the sanitizer build, a fuzzing run, the
#                Windows module (its tables, and its frames under Wine), the browser build and
#                the Debian packages (make deb-test)
#   make build   the optimised build in build/default: the module, the analysis and loading
#                libraries, the `nimbrelle` program, the GStreamer element, the VLC
#                visualisation, tests, benchmarks
#   make test    the optimised build's tests
#   make sanitize  the whole suite under AddressSanitizer and UndefinedBehaviorSanitizer
#   make fuzz [FUZZ_SECONDS=30] [INPUT_FUZZ_SECONDS=20]  libFuzzer runs (see below)
#   make bench   the frame table, the analysis per frame and the conversion for a background
#   make svp     the 32-bit Windows module, build/windows/src/NimbrelleCalvex.svp
#   make svp-tables    the .svp's export and import tables
#   make windows-test  the Windows module's frames under Wine against the native module's
#   make install [PREFIX=/usr/local] [DESTDIR=...]  the `nimbrelle` program, the module, its
#                header and pkg-config file, the GStreamer element, the VLC visualisation
#                (PREFIX=/usr puts it where VLC looks; without DESTDIR VLC's plug-in cache is
#                regenerated) and the OBS plug-in (OBS looks only under its own prefix:
#                PREFIX=/usr for Debian's OBS)
#   make install-obs-user  the OBS plug-in and the module for the current user only, into
#                ~/.config/obs-studio/plugins/nimbrelle-obs/ (no root)
#   make web     the page and its WebAssembly (plain and SIMD) in build/web/
#   make web-serve  serves build/web/ on http://127.0.0.1:8000/ (WEB_PORT=N for another port)
#   make web-test   the browser build's tests in headless Chromium and Node
#   make web-bench  the page's time per frame in headless Chromium
#   make deb     Debian packages of the program and module, the header, the GStreamer element,
#                the OBS source, the VLC visualisation and the web page, into build/deb/ (see
#                debian/rules)
#   make deb-test  installs the packages into a fresh Debian 12 root and uses them there, then
#                purges them (root and the network; skipped without them)
#   make deps    the packages of every target at once (scripts/install-deps.sh all); deps-native,
#                deps-windows and deps-web install those of the native build (with GStreamer and
#                VLC), the Windows build and the browser build
#   make clean   removes build/ and out/
JOBS ?= 2

.PHONY: all deb deb-test deps deps-native deps-windows deps-web build test sanitize fuzz svp svp-tables windows-test web web-serve web-test web-bench check demo bench install install-obs-user clean
FUZZ_SECONDS ?= 30
INPUT_FUZZ_SECONDS ?= 20
WEB_PORT ?= 8000

all: build

deps:
	./scripts/install-deps.sh all

# The default build includes the GStreamer element, the VLC visualisation, the OBS source and
# their tests, so the native targets need GStreamer's, VLC's and libobs's development files,
# players and plug-ins, and the headless X server and OpenGL the OBS tests run on, as well as
# the native group.
deps-native:
	./scripts/install-deps.sh native gstreamer vlc obs

deps-windows:
	./scripts/install-deps.sh windows

deps-web:
	./scripts/install-deps.sh web

build: deps-native
	cmake --preset default
	cmake --build --preset default -j$(JOBS)

test: build
	ctest --preset default -j$(JOBS) -LE windows

sanitize: deps-native
	cmake --preset sanitize
	cmake --build --preset sanitize -j$(JOBS)
	ctest --preset sanitize -j$(JOBS)

# libFuzzer over the module's call sequences, canvas sizes and primitive arguments; then over
# the analysis route (any samples) and the host's decoding (any bytes as an audio file, starting
# from the small files in fuzz/seeds/sndfile).
fuzz: deps-native
	cmake --preset fuzz
	cmake --build --preset fuzz -j$(JOBS)
	mkdir -p build/fuzz/corpus build/fuzz/corpus-analysis build/fuzz/corpus-sndfile
	./build/fuzz/fuzz/module_fuzz -max_total_time=$(FUZZ_SECONDS) -max_len=512 build/fuzz/corpus
	./build/fuzz/fuzz/analysis_fuzz -max_total_time=$(INPUT_FUZZ_SECONDS) -max_len=8192 build/fuzz/corpus-analysis
	./build/fuzz/fuzz/sndfile_fuzz -max_total_time=$(INPUT_FUZZ_SECONDS) -max_len=4096 \
		build/fuzz/corpus-sndfile fuzz/seeds/sndfile

svp: deps-windows
	cmake --preset windows
	cmake --build --preset windows -j$(JOBS)

# The .svp exports QueryModule alone and imports from system DLLs only.
svp-tables: svp build
	cmake --preset default -DNIMBRELLE_WINDOWS_TESTS=ON
	ctest --preset default -R windows_svp_tables --output-on-failure

# Runs every golden scenario through the .svp in Wine's loader and compares each frame with
# the native module's. Wine runs inside an i386 root under build/wine-root; where the kernel
# cannot run 32-bit programs it runs under qemu, which makes the run a minute instead of seconds.
windows-test: svp build
	./scripts/install-windows-deps.sh
	cmake --preset default -DNIMBRELLE_WINDOWS_TESTS=ON
	cmake --build --preset default -j$(JOBS)
	ctest --preset default -L windows --output-on-failure

# The browser build, once without and once with WebAssembly SIMD; the page picks the build the
# browser runs. Like every build, it compiles in KissFFT's Debian sources, which configuring
# fetches (scripts/fetch-kissfft-source.sh).
web: deps-web
	cmake --preset web
	cmake --preset web-simd
	cmake --build --preset web -j$(JOBS)
	cmake --build --preset web-simd -j$(JOBS)

web-serve: web
	node web/serve.mjs build/web --port $(WEB_PORT)

# Needs the native build for the reference frames and records it compares against.
web-test: web build
	cd tests/web && node --test --test-concurrency=1 *.test.mjs

web-bench: web
	node bench/web/frame_times.mjs

# deps first, so a fresh machine installs every package in one go. windows-test also checks
# the .svp's tables. The optimised build's tests run last, so their summary closes the output.
check: deps sanitize fuzz windows-test web-test deb-test test

demo: build
	mkdir -p out
	./build/default/host/nimbrelle render -o out/demo.mp4

# The frame table: whole frames through the loaded module against a plain fill of the same
# buffer, for the fastest raster path and the SSE2 one; then the analysis per frame, and the
# conversion of a frame for a black or transparent background against the frame itself. The
# primitives' benchmarks are ./build/default/bench/nimbrelle_bench.
bench: build
	./build/default/bench/nimbrelle_frame_table
	./build/default/bench/nimbrelle_analysis_bench
	./build/default/bench/nimbrelle_picture_bench

PREFIX ?= /usr/local
# cmake --install reads DESTDIR from the environment.
install: build
	DESTDIR=$(DESTDIR) cmake --install build/default --prefix $(PREFIX)

# OBS's per-user plug-in layout: bin/64bit/ holds the plug-in and, beside it, the module it
# finds there first; data/ its locale.
OBS_USER_PLUGIN ?= $(HOME)/.config/obs-studio/plugins/nimbrelle-obs
install-obs-user: build
	install -D -m 755 build/default/obs/nimbrelle-obs.so $(OBS_USER_PLUGIN)/bin/64bit/nimbrelle-obs.so
	install -D -m 755 build/default/src/NimbrelleCalvex.so $(OBS_USER_PLUGIN)/bin/64bit/NimbrelleCalvex.so
	install -D -m 644 obs/data/locale/en-US.ini $(OBS_USER_PLUGIN)/data/locale/en-US.ini

# dpkg-buildpackage writes the packages into the parent of the tree it builds, so it builds an
# exported copy of the tracked files under build/deb/src, as they are in the working tree:
# uncommitted changes are in it, and a new file once it is added to git. `git stash create`
# fails on an index whose file times are stale (a copied checkout), so the index is refreshed
# first. KissFFT's sources are fetched beforehand into its kissfft/ folder: the package build
# never reaches the network.
deb:
	./scripts/install-deps.sh native gstreamer vlc obs deb
	rm -rf build/deb
	mkdir -p build/deb/src
	git update-index -q --refresh || true
	tree=$$(git stash create) && git archive --format=tar $${tree:-HEAD} | tar -x -C build/deb/src
	cp -a "$$(./scripts/fetch-kissfft-source.sh)" build/deb/src/kissfft
	cd build/deb/src && dpkg-buildpackage -b -us -uc -j$(JOBS)

# lintian must find no error and no warning it has not been told the reason for (the
# *.lintian-overrides files). Exit status 77 is the install test's "skipped" (no root or no
# mmdebstrap); it says why.
deb-test: deb
	lintian --fail-on error,warning build/deb/*.changes
	./tests/deb/install_test.sh build/deb || [ $$? -eq 77 ]

clean:
	rm -rf build out
