# Everything a fresh Debian machine needs to build, try and test retune.
BUILD    ?= build
PREFIX   ?= /usr/local
JOBS     ?= 2
SECONDS  ?= 60
MEANTONE := 0 -24 -6.8 10.3 -13.7 3.4 -20.5 -3.4 -27.4 -10.3 6.8 -17.1

.PHONY: all build demo check check-sanitize fuzz bench install clean deps

all: build

deps:
	@missing=""; \
	command -v cmake >/dev/null 2>&1 || missing="$$missing cmake"; \
	command -v g++ >/dev/null 2>&1 || missing="$$missing g++"; \
	test -f /usr/include/gtest/gtest.h || missing="$$missing libgtest-dev"; \
	if [ -n "$$missing" ]; then \
	  echo "Missing:$$missing. Install them with:"; \
	  echo "  sudo apt-get install -y cmake g++ make libgtest-dev midicsv"; \
	  exit 1; \
	fi

build: deps
	@cmake -S . -B $(BUILD) -DCMAKE_BUILD_TYPE=Release >/dev/null
	@cmake --build $(BUILD) -j $(JOBS)

demo: build
	@echo "Retuning examples/melody.mid to quarter-comma meantone:"
	@echo "  retune $(MEANTONE) examples/melody.mid $(BUILD)/melody-meantone.mid"
	@$(BUILD)/retune --verbose $(MEANTONE) examples/melody.mid $(BUILD)/melody-meantone.mid
	@echo "Wrote $(BUILD)/melody-meantone.mid ($$(wc -c < examples/melody.mid) bytes in, $$(wc -c < $(BUILD)/melody-meantone.mid) bytes out)."

check: build
	@cd $(BUILD) && ctest --output-on-failure -j $(JOBS)

install: build
	@DESTDIR=$(DESTDIR) cmake --install $(BUILD) --prefix $(PREFIX)

clean:
	rm -rf $(BUILD) $(BUILD)-*
