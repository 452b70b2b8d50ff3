# Kestrun: the two set-up commands and their helpers.
#   make run    install what is missing, build, start the window
#   make test   install what is missing, build, run every test (plain, then ASan+UBSan,
#               then the threaded parts under TSan, then each fuzz target for 20 s)
#   make bench  build and run the benchmarks
#   make fuzz   build the fuzz targets (clang) and run each for FUZZ_SECONDS
#   make install  install the programs and the decoder adapters under PREFIX (/usr/local)
#   make deb    build the Debian package (programs, adapters, model, desktop files) in BUILD

MAKEFLAGS  += --no-print-directory
BUILD      ?= build
SAN_BUILD  ?= build-san
TSAN_BUILD ?= build-tsan
FUZZ_BUILD ?= build-fuzz
# How long make fuzz runs each target; make test runs each for FUZZ_TEST_SECONDS.
FUZZ_SECONDS      ?= 300
FUZZ_TEST_SECONDS ?= 20
# The binaries whose threads meet: the worker handoff, the engine lock, the tool record,
# and kestrun-cli's lanes.
TSAN_TESTS := worker_test process_test speech_worker_test cli_test
JOBS       ?= $(shell nproc 2>/dev/null || echo 2)
PREFIX     ?= /usr/local
CMAKE_GEN  := -DCMAKE_EXPORT_COMPILE_COMMANDS=ON

.PHONY: all deps build build-san build-tsan build-fuzz test test-plain test-san test-tsan test-fuzz \
        fuzz bench install deb run \
        screenshot \
        clean format

all: build

deps:
	@sh scripts/install-deps.sh

build: deps
	@cmake -S . -B $(BUILD) -DCMAKE_BUILD_TYPE=Release $(CMAKE_GEN) >/dev/null
	@cmake --build $(BUILD) -j $(JOBS)

build-san: deps
	@cmake -S . -B $(SAN_BUILD) -DCMAKE_BUILD_TYPE=Debug -DKESTRUN_SANITIZE=ON \
		-DKESTRUN_BENCH=OFF >/dev/null
	@cmake --build $(SAN_BUILD) -j $(JOBS)

build-tsan: deps
	@cmake -S . -B $(TSAN_BUILD) -DCMAKE_BUILD_TYPE=Debug -DKESTRUN_TSAN=ON \
		-DKESTRUN_BENCH=OFF -DKESTRUN_SHELL=OFF >/dev/null
	@cmake --build $(TSAN_BUILD) -j $(JOBS) --target $(TSAN_TESTS)

# Only the fuzz targets and the libraries they test, with libFuzzer, ASan and UBSan.
build-fuzz: deps
	@cmake -S . -B $(FUZZ_BUILD) -DCMAKE_CXX_COMPILER=clang++ -DCMAKE_BUILD_TYPE=RelWithDebInfo \
		-DKESTRUN_FUZZ=ON >/dev/null
	@cmake --build $(FUZZ_BUILD) -j $(JOBS)

test-plain: build
	cd $(BUILD) && ctest --output-on-failure -j $(JOBS)

test-san: build-san
	cd $(SAN_BUILD) && ASAN_OPTIONS=detect_leaks=1 UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1 \
		ctest --output-on-failure -j $(JOBS)

test-tsan: build-tsan
	cd $(TSAN_BUILD) && TSAN_OPTIONS=halt_on_error=1 \
		ctest --output-on-failure -j $(JOBS) -L '^($(subst $(eval) ,|,$(TSAN_TESTS)))$$'

test-fuzz: build-fuzz
	@sh fuzz/run.sh $(FUZZ_BUILD) $(FUZZ_TEST_SECONDS) $(JOBS)

test: test-plain test-san test-tsan test-fuzz

# Each target on a copy of its seed corpus; the repository is not written to.
fuzz: build-fuzz
	@sh fuzz/run.sh $(FUZZ_BUILD) $(FUZZ_SECONDS) $(JOBS)

bench: build
	@cmake --build $(BUILD) --target kestrun-bench-tools -j $(JOBS)
	@$(BUILD)/bench/bench_detector
	@$(BUILD)/bench/bench_runner
	@sh bench/bench_load.sh $(BUILD)
	@$(BUILD)/bench/bench_mono $(BUILD)/bench/speech-like-1h.wav
	@sh bench/bench_adapters.sh $(BUILD)
	@sh bench/bench_decode.sh $(BUILD)
	@sh bench/bench_speech.sh $(BUILD)
	@$(BUILD)/bench/make_long_wav $(BUILD)/bench/speech-like-2h.wav 7200
	@$(BUILD)/bench/bench_timeline $(BUILD)/bench/speech-like-2h.wav

install: build
	@cmake --install $(BUILD) --prefix $(PREFIX)

deb: build
	@cd $(BUILD) && cpack -G DEB

# The window starts in the repository's folder, so its settings file is ./kestrun.ini here.
# A speech sample to drop on it is made at build/sample/speech.wav.
run: build
	@cmake --build $(BUILD) --target speech_sample
	@echo "Drop a file on the window; a speech sample is at $(BUILD)/sample/speech.wav"
	@$(BUILD)/shell/kestrun

# The README's picture of the window, taken under Xvfb, in English.
screenshot: build
	@LANGUAGE=en sh scripts/screenshot.sh $(BUILD) docs/kestrun-window.png

format:
	clang-format -i $$(git ls-files '*.cpp' '*.h')

clean:
	rm -rf $(BUILD) $(SAN_BUILD) $(TSAN_BUILD) $(FUZZ_BUILD)
