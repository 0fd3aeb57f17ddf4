# Everything a fresh Debian machine needs to build, try and test retune.
MAKEFLAGS += --no-print-directory
BUILD    ?= build
PREFIX   ?= /usr/local
JOBS     ?= 2
SECONDS  ?= 60
MEANTONE := 0 -24 -6.8 10.3 -13.7 3.4 -20.5 -3.4 -27.4 -10.3 6.8 -17.1

.PHONY: all build program demo check check-sanitize fuzz bench install uninstall clean deps

all: build

# The tests need GoogleTest; the program alone only CMake and a compiler.
NEED_GTEST := yes
program install: NEED_GTEST :=
deps:
	@missing=""; \
	command -v cmake >/dev/null 2>&1 || missing="$$missing cmake"; \
	command -v g++ >/dev/null 2>&1 || missing="$$missing g++"; \
	[ -z "$(NEED_GTEST)" ] || test -f /usr/include/gtest/gtest.h || missing="$$missing libgtest-dev"; \
	if [ -n "$$missing" ]; then \
	  echo "Missing:$$missing. Install them with:"; \
	  echo "  sudo apt-get install -y cmake g++ make libgtest-dev midicsv"; \
	  exit 1; \
	fi

CONFIGURE = cmake -S . -B $(BUILD) -DCMAKE_BUILD_TYPE=Release -DCMAKE_INSTALL_PREFIX=$(PREFIX) >/dev/null

# Everything: the program, the tests and the tools.
build: deps
	@$(CONFIGURE)
	@cmake --build $(BUILD) -j $(JOBS)

# The program alone. A build directory set up for PREFIX is used as it is, so
# that `sudo make install` after `make demo` writes nothing into it.
program: deps
	@grep -qxF 'CMAKE_INSTALL_PREFIX:PATH=$(PREFIX)' $(BUILD)/CMakeCache.txt 2>/dev/null || $(CONFIGURE)
	@cmake --build $(BUILD) -j $(JOBS) --target retune

demo: program
	@echo "Retuning examples/melody.mid to quarter-comma meantone:"
	@echo "  retune $(MEANTONE) examples/melody.mid $(BUILD)/melody-meantone.mid"
	@$(BUILD)/retune --verbose $(MEANTONE) examples/melody.mid $(BUILD)/melody-meantone.mid
	@echo "Wrote $(BUILD)/melody-meantone.mid ($$(wc -c < examples/melody.mid) bytes in, $$(wc -c < $(BUILD)/melody-meantone.mid) bytes out)."

check: build
	@cd $(BUILD) && ctest --output-on-failure --no-tests=error -j $(JOBS)

install: program
	@DESTDIR=$(DESTDIR) cmake --install $(BUILD) --prefix $(PREFIX) --strip

# Removes what `make install` with the same PREFIX and DESTDIR put there; it
# needs no build tree.
uninstall:
	@DESTDIR=$(DESTDIR) cmake -DPREFIX=$(PREFIX) -P cmake/uninstall.cmake

clean:
	rm -rf $(BUILD) $(BUILD)-*

# The whole test suite under AddressSanitizer and UndefinedBehaviorSanitizer
# (float-to-integer overflow included), then a bounded fuzzing run.
check-sanitize: deps
	@cmake -S . -B $(BUILD)-sanitize -DCMAKE_BUILD_TYPE=Debug -DRETUNE_SANITIZE=address,undefined,float-cast-overflow >/dev/null
	@cmake --build $(BUILD)-sanitize -j $(JOBS)
	@cd $(BUILD)-sanitize && ASAN_OPTIONS=halt_on_error=1 UBSAN_OPTIONS=halt_on_error=1:print_stacktrace=1 \
	  ctest --output-on-failure -j $(JOBS)
	@$(MAKE) --no-print-directory fuzz SECONDS=60

