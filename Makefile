# The two commands a new machine needs: `make test` and `make demo`.
BUILD ?= build
JOBS ?= 2

.PHONY: all build test deps clean bench

all: build

deps:
	@scripts/install-deps

$(BUILD)/build.ninja: | deps
	cmake -S . -B $(BUILD) -G Ninja

build: deps $(BUILD)/build.ninja
	cmake --build $(BUILD)

test: build
	ctest --test-dir $(BUILD) --output-on-failure -j $(JOBS)

# Prints one table of timings and writes it to bench/results.md; takes about five minutes.
bench: build
	@scripts/install-deps wrk perl python3 php-cgi lighttpd
	python3 bench/run_bench.py --build $(BUILD)

clean:
	rm -rf $(BUILD)
