# Thin front door; the build itself is CMake presets (see README.md).
.PHONY: all demo test cross install bench clean deps host

all: host

deps:
	@scripts/deps.sh

host: deps
	cmake --preset host >/dev/null
	cmake --build --preset host

demo: host
	scripts/demo.sh

test:
	scripts/test.sh

cross: deps
	cmake --preset armhf >/dev/null
	cmake --build --preset armhf

# Board image layout under DESTDIR: usr/bin/dvrhelper and its applet links.
install: cross
	DESTDIR=$(DESTDIR) cmake --install build/armhf --prefix /

bench: host
	scripts/bench.sh

clean:
	rm -rf build
