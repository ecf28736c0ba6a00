# The two commands a new machine needs: `make test` and `make demo` (or `make demo-fastcgi`).
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

# Prints one table of timings and writes it to bench/results.md; takes about eight minutes.
bench: build
	@scripts/install-deps wrk perl python3 php-cgi lighttpd nginx fcgiwrap php8.2-fpm
	python3 bench/run_bench.py --build $(BUILD)

clean:
	rm -rf $(BUILD)

# Serves the examples through lighttpd on 127.0.0.1:$(PORT) until Ctrl-C.
PORT ?= 8080
.PHONY: demo demo-fastcgi package install
# Builds only what the demo runs, so the first start does not wait for the tests.
demo: deps $(BUILD)/build.ninja
	cmake --build $(BUILD) --target scriptrunner zrcompiler zrstub
	BUILD=$(BUILD) PORT=$(PORT) scripts/demo

# The same examples through nginx in front of the FastCGI server scriptrunner-fcgi.
demo-fastcgi: deps $(BUILD)/build.ninja
	cmake --build $(BUILD) --target scriptrunner scriptrunner-fcgi zrcompiler zrstub
	BUILD=$(BUILD) PORT=$(PORT) scripts/demo-fastcgi

# build/scriptrunner_<version>_<arch>.deb, installable with apt-get install ./build/<name>.deb.
# The package holds what `make install` installs, so the whole tree is built first.
package:
	@echo "make package: building the whole tree first (a few minutes the first time), then the package"
	@$(MAKE) --no-print-directory build
	cd $(BUILD) && cpack -G DEB

# Installs below PREFIX (default /usr/local): the runner and the FastCGI server in
# lib/scriptrunner/, zrcompiler in bin/, the units in lib/systemd/system/.
PREFIX ?= /usr/local
install: build
	cmake --install $(BUILD) --prefix $(PREFIX)

# Sanitizer builds and short fuzz runs (scripts/check); CI runs it after `make test`.
.PHONY: check fuzz
check:
	JOBS=$(JOBS) scripts/check

# Every fuzz target for FUZZ_SECONDS seconds.
FUZZ_SECONDS ?= 60
fuzz:
	scripts/run-fuzzers $(FUZZ_SECONDS)
