#!/usr/bin/env bats

# The Debian package as a user meets it: built by CPack from this build, its
# files, lintian's verdict, and, on a machine of its architecture, an
# install with apt-get that is purged again, leaving the machine as it was.

bats_require_minimum_version 1.5.0

load common

setup_file() {
	common_setup_file
	build=${BIN%/bin}
	architecture=$(debian_architecture)
	deb=$build/kernelprobes_${VERSION}_$architecture.deb
	export build architecture deb
}

teardown_file() {
	# A failed case must not leave the package installed.
	if [ -e "$BATS_FILE_TMPDIR/installed" ]; then
		apt_get purge -y -q kernelprobes >/dev/null 2>&1
	fi
	common_teardown_file
}

# apt_get ARGUMENT...: apt-get for the package's architecture alone: the
# lists of the machine's other architectures (ten here) would only make it
# read them all at every call, where it keeps no cache.
apt_get() {
	DEBIAN_FRONTEND=noninteractive apt-get -o APT::Architectures="$architecture" "$@"
}

# installed: kernelprobes is installed on this machine.
installed() {
	dpkg-query -W -f '${db:Status-Abbrev}' kernelprobes 2>/dev/null | grep -q '^ii'
}

@test "cpack builds the package with the project's version and architecture" {
	rm -f "$deb"
	(cd "$build" && cpack -G DEB >/dev/null)
	equal "Package: kernelprobes
Version: $VERSION
Architecture: $architecture
Section: utils
Priority: optional" "$(dpkg-deb -f "$deb" Package Version Architecture Section Priority)"
	# Without libc6 of its own architecture here, the cross C library names
	# the architecture.
	[[ "$(dpkg-deb -f "$deb" Depends)" =~ ^"libc6"(":$architecture")?" (>= "[0-9.]+")"$ ]]
}

@test "it holds the stripped programs, compressed pages, copyright and changelog" {
	dpkg-deb -x "$deb" "$BATS_TEST_TMPDIR/root"
	cd "$BATS_TEST_TMPDIR/root"
	equal "./usr/bin/clockquery
./usr/bin/feedsink
./usr/bin/pixelprobe
./usr/bin/queuetake
./usr/bin/rangepeek
./usr/bin/screenwash
./usr/bin/spawnfeed
./usr/share/doc/kernelprobes/changelog.gz
./usr/share/doc/kernelprobes/copyright
./usr/share/man/man1/clockquery.1.gz
./usr/share/man/man1/feedsink.1.gz
./usr/share/man/man1/pixelprobe.1.gz
./usr/share/man/man1/queuetake.1.gz
./usr/share/man/man1/rangepeek.1.gz
./usr/share/man/man1/screenwash.1.gz
./usr/share/man/man1/spawnfeed.1.gz" "$(find . -type f | sort)"
	for program in usr/bin/*; do
		if readelf -S "$program" | grep -q '\.symtab'; then
			echo "expected $program stripped, but it has a symbol table"
			return 1
		fi
	done
	gzip -t usr/share/man/man1/*.gz usr/share/doc/kernelprobes/changelog.gz
	equal "kernelprobes ($VERSION) unstable; urgency=medium" \
		"$(zcat usr/share/doc/kernelprobes/changelog.gz | head -n 1)"
	grep -qx 'License: Expat' usr/share/doc/kernelprobes/copyright
}

@test "lintian finds no error and no warning" {
	command -v lintian >/dev/null || skip "lintian is not installed"
	# tools/check has lintian read every preset's package at once, with
	# PACKAGES naming them.
	[ -z "${LINTIAN_LATER-}" ] || skip "tools/check runs lintian over every package at once"
	take lintian --fail-on error,warning ${PACKAGES:-"$deb"}
	exited 0
	! grep -v '^running with root privileges' "$out" "$err" | grep '^[EW]: '
}

@test "installed with apt-get its pages and programs serve, and a purge removes it all" {
	[ "$architecture" = "$(dpkg --print-architecture)" ] || skip "an $architecture package installs on an $architecture machine"
	[ "$(id -u)" -eq 0 ] || skip "installing needs root"
	! installed || skip "kernelprobes is installed here already"
	command -v man >/dev/null || skip "man is not installed"
	touch "$BATS_FILE_TMPDIR/installed"
	apt_get install -y -q "$deb" >/dev/null
	equal /usr/share/man/man1/pixelprobe.1.gz "$(man -w pixelprobe)"
	printf 'abcdefghij' >"$BATS_TEST_TMPDIR/file"
	take /usr/bin/rangepeek "$BATS_TEST_TMPDIR/file" 5 3 </dev/null
	exited 0
	holds "$out" 'fghPAGE_SIZE:1000\npa_offset:0\npa_offset:0 file size:a\naddr:ADDRESS 61\n'
	apt_get purge -y -q kernelprobes >/dev/null
	! installed || {
		echo "expected kernelprobes purged, but dpkg has it installed"
		return 1
	}
	rm "$BATS_FILE_TMPDIR/installed"
	missing /usr/bin/rangepeek /usr/share/man/man1/pixelprobe.1.gz /usr/share/doc/kernelprobes
}
