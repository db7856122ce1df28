# make run   : set up, build the corvane program alone and run the driver on the built-in band
# make test  : set up, build everything and run every test
# make explore-test : each concurrency scenario over SCHEDULES seeded random and as many pct schedules (default 200)
# make explore-all : every ordered pair of callers landing at every place of the first's span, over JOBS processes
# make sanitize-test : the whole suite under address + undefined sanitizers
# make tsan-test : the whole suite with the driver under the race detector
# make bench : build and run the benchmarks
# make fuzz  : build the libFuzzer targets and run each for FUZZ_SECONDS (default 60)
# make windows : cross-compile the driver as the 32-bit Corvane.dll, print its exports and imports
# make windows-test : run that very Corvane.dll under Wine, beside a stand-in coredll.dll
# make windows-stress : the same host for STRESS_SECONDS (default 600) of commands, power and reads
# make arm-check : the driver folders compiled for the device's ARMv5TE as the DLL is; fails on any call a CE module cannot make; code size per folder
# make arm-test : the whole suite built for ARMv5TE (armel) and run under qemu-arm; then the same outputs as on x86-64
# make docs-check : run the README's commands, compare the output it shows and its figures with the program's
# make format / format-check : lay out every C++ file as .clang-format says / refuse one that strays

# parallel spreads soak campaigns over machines (and its test runs it here);
# gnuplot draws a run's time line (--plot).
PACKAGES := cmake g++ make libgtest-dev libbenchmark-dev libboost-context-dev nlohmann-json3-dev libcli11-dev python3-serial parallel gnuplot-nox
# The device build needs only the cross compiler, not the host's libraries.
WINDOWS_PACKAGES := cmake make g++-mingw-w64-i686 binutils-mingw-w64-i686

.PHONY: deps build run test docs-check explore-test explore-all explore-sample sanitize-test tsan-test bench coverage fuzz windows windows-test windows-stress \
	arm-check arm-test format format-check clean

FUZZ_SECONDS ?= 60
STRESS_SECONDS ?= 600
SCHEDULES ?= 200

deps:
	@bash .ci/deps.sh $(PACKAGES)

build: deps
	@cmake --preset default >/dev/null
	@cmake --build --preset default

# The program and what it links, nothing else (the tests and benchmarks are
# built by make test and make bench), the compiler's progress kept out of
# sight unless the build fails.
run: deps
	@bash tools/build-quietly.sh corvane "3 to 6 minutes on two cores"
	@./build/default/corvane run --duration 300 --timestamps --decode

test: build
	@ctest --preset default

# The README's commands run in build/docs-check/corvane; the lines it shows as
# a command's output and its "about" figures are compared with what the
# program prints now (tools/docs-check.py; ONLY=text runs only the commands
# that hold the text). A difference names the README line and the command.
docs-check: deps
	@bash tools/build-quietly.sh corvane
	@python3 tools/docs-check.py $(if $(ONLY),--only "$(ONLY)")

# The concurrency scenarios (tests/driver/InterleavingsTest.cpp), each played
# on seeds 1..SCHEDULES in the random and in the pct mode; the first failing
# schedule's reproduce line is printed.
explore-test: build
	@env -u CORVANE_SCHEDULE -u CORVANE_SEED CORVANE_SCHEDULES=$(SCHEDULES) \
	  ./build/default/corvane_tests --gtest_filter='Interleavings.*' --gtest_brief=1

# Systematic landings (tests/driver/LandingsTest.cpp): every ordered pair of
# the device's callers and the driver's events, the second call landing at
# every place of the first's span, over JOBS processes; prints each pair's
# coverage, the failing landings' reproduce lines and the CPU time.
JOBS ?= 2
explore-all: build
	@bash tests/support/explore-all.sh $(JOBS)

# A fixed sample of them for CI: one pair in eight, in a few minutes.
explore-sample: build
	@env -u CORVANE_LANDING CORVANE_LANDINGS=all CORVANE_LANDING_SHARD=0/8 \
	  ./build/default/corvane_tests --gtest_filter='Landings.*' --gtest_brief=1

sanitize-test: deps
	@cmake --preset sanitize >/dev/null
	@cmake --build --preset sanitize
	@ctest --preset sanitize

# ThreadSanitizer on the driver folders only; any race report fails the test
# that hit it (TSAN_OPTIONS in the tsan test preset).
tsan-test: deps
	@bash .ci/deps.sh libtsan2
	@cmake --preset tsan >/dev/null
	@cmake --build --preset tsan
	@ctest --preset tsan

# Line and branch coverage of the driver folders; HTML report in build/coverage/html/.
coverage: deps
	@bash .ci/deps.sh gcovr
	@cmake --preset coverage >/dev/null
	@cmake --build --preset coverage
	@find build/coverage -name '*.gcda' -delete
	@ctest --preset coverage >/dev/null
	@mkdir -p build/coverage/html
	@gcovr --root . --object-directory build/coverage \
	  --filter 'driver/' --filter 'channel/' --filter 'tuner/' --filter 'rds/' --filter 'control/' --filter 'platform/' \
	  --exclude-throw-branches --branches --print-summary \
	  --html-details build/coverage/html/index.html --txt build/coverage/summary.txt
	@cat build/coverage/summary.txt | tail -n 40

# Each fuzz target for FUZZ_SECONDS on its corpus in build/fuzz/corpus/; a
# failure prints the command that replays the input.
fuzz: deps
	@bash .ci/deps.sh clang libclang-rt-14-dev python3
	@bash fuzz/run.sh $(FUZZ_SECONDS)

# The driver folders alone, cross-compiled for 32-bit Windows; fails unless the
# DLL exports exactly the ten entry points and imports from coredll.dll alone.
windows:
	@bash .ci/deps.sh $(WINDOWS_PACKAGES)
	@cmake --preset windows >/dev/null
	@cmake --build --preset windows
	@bash windows/show-dll.sh build/windows/Corvane.dll

# The DLL that make windows built, loaded under Wine (installed when missing)
# by a host program beside a stand-in coredll.dll; the host's verdict decides.
windows-test: windows
	@cmake --build --preset windows --target corvane_standin corvane_wine_host
	@bash wine/run.sh

windows-stress: windows
	@cmake --build --preset windows --target corvane_standin corvane_wine_host
	@bash wine/run.sh $(STRESS_SECONDS)

# The driver folders compiled for the device's processor (ARM926EJ-S,
# ARMv5TE) with the DLL's flags; fails on an outside call that is not the CE
# surface's, coredll's C library or arithmetic (tools/arm-check.sh).
arm-check:
	@bash .ci/deps.sh cmake make g++-arm-linux-gnueabi
	@bash tools/arm-check.sh

# The simulation, the tools and the tests built for armel and run under
# qemu-arm, then the same runs and replays on both processors; the host's
# program is the one compared against.
arm-test: build
	@bash tools/arm-test.sh

bench: build
	@./build/default/corvane_bench

format:
	@bash .ci/deps.sh clang-format
	@git ls-files '*.cpp' '*.h' | xargs clang-format -i

format-check:
	@bash .ci/deps.sh clang-format
	@git ls-files '*.cpp' '*.h' | xargs clang-format --dry-run --Werror
	@echo "format-check: every C++ file is laid out as .clang-format says"

clean:
	rm -rf build
