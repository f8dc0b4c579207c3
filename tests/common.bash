# Loaded by every test file.

bats_require_minimum_version 1.5.0

# Run straight from bats, the suite takes the programs of the default build.
: "${BIN:=$(cd "$BATS_TEST_DIRNAME/.." && pwd)/build/default/bin}"
export BIN
: "${FAKEFB:=${BIN%/bin}/tests/libfakefb.so}"

# emulated: qemu-user runs the programs, which the machine cannot, or is
# made not to. Told by how one of them runs: its process is the emulator.
emulated() {
	[ "$EMULATED" = yes ]
}

# runs_how: EMULATED is yes where a program's process is not the program
# itself, no where it is; READ is the number of the read system call as that
# process makes it: the program's own machine numbers it where the kernel
# runs the program, the emulator's where qemu-user does.
runs_how() {
	local fifo=$BATS_FILE_TMPDIR/runs-how pid exe hold
	mkfifo "$fifo"
	"$BIN/feedsink" 0 <"$fifo" >/dev/null &
	pid=$!
	exec {hold}>"$fifo"
	# Until the exec, the process is still the shell.
	for _ in $(seq 200); do
		exe=$(readlink "/proc/$pid/exe")
		[ "$exe" = "$(readlink "/proc/$BASHPID/exe")" ] || break
		sleep 0.05
	done
	READ=$("$BATS_TEST_DIRNAME/../tools/table" architectures "elf=/proc/$pid/exe" read 2>/dev/null) || READ=unknown
	exec {hold}>&-
	wait "$pid"
	rm "$fifo"
	if [ "$exe" -ef "$BIN/feedsink" ]; then EMULATED=no; else EMULATED=yes; fi
	export EMULATED READ
}

# awaits_input PID: process PID, one of the programs, waits in a read of its
# standard input.
awaits_input() {
	local call descriptor
	read -r call descriptor _ 2>/dev/null <"/proc/$1/syscall" && [ "$call $descriptor" = "$READ 0x0" ]
}

