# Front door. `make` builds, `make test` builds and runs every test (Windows
# programs under Wine, the platform-free code natively with sanitizers),
# `make bench` measures, `make trials` runs the fault trials, `make demo` shows the program,
# `make dist` packs Tavdesk.exe for Windows users.
# Each installs the Debian packages it misses first.

WIN_BUILD    := build/win
NATIVE_BUILD := build/native
BENCH_BUILD  := build/bench
DIST_BUILD   := build/release
JOBS         := $(shell nproc 2>/dev/null || echo 2)

.PHONY: all deps build test bench mutate clean dist

all: build

deps:
	@tools/install-deps.sh

$(WIN_BUILD)/CMakeCache.txt:
	cmake -S . -B $(WIN_BUILD) -DCMAKE_TOOLCHAIN_FILE=cmake/mingw-w64-x86_64.cmake

$(NATIVE_BUILD)/CMakeCache.txt:
	cmake -S . -B $(NATIVE_BUILD) -DCMAKE_C_COMPILER=clang-14 -DCMAKE_CXX_COMPILER=clang++-14

build: deps $(WIN_BUILD)/CMakeCache.txt $(NATIVE_BUILD)/CMakeCache.txt
	cmake --build $(WIN_BUILD) -j $(JOBS)
	cmake --build $(NATIVE_BUILD) -j $(JOBS)

test: build
	@tools/run-tests.sh $(WIN_BUILD) $(NATIVE_BUILD)

# The host side's throughput over the simulated cable (a program, not a
# test), built optimised in a folder of its own.
bench: deps
	cmake -S . -B $(BENCH_BUILD) -DCMAKE_TOOLCHAIN_FILE=cmake/mingw-w64-x86_64.cmake \
	      -DCMAKE_BUILD_TYPE=Release
	cmake --build $(BENCH_BUILD) -j $(JOBS) --target host_file_bench startup_bench whole_program_bench
	@tools/bench.sh $(BENCH_BUILD)

# The zip for Windows users: Tavdesk.exe from a Release build of its own and
# a README.txt, as build/dist/Tavdesk-<version>-win64.zip.
dist: deps
	cmake -S . -B $(DIST_BUILD) -DCMAKE_TOOLCHAIN_FILE=cmake/mingw-w64-x86_64.cmake \
	      -DCMAKE_BUILD_TYPE=Release
	cmake --build $(DIST_BUILD) -j $(JOBS) --target Tavdesk
	@tools/dist.sh $(DIST_BUILD)

# Mutation testing over the list in tools/mutants.txt (not part of make test):
# each mutant alone, only its test programs rebuilt, "killed K of N" at the end.
mutate: deps
	@tools/mutate.sh

clean:
	rm -rf build

# The program with the simulated cable and its demo console, under Wine: in a
# window on $DISPLAY, or without one under xvfb-run, driven to the end, with
# pictures and the saved log in build/demo.
.PHONY: demo
demo: deps $(WIN_BUILD)/CMakeCache.txt
	cmake --build $(WIN_BUILD) -j $(JOBS) --target TavdeskSim tavdesk_demo_driver
	@tools/demo.sh $(WIN_BUILD)

# Fault trials (trials/): programs, not tests, built optimised beside the
# benchmarks. Each prints its figures; docs/performance.md has the last run.
.PHONY: trials
trials: deps
	cmake -S . -B $(BENCH_BUILD) -DCMAKE_TOOLCHAIN_FILE=cmake/mingw-w64-x86_64.cmake \
	      -DCMAKE_BUILD_TYPE=Release
	cmake --build $(BENCH_BUILD) -j $(JOBS) --target driver_fault_trial ini_damage_trial \
	      stall_trial transfer_trial replug_trial isolation_trial
	@status=0; \
	 echo "Load average at the start: $$(cut -d' ' -f1-3 /proc/loadavg)"; \
	 cmake/wine-run.sh $(BENCH_BUILD)/stall_trial.exe --gtest_brief=1 || status=1; \
	 cmake/wine-run.sh $(BENCH_BUILD)/transfer_trial.exe --gtest_brief=1 || status=1; \
	 cmake/wine-run.sh $(BENCH_BUILD)/replug_trial.exe --gtest_brief=1 || status=1; \
	 TAVDESK_WINE_TIMEOUT=3000 cmake/wine-run.sh $(BENCH_BUILD)/isolation_trial.exe --gtest_brief=1 || status=1; \
	 cmake/wine-run.sh $(BENCH_BUILD)/driver_fault_trial.exe --gtest_brief=1 || status=1; \
	 cmake/wine-run.sh $(BENCH_BUILD)/ini_damage_trial.exe || status=1; \
	 echo "Load average at the end: $$(cut -d' ' -f1-3 /proc/loadavg)"; \
	 exit $$status
