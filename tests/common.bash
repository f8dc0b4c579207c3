# Loaded by every test file.

bats_require_minimum_version 1.5.0

# Run straight from bats, the suite takes the programs of the default build.
: "${BIN:=$(cd "$BATS_TEST_DIRNAME/.." && pwd)/build/default/bin}"
: "${FAKEFB:=${BIN%/bin}/tests/libfakefb.so}"

# emulated: the programs are built for another machine and run under
# qemu-user.
emulated() {
	[ "${ARCH:-$(uname -m)}" != "$(uname -m)" ]
}

# debian_architecture: Debian's name for the programs' machine.
debian_architecture() {
	case ${ARCH:-x86_64} in
	aarch64) echo arm64 ;;
	arm) echo armhf ;;
	i686) echo i386 ;;
	x86_64) echo amd64 ;;
	*) echo "$ARCH" ;;
	esac
}

# alone: nothing runs in the programs' processes beside them: neither
# qemu-user nor the sanitizer runtime, which make system calls of their own
# and need descriptors of their own (at a descriptor limit, with a standard
# descriptor closed, the sanitizer runtime spins at start).
alone() {
	! emulated && ! readelf -d "$BIN/feedsink" | grep -q libasan
}

# take COMMAND...: run COMMAND in a subshell with its standard output and
# error in the files $out and $err, and its exit status in $status. Unlike
# bats' run, it keeps every byte: trailing line ends and zero bytes included.
take() {
	out=$BATS_TEST_TMPDIR/stdout err=$BATS_TEST_TMPDIR/stderr
	status=0
	("$@") >"$out" 2>"$err" || status=$?
	[ "$status" -ne 124 ] || echo "# timed out (status 124): $*" >&2
}

# holds FILE [FORMAT [ARGUMENT...]]: FILE holds exactly what printf makes of
# FORMAT and the ARGUMENTs, or without them what comes on standard input,
# but that a mapping's address shows as ADDRESS.
holds() {
	local file=$1
	shift
	cmp <(if [ $# -eq 0 ]; then cat; else printf "$@"; fi) \
		<(sed -E 's/^(framebuffer mmap address=|addr:)0x[0-9a-f]+/\1ADDRESS/' "$file")
}

setup_file() {
	common_setup_file
}

# Whatever a test starts carries the file's own mark in its environment, so
# that whatever it leaves running is found afterwards, whatever became of its
# parent.
common_setup_file() {
	if [ ! -x "$BIN/feedsink" ]; then
		echo "no programs in $BIN: build them (cmake --workflow --preset default), or set BIN to where they are" >&2
		return 1
	fi
	export KERNELPROBES_TEST_FILE=$BATS_FILE_TMPDIR
}

# running [NAME]: the live processes that this file's tests started, named
# NAME if given, as PID NAME, one a line. Zombies have ended; they are only
# waiting for their parent.
running() {
	local environ pid name stat
	for environ in $(grep -lzxF "KERNELPROBES_TEST_FILE=$BATS_FILE_TMPDIR" /proc/[0-9]*/environ 2>/dev/null); do
		pid=${environ#/proc/}
		pid=${pid%/environ}
		{ read -r name <"/proc/$pid/comm" && read -r stat <"/proc/$pid/stat"; } 2>/dev/null || continue
		stat=${stat##*) }
		[ "${stat%% *}" != Z ] || continue
		[ -z "${1-}" ] || [ "$name" = "$1" ] || continue
		echo "$pid $name"
	done
}

# A test that ends while what it started is still going fails the file, and
# what is left is killed by its own process identifier.
teardown_file() {
	common_teardown_file
}

common_teardown_file() {
	local left
	for _ in $(seq 20); do
		left=$(running)
		[ -n "$left" ] || return 0
		sleep 0.1
	done
	echo "still running after the tests:" $left >&2
	kill $(sed 's/ .*//' <<<"$left") 2>/dev/null
	return 1
}