# Coverage-guided fuzzing of both passes, --poly, --mpe, --adaptive, the Scala readers and
# the command line: make fuzz SECONDS=N. Each seed starts with the byte that
# says which.
FUZZ_DIR := $(BUILD)-fuzz
fuzz:
	@command -v clang++ >/dev/null 2>&1 || { echo "fuzzing needs clang: sudo apt-get install -y clang libclang-rt-14-dev"; exit 1; }
	@cmake -S . -B $(FUZZ_DIR) -DCMAKE_CXX_COMPILER=clang++ -DCMAKE_BUILD_TYPE=RelWithDebInfo \
	  -DRETUNE_FUZZ=ON -DRETUNE_TESTS=OFF -DRETUNE_STATIC=OFF >/dev/null
	@cmake --build $(FUZZ_DIR) -j $(JOBS) --target retune_fuzz gen_smf
	@mkdir -p $(FUZZ_DIR)/corpus $(FUZZ_DIR)/seeds
	@for f in examples/*.mid; do \
	  (printf '\0\0\0\0\0\0\0\0\0\0\0\0\0\0\0\0\0'; cat $$f) > $(FUZZ_DIR)/seeds/$$(basename $$f); \
	  (printf '\0\1\13\0\0\20\40\60\100\120\140\160\177\1\2\3\4'; cat $$f) > $(FUZZ_DIR)/seeds/range-$$(basename $$f); \
	  (printf '\0\202\0\2\0\177\1\20\30\40\60\70\100\120\140\160\2'; cat $$f) > $(FUZZ_DIR)/seeds/mts-$$(basename $$f); \
	  (printf '\4\0\0\0\0\0\1\2\3\4\5\6\7\10\11\12\13'; cat $$f) > $(FUZZ_DIR)/seeds/poly-$$(basename $$f); \
	  (printf '\5\0\0\0\0\0\1\2\3\4\5\6\7\10\11\12\13'; cat $$f) > $(FUZZ_DIR)/seeds/mpe-$$(basename $$f); \
	  (printf '\0\103\0\0\0\0\1\2\3\4\5\6\7\10\11\12\13'; cat $$f) > $(FUZZ_DIR)/seeds/bulk-$$(basename $$f); \
	  (printf '\6\0\0\0\0\0\0\0\0\0\0\0\0\0\0\0\0'; cat $$f) > $(FUZZ_DIR)/seeds/adaptive-$$(basename $$f); \
	  (printf '\6\2\0\0\0\0\0\0\0\0\0\0\0\0\0\0\0'; cat $$f) > $(FUZZ_DIR)/seeds/adaptive-keys-$$(basename $$f); \
	done
	@for n in 1 2 3; do (printf '\0\0\0\0\0\1\2\3\4\5\6\7\10\11\12\13\14'; $(FUZZ_DIR)/gen_smf 3000 $$n) > $(FUZZ_DIR)/seeds/gen-$$n; done
	@for f in examples/*.scl; do (printf '\1'; cat $$f) > $(FUZZ_DIR)/seeds/$$(basename $$f); done
	@for f in examples/*.kbm; do (printf '\2'; cat $$f) > $(FUZZ_DIR)/seeds/$$(basename $$f); done
	@n=0; for line in '--tuning|meantone|--root|D|in.mid|-' '-10|-.5|0|1e1|2|3|4|5|6|7|8|9|-|out.mid|--verbose' \
	  '--scl=a.scl|--kbm|b.kbm|--mts|--skip-channel|10|--print-offsets|--|-h' \
	  '--mpe|--bend-range|96|--mts=bulk|--export|syx|--tuning|edo:19|out.syx'; do \
	  n=$$((n + 1)); printf '\3%s' "$$line" | tr '|' '\0' > $(FUZZ_DIR)/seeds/cli-$$n; \
	done
	$(FUZZ_DIR)/retune_fuzz -max_total_time=$(SECONDS) -timeout=10 -rss_limit_mb=2048 -max_len=65536 \
	  -print_final_stats=1 $(FUZZ_DIR)/corpus $(FUZZ_DIR)/seeds

# Speed and memory against cp on generated files; BASELINE=path/to/retune
# times another build in the same rounds.
REPS     ?= 7
bench: build
	@mkdir -p $(BUILD)/bench-files
	@$(BUILD)/bench $(BUILD)/retune $(BUILD)/bench-files $(REPS) $(BASELINE)
