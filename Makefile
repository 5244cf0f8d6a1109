# make run      installs what building and running need, builds the release program, serves examples/webhome on PORT (8080)
# make test     installs the test tools too, builds with AddressSanitizer and UndefinedBehaviorSanitizer, runs the tests
# make install  installs the release program, its manual page, launcher and icon under PREFIX (/usr/local; DESTDIR works)
# make deb      builds the Debian package build/pellorwick_VERSION_ARCH.deb with CPack
# make fuzz     builds the libFuzzer targets in fuzz/ with clang and runs each for FUZZ_SECONDS (default 30)
# make soak     loads the sanitizer build with SOAK_CLIENTS (400) clients for SOAK_SECONDS (60), then checks it is back at rest
#               (SOAK_TLS=1: over HTTPS)
# make bench    measures the release program against nginx, lighttpd and h2o (installs them; see bench/bench.sh)

JOBS ?= $(shell nproc)
PORT ?= 8080
PREFIX ?= /usr/local
FUZZ_SECONDS ?= 30

.PHONY: run test build deps test-deps fuzz-deps install deb clean fuzz soak bench

deps:
	@scripts/install-deps

test-deps:
	@scripts/install-deps --test

fuzz-deps:
	@scripts/install-deps --fuzz

build: deps
	cmake -S . -B build -DCMAKE_BUILD_TYPE=Release -DPW_TESTS=OFF
	cmake --build build -j $(JOBS)

run: build
	./build/pellorwick --console --root examples/webhome --port $(PORT)

install: build
	cmake --install build --prefix $(PREFIX)

deb: build
	cd build && cpack -G DEB

test: test-deps
	cmake -S . -B build-test -DCMAKE_BUILD_TYPE=Debug -DPW_SANITIZE=ON
	cmake --build build-test -j $(JOBS)
	cd build-test && ctest --output-on-failure -j $(JOBS)

fuzz: fuzz-deps
	cmake -S fuzz -B build-fuzz -DCMAKE_CXX_COMPILER=clang++
	cmake --build build-fuzz -j $(JOBS)
	fuzz/run build-fuzz $(FUZZ_SECONDS)

bench: deps
	bench/bench.sh

clean:
	rm -rf build build-test

soak: test-deps
	JOBS=$(JOBS) SOAK_SECONDS=$(or $(SOAK_SECONDS),60) SOAK_CLIENTS=$(or $(SOAK_CLIENTS),400) soak/run
