# Front door: `make demo` and `make test` set up, build and run on a fresh Debian 12 machine.
PRESET ?= dev
JOBS ?= 2

.PHONY: all deps build demo test test-asan test-tsan bench clean

all: build

deps:
	@bash tools/install-deps

build: deps
	cmake --preset $(PRESET) >/dev/null
	cmake --build --preset $(PRESET) -j $(JOBS)

demo: deps
	cmake --preset release >/dev/null
	cmake --build --preset release -j $(JOBS)
	@# The window when this is a terminal; otherwise a short unattended run.
	@if [ -t 0 ] && [ -t 1 ]; then ./build/release/zentrel --virtual; \
	else ./build/release/zentrel --virtual --batch --seconds 5; fi

test: build
	ctest --preset $(PRESET) -j $(JOBS)

test-asan:
	$(MAKE) test PRESET=asan

test-tsan:
	$(MAKE) test PRESET=tsan

bench: deps
	cmake --preset release >/dev/null
	cmake --build --preset release -j $(JOBS) --target zentrel-bench zentrel-runbench zentrel-ttybench
	./build/release/bench/zentrel-bench
	./build/release/bench/zentrel-runbench
	./build/release/bench/zentrel-ttybench

clean:
	rm -rf build
