# make run   installs what is missing, builds the release program and serves examples/webhome on port 8080
# make test  installs what is missing, builds with AddressSanitizer and UndefinedBehaviorSanitizer, runs the tests
# make fuzz  builds the libFuzzer targets in fuzz/ with clang and runs each for FUZZ_SECONDS (default 30)
# make soak  loads the sanitizer build with SOAK_CLIENTS (400) clients for SOAK_SECONDS (60), then checks it is back at rest
# make bench measures the release program against nginx, lighttpd and h2o (installs them; see bench/bench.sh)

JOBS ?= $(shell nproc)
PORT ?= 8080
FUZZ_SECONDS ?= 30

.PHONY: run test build deps clean fuzz soak bench

deps:
	@scripts/install-deps

build: deps
	cmake -S . -B build -DCMAKE_BUILD_TYPE=Release -DPW_TESTS=OFF
	cmake --build build -j $(JOBS)

run: build
	./build/pellorwick --console --root examples/webhome --port $(PORT)

test: deps
	cmake -S . -B build-test -DCMAKE_BUILD_TYPE=Debug -DPW_SANITIZE=ON
	cmake --build build-test -j $(JOBS)
	cd build-test && ctest --output-on-failure -j $(JOBS)

fuzz: deps
	cmake -S fuzz -B build-fuzz -DCMAKE_CXX_COMPILER=clang++
	cmake --build build-fuzz -j $(JOBS)
	fuzz/run build-fuzz $(FUZZ_SECONDS)

bench: deps
	bench/bench.sh

clean:
	rm -rf build build-test

soak: deps
	JOBS=$(JOBS) SOAK_SECONDS=$(or $(SOAK_SECONDS),60) SOAK_CLIENTS=$(or $(SOAK_CLIENTS),400) soak/run
