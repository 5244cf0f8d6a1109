# make run   installs what is missing, builds the release program and serves examples/webhome on port 8080
# make test  installs what is missing, builds with AddressSanitizer and UndefinedBehaviorSanitizer, runs the tests

JOBS ?= $(shell nproc)
PORT ?= 8080

.PHONY: run test build deps clean

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

# Measures the release program against nginx, lighttpd and h2o (installs them; see bench/bench.sh).
.PHONY: bench
bench: deps
	bench/bench.sh

clean:
	rm -rf build build-test
