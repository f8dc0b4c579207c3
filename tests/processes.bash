# Loaded by every test file. Whatever a test starts carries the file's own
# mark in its environment, so that whatever it leaves running is found
# afterwards, whatever became of its parent.

setup_file() {
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
