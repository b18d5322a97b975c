# Two commands set everything up on a fresh Debian 12 machine:
#   make run      build the server and the client, start the server (build/parleyd) in the foreground
#   make test     build everything and run every test through ctest
#   make bench    compare throughput, latency and memory with Redis
#   make package  build the Debian package build-package/parley_*.deb
BUILD ?= build
GENERATOR ?= Ninja
JOBS ?= $(shell nproc)
ARGS ?=
# Where `make run` keeps the server's history (empty: memory only).
DATA ?= data

# The package: a Release build of its own, with Debian's hardening flags.
PKG_BUILD ?= build-package

.PHONY: all deps configure build run test bench package clean

all: build

deps:
	@bash scripts/install-deps.sh

$(BUILD)/build.ninja:
	@bash scripts/install-deps.sh
	cmake -S . -B $(BUILD) -G $(GENERATOR) -DCMAKE_BUILD_TYPE=RelWithDebInfo

configure: $(BUILD)/build.ninja

build: configure
	cmake --build $(BUILD) -j $(JOBS)

run: configure
	cmake --build $(BUILD) -j $(JOBS) --target parleyd parley
	./$(BUILD)/parleyd $(if $(DATA),--data-dir $(DATA)) $(ARGS)

test: build
	cd $(BUILD) && ctest --output-on-failure -j $(JOBS)

# Side-by-side benchmark against Redis (see docs/benchmarks.md).
bench:
	@bash scripts/install-deps.sh redis-server gnuplot-nox libhiredis-dev || true
	@$(MAKE) --no-print-directory build
	bash bench/compare-redis.sh --build $(BUILD)

package:
	@bash scripts/install-deps.sh
	cmake -S . -B $(PKG_BUILD) -G $(GENERATOR) -DCMAKE_BUILD_TYPE=Release -DPARLEY_TESTS=OFF \
	  -DCMAKE_INSTALL_PREFIX=/usr \
	  -DCMAKE_CXX_FLAGS="$$(dpkg-buildflags --get CPPFLAGS) $$(dpkg-buildflags --get CXXFLAGS) -g0" \
	  -DCMAKE_EXE_LINKER_FLAGS="$$(dpkg-buildflags --get LDFLAGS) -Wl,-z,now"
	cmake --build $(PKG_BUILD) -j $(JOBS)
	cd $(PKG_BUILD) && cpack -G DEB

clean:
	rm -rf $(BUILD) $(PKG_BUILD)
