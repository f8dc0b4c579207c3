#!/usr/bin/env bats

# The release archive of one architecture, ARCH (Debian's name, by default
# this machine's), as tools/release made it in RELEASE (default
# build/release), and as a user takes it: programs that need nothing but the
# kernel pass the suite's tables under qemu-user and draw on their machine's
# virtual machines, with no C library beside them; and another clone makes
# the same bytes.

bats_require_minimum_version 1.5.0

load common

setup_file() {
	top=$(cd "$BATS_TEST_DIRNAME/.." && pwd)
	: "${RELEASE:=$top/build/release}" "${ARCH:=$(dpkg --print-architecture)}"
	# Built against glibc, the archive says gnu where it would say musl.
	target=$("$top/tools/table" architectures "$ARCH" target | sed 's/musl/*/')
	archive=$(echo "$RELEASE"/kernelprobes-*-$target.tar.xz)
	tar -C "$BATS_FILE_TMPDIR" -xJf "$archive"
	BIN=$(echo "$BATS_FILE_TMPDIR"/kernelprobes-*/bin)
	export top archive ARCH BIN
	common_setup_file
}

setup() {
	cd "$BATS_TEST_TMPDIR"
}

# suite COMMAND...: COMMAND, which runs the suite on the archive's programs,
# as a user would run it: in an environment of its own, not this file's,
# whose path leads to bats itself, not to this run's own parts.
suite() {
	take env -i PATH="$(tr : '\n' <<<"$PATH" | grep -v /bats-core | paste -sd :)" HOME="${HOME-}" TMPDIR="${TMPDIR:-/tmp}" BIN="$BIN" ARCH="$ARCH" \
		${XDG_CACHE_HOME:+XDG_CACHE_HOME="$XDG_CACHE_HOME"} ${VM_SCREENS:+VM_SCREENS="$VM_SCREENS"} \
		"$@"
	exited 0
}

@test "the programs need nothing but the kernel, and on x86 run in a root that holds only them" {
	for program in "$BIN"/*; do
		if readelf -ld "$program" | grep -e 'program interpreter' -e '(NEEDED)'; then
			echo "expected ${program##*/} to load nothing"
			return 1
		fi
	done
	# Elsewhere the programs run here under qemu-user alone.
	case $ARCH in amd64 | i386) ;; *) return 0 ;; esac
	[ "$(id -u)" -eq 0 ] || skip "a root of its own needs root"
	mkdir -p root/etc
	cp "$BIN"/* root/
	printf abcdefghij >root/file
	printf '127.0.0.1 localhost\n' >root/etc/hosts
	# What feedsink writes, once spawnfeed has ended, goes through cat too.
	while IFS='|' read -r command expected_status expected; do
		row "$command"
		take bash -c 'unshare --ipc --net chroot root "$@" | cat; exit "${PIPESTATUS[0]}"' - $command
		exited "$expected_status"
		sed -e 's/^[0-9]* - wrote/PID - wrote/' -e "s/PAGE_SIZE:$(printf %x "$(getconf PAGESIZE)")$/PAGE_SIZE:P/" \
			"$out" "$err" >came
		holds came "$expected"
	done <<-'END'
	/rangepeek /file 5 3|0|fghPAGE_SIZE:P\npa_offset:0\npa_offset:0 file size:a\naddr:ADDRESS 61\n
	/spawnfeed|0|PID - wrote 3 bytes\nfeedsink received 3 bytes: 123\n
	/queuetake|1|msgget: No such file or directory\n
	/clockquery|1|no daytime service\n
	/pixelprobe|1|Unable to open /dev/fb0.\n
	/screenwash|1|
	END
}

@test "the programs pass the suite's tables with no C library in reach" {
	# On a machine of the archive's architecture, under qemu-user where this
	# one is not.
	suite "$top/tests/qemu-user" "$ARCH" bats --filter-tags table "$top"/tests/{rangepeek,queuetake,spawnfeed,clockquery}.bats
}

@test "the framebuffer programs draw on their machine's virtual machines with nothing but busybox" {
	VM_SCREENS=bare suite bats "$top/tests/vm.bats"
	grep '^ok .*centre pixel alone turns white' "$out" | grep -qv '# skip' ||
		skip "no virtual machine runs $ARCH's programs"
}

@test "the same commit makes the same archive in another clone at another path, later" {
	[ "$ARCH" = "$(dpkg --print-architecture)" ] || skip "proven for this machine's own architecture"
	git -C "$top" ls-files -co --exclude-standard -z >files
	mkdir clone
	tar -C "$top" --null -T files -cf - | tar -C clone -xf -
	ln -s "$top/.git" clone/.git
	clone/tools/release "$PWD/again" "$ARCH" >/dev/null
	cmp "$archive" again/"${archive##*/}"
}