# asleep PID: process PID waits, in a system call that sleeps.
asleep() {
	local stat
	read -r stat 2>/dev/null <"/proc/$1/stat" && stat=${stat##*) } && [ "${stat%% *}" = S ]
}

# within SECONDS COMMAND...: COMMAND succeeds within SECONDS, tried again
# every twentieth of a second; the last try is the verdict.
within() {
	local tries=$(($1 * 20))
	shift
	while ! "$@" 2>/dev/null && [ $((tries -= 1)) -gt 0 ]; do
		pause
	done
	"$@"
}

# pause: a twentieth of a second, in a read that nothing answers, so that
# a wait that polls starts no process each time.
pause() {
	[ -p "$BATS_FILE_TMPDIR/pause" ] || mkfifo "$BATS_FILE_TMPDIR/pause" 2>/dev/null || true
	read -r -t 0.05 _ <>"$BATS_FILE_TMPDIR/pause" || true
}

# debian_architecture: Debian's name for the programs' machine, as the build
# gives it in ARCH.
debian_architecture() {
	echo "${ARCH:-amd64}"
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

# redirected [--background] REDIRECTIONS COMMAND...: as take, but with the
# shell's REDIRECTIONS (such as "<&-", ">/dev/full 2>&-") made after those to
# $out and $err, so that they close or spoil what the program writes to.
# --background starts it, its process in $pid, rather than waiting.
redirected() {
	local background=
	[ "$1" != --background ] || { background=1 && shift; }
	local redirections=$1
	shift
	out=$BATS_TEST_TMPDIR/stdout err=$BATS_TEST_TMPDIR/stderr status=0
	if [ -n "$background" ]; then
		eval '"$@" >"$out" 2>"$err" '"$redirections"' 3>&- &'
		pid=$!
	else
		eval '"$@" >"$out" 2>"$err" '"$redirections" || status=$?
	fi
}

# exited STATUS: the command that take, redirected or run ran, or that was
# waited for, ended with STATUS; or its status, and what it wrote, show.
exited() {
	[ "$status" -ne "$1" ] || return 0
	echo "expected status $1, but it ended with $status"
	[ ! -e "${out-}" ] || printf 'its standard output:\n%s\n' "$(head -c 2000 "$out" | cat -v)"
	[ ! -e "${err-}" ] || printf 'its standard error:\n%s\n' "$(head -c 2000 "$err" | cat -v)"
	[ -z "${output-}" ] || printf 'its output:\n%s\n' "$output"
	return 1
}

# empty FILE...: each FILE is empty, or what it holds shows.
empty() {
	local file
	for file; do
		[ -s "$file" ] || continue
		printf 'expected %s empty, but it holds:\n%s\n' "$file" "$(head -c 2000 "$file" | cat -v)"
		return 1
	done
}

# rooted: ROOTED is what gives a command root's privileges over namespaces of
# its own, put before it: nothing as root; as another user, a user namespace
# of its own where it is root, where the kernel allows one; or the test
# skips.
rooted() {
	ROOTED=()
	[ "$(id -u)" -ne 0 ] || return 0
	unshare -r true 2>/dev/null || skip "needs root, or a user namespace, which this kernel refuses"
	ROOTED=(unshare -r)
}

# private: a network and an IPC namespace of the test's own, held by a
# process that teardown_private ends, as rooted has them. PRIVATE, put before
# a command, runs it there, as root there.
private() {
	rooted
	"${ROOTED[@]}" unshare --net --ipc tail -f /dev/null 3>&- &
	holder=$!
	within 5 eval '[ "$(readlink "/proc/$holder/ns/net")" != "$(readlink /proc/self/ns/net)" ]'
	PRIVATE=(nsenter -t "$holder" --net --ipc)
	[ "$(id -u)" -eq 0 ] || PRIVATE+=(--user --preserve-credentials)
}

teardown_private() {
	[ -z "${holder-}" ] || { kill "$holder" && wait "$holder"; } 2>/dev/null || true
}

# holds FILE [FORMAT [ARGUMENT...]]: FILE holds exactly what printf makes of
# FORMAT and the ARGUMENTs, or without them what comes on standard input,
# but that a mapping's address shows as ADDRESS, and that the error texts,
# written as glibc words them, are in the words of the programs' C library.
holds() {
	local file=$1 expected=$BATS_TEST_TMPDIR/.expected wording=$BATS_FILE_TMPDIR/texts
	shift
	[ -e "$wording" ] || texts >"$wording"
	if [ $# -eq 0 ]; then cat; else printf "$@"; fi >"$expected"
	[ ! -s "$wording" ] || sed -i -f "$wording" "$expected"
	same "$expected" <(sed -E 's/^(framebuffer mmap address=|addr:)0x[0-9a-f]+/\1ADDRESS/' "$file") "$file"
}

# texts: sed commands that turn glibc's text of each error the tests quote
# into the programs' C library's own. The programs' perror says it: strace
# makes rangepeek's open fail with each error in turn. Where the first
# text is glibc's, so are the others.
texts() {
	local name glibc ours path=$BATS_FILE_TMPDIR/text
	touch "$path"
	for name in EMFILE ENOENT EISDIR EROFS EBADF ENOSPC EIO EINVAL EOVERFLOW ENOMEM EPERM EACCES E2BIG EIDRM \
		ENETUNREACH EINTR; do
		glibc=$(perl -MErrno -e '$! = Errno->can($ARGV[0])->(); print "$!"' "$name")
		ours=$(ASAN_OPTIONS=detect_leaks=0 strace -qq -o /dev/null -P "$path" -e trace=openat,?open \
			-e inject=openat,?open:error="$name" "$BIN/rangepeek" "$path" 0 </dev/null 2>&1) || true
		# Programs that cannot run here (the virtual machines') say nothing.
		[[ "$ours" = "open: "* ]] || return 0
		ours=${ours#open: }
		[ "$ours" != "$glibc" ] || [ "$name" != EMFILE ] || return 0
		[ "$ours" = "$glibc" ] || echo "s|$glibc|$ours|g"
	done
}

# same EXPECTED ACTUAL [NAME]: the two files hold the same bytes. If not, a
# unified diff from what was expected to what was there (NAME, or ACTUAL)
# shows where, its first 4000 bytes.
same() {
	local difference=$BATS_TEST_TMPDIR/difference
	diff -u --text --label expected --label "actual (${3:-$2})" "$1" "$2" >"$difference" && return 0
	head -c 4000 "$difference"
	echo
	return 1
}

# equal EXPECTED ACTUAL: the two texts are the same, or the difference shows.
equal() {
	[ "$1" = "$2" ] || {
		printf 'expected: %q\nactual:   %q\n' "$1" "$2"
		return 1
	}
}

# missing PATH...: nothing is at any PATH, or what is there shows.
missing() {
	local path
	for path; do
		if [ -e "$path" ] || [ -L "$path" ]; then
			echo "expected nothing at $path, but there is:"
			ls -ld "$path"
			return 1
		fi
	done
}

# row TEXT: names the table row that the asserts after it check, so that
# a failing one shows which row it was.
row() {
	echo "# row: $*"
}

setup_file() {
	common_setup_file
	runs_how
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

# nothing_running [NAME]: no process that this file's tests started, named
# NAME if given, is still running.
nothing_running() {
	equal "" "$(running "$@")"
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
	sed 's/ .*//' <<<"$left" | xargs kill 2>/dev/null
	return 1
}
