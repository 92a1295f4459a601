# Front door. `make` builds everything (Release) into build/, `make test` runs
# every test, `make demo` runs the Halyard deliverable end to end.

BUILD_DIR ?= build
JOBS ?= $(shell nproc)

.PHONY: all configure test demo bench install clean

all: configure
	cmake --build $(BUILD_DIR) -j $(JOBS)

configure:
	@test -f $(BUILD_DIR)/build.ninja || cmake --preset release

test: all
	cd $(BUILD_DIR) && LC_ALL=C ctest --output-on-failure --no-tests=error -j $(JOBS)

demo: all
	@scripts/demo.sh $(BUILD_DIR)

bench: all
	@bench/run.sh $(BUILD_DIR)

clean:
	rm -rf $(BUILD_DIR)
