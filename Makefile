# Two commands set everything up on a fresh Debian 12 machine:
#   make run    build and start the server (build/parleyd) in the foreground
#   make test   build and run every test through ctest
#   make bench  compare throughput, latency and memory with Redis
BUILD ?= build
GENERATOR ?= Ninja
JOBS ?= $(shell nproc)
ARGS ?=
# Where `make run` keeps the server's history (empty: memory only).
DATA ?= data

.PHONY: all deps configure build run test bench clean

all: build

deps:
	@bash scripts/install-deps.sh

$(BUILD)/build.ninja:
	@bash scripts/install-deps.sh
	cmake -S . -B $(BUILD) -G $(GENERATOR) -DCMAKE_BUILD_TYPE=RelWithDebInfo

configure: $(BUILD)/build.ninja

build: configure
	cmake --build $(BUILD) -j $(JOBS)

run: build
	./$(BUILD)/parleyd $(if $(DATA),--data-dir $(DATA)) $(ARGS)

test: build
	cd $(BUILD) && ctest --output-on-failure -j $(JOBS)

# Side-by-side benchmark against Redis (see docs/benchmarks.md).
bench:
	@bash scripts/install-deps.sh redis-server gnuplot-nox libhiredis-dev || true
	@$(MAKE) --no-print-directory build
	bash bench/compare-redis.sh --build $(BUILD)

clean:
	rm -rf $(BUILD)
