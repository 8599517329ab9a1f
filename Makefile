# Front door: `make demo` and `make test` set up, build and run on a fresh Debian 12 machine.
PRESET ?= dev
JOBS ?= 2

.PHONY: all deps build demo test test-asan test-tsan test-uart test-usb test-long bench package fuzz windows test-windows bench-windows clean

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
	@bash tools/install-deps docs
	ctest --preset $(PRESET) -j $(JOBS)

test-asan:
	$(MAKE) test PRESET=asan

test-tsan:
	$(MAKE) test PRESET=tsan

# The real 16550A driver: a QEMU guest with sixteen UARTs runs the program and a probe (a few minutes).
test-uart:
	@bash tools/install-deps qemu
	bash tools/uart/fetch-kernel build/uart
	cmake --preset release >/dev/null
	cmake --build --preset release -j $(JOBS) --target zentrel zentrel-uart-probe
	python3 tools/uart/rig.py build/release build/uart/vmlinuz build/uart

# The kernel's USB serial drivers (ftdi_sio behind QEMU's hubs, cdc_acm on gadgets) in a second guest;
# about two minutes. USB_RIG=--full runs 16 + 8 ports with every flow control.
test-usb:
	@bash tools/install-deps qemu
	bash tools/uart/fetch-kernel build/uart
	cmake --preset release >/dev/null
	cmake --build --preset release -j $(JOBS) --target zentrel zentrel-uart-probe
	python3 tools/usb/rig.py build/release build/uart/vmlinuz build/uart/modules build/usb $(USB_RIG)

# A simulated day at 921600 baud on the accelerated clock (a few minutes; release build).
test-long: deps
	cmake --preset release >/dev/null
	cmake --build --preset release -j $(JOBS) --target longrun_test
	ctest --test-dir build/release -L long --output-on-failure

bench: deps
	cmake --preset release >/dev/null
	cmake --build --preset release -j $(JOBS) --target zentrel-bench zentrel-runbench zentrel-ttybench
	./build/release/bench/zentrel-bench
	./build/release/bench/zentrel-runbench
	./build/release/bench/zentrel-ttybench

# The Debian package, built with Debian's hardening flags, checked by lintian (remaining tags: tools/lintian-notes).
package:
	@bash tools/install-deps package
	export DEB_BUILD_MAINT_OPTIONS=hardening=+all; \
	CXXFLAGS="$$(dpkg-buildflags --get CXXFLAGS) $$(dpkg-buildflags --get CPPFLAGS)" \
	LDFLAGS="$$(dpkg-buildflags --get LDFLAGS)" cmake --preset package --fresh >/dev/null
	cmake --build --preset package -j $(JOBS)
	rm -f build/package/zentrel_*.deb zentrel_*.deb
	cd build/package && cpack -G DEB >/dev/null
	cp build/package/zentrel_*.deb .
	lintian --fail-on error,warning --suppress-tags-from-file tools/lintian-notes zentrel_*.deb
	@ls zentrel_*.deb

# libFuzzer targets (clang): each runs FUZZ_SECONDS on its seed corpus (fuzz/corpus/); new inputs
# are kept in build/fuzz/corpus/, failures in build/fuzz/artifacts/.
FUZZ_SECONDS ?= 25
fuzz:
	@bash tools/install-deps fuzz
	cmake --preset fuzz >/dev/null
	cmake --build --preset fuzz -j $(JOBS)
	bash fuzz/run.sh build/fuzz $(FUZZ_SECONDS)

# Windows: cross-built with MinGW-w64, tested under Wine (and Xvfb for the window).
windows:
	@bash tools/install-deps windows
	cmake --preset windows >/dev/null
	cmake --build --preset windows -j $(JOBS)
	cd build/windows && cpack -G ZIP >/dev/null && ls zentrel-*-windows-x64.zip zentrel-*-windows-x64-setup.exe

# One test at a time: under Wine every thread switch is dear, and the engine tests judge line rates.
test-windows: windows
	cmake --preset dev >/dev/null && cmake --build --preset dev -j $(JOBS) --target zentrel-plug
	xvfb-run -a -s "-screen 0 1024x768x24" bash tools/wine-env run build/windows -- \
		ctest --preset windows

bench-windows: windows
	bash tools/wine-env run build/windows -- wine build/windows/bench/zentrel-runbench.exe

clean:
	rm -rf build zentrel_*.deb
