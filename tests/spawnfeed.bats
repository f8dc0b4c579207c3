#!/usr/bin/env bats

# spawnfeed starts ./feedsink, so every test runs in a directory of its own.

bats_require_minimum_version 1.5.0

load common

setup() {
	cd "$BATS_TEST_TMPDIR"
}

# bare COMMAND...: run COMMAND with descriptors 0 to 2 only, as from a
# terminal, so that the pipe comes out as descriptors 3 and 4. It replaces
# the shell it runs in: call it from run or in the background.
bare() {
	for fd in /proc/$BASHPID/fd/*; do
		fd=${fd##*/}
		[ "$fd" -le 2 ] || eval "exec $fd>&-"
	done
	exec "$@"
}

needs_strace() {
	command -v strace >/dev/null || skip "strace is not installed"
	# LeakSanitizer cannot run under a tracer.
	export ASAN_OPTIONS=detect_leaks=0
}

@test "feedsink receives the three bytes and the launcher reports its own process" {
	cp "$BIN/feedsink" .
	bare "$BIN/spawnfeed" >out 2>err &
	pid=$!
	wait "$pid"
	# feedsink sees end of file only once the launcher has gone.
	within 5 eval '[ "$(wc -l <out)" -eq 2 ]'
	holds out '%s - wrote 3 bytes\nfeedsink received 3 bytes: 123\n' "$pid"
	empty err
}

# bats test_tags=table
@test "with standard descriptors closed the pipe still ends and lost output fails" {
	cp "$BIN/feedsink" .
	lost='write: Bad file descriptor\nwrite: Bad file descriptor\n'
	while IFS='|' read -r redirect expected_status shown message; do
		row "$redirect $expected_status $shown $message"
		redirected --background "$redirect" bare "$BIN/spawnfeed"
		status=0
		wait "$pid" || status=$?
		exited "$expected_status"
		# The child is spawnfeed until it has become feedsink.
		within 5 nothing_running spawnfeed
		within 5 nothing_running feedsink
		holds "$out" "$shown" "$pid"
		holds "$err" "$message"
	done <<-END
	<&-|0|%s - wrote 3 bytes\nfeedsink received 3 bytes: 123\n|
	>&-|1||$lost
	2>&-|0|%s - wrote 3 bytes\nfeedsink received 3 bytes: 123\n|
	<&- >&-|1||$lost
	<&- 2>&-|0|%s - wrote 3 bytes\nfeedsink received 3 bytes: 123\n|
	>&- 2>&-|1||
	<&- >&- 2>&-|1||
	>/dev/full|1||write: No space left on device\nwrite: No space left on device\n
	END
}

@test "a program in feedsink's place gets the read end's number and both ends open" {
	cat >feedsink <<-'END'
	#!/bin/sh
	{
		echo "$# $*"
		for fd in 3 4 5 6 7 8 9; do
			[ -e /proc/$$/fd/$fd ] || continue
			flags=$(sed -n 's/^flags:[[:space:]]*//p' /proc/$$/fdinfo/$fd)
			echo "$fd $(readlink /proc/$$/fd/$fd) $((0$flags & 3))"
		done
	} >record
	END
	chmod +x feedsink
	run --separate-stderr bare "$BIN/spawnfeed"
	exited 0
	equal "" "$stderr"
	[[ "$output" =~ ^[0-9]+" - wrote 3 bytes"$ ]]
	within 5 test -s record
	# Access mode 0 is read-only, 1 write-only.
	[[ "$(cat record)" =~ ^"1 3
3 pipe:["([0-9]+)"] 0
4 pipe:["([0-9]+)"] 1"$ ]]
	[ "${BASH_REMATCH[1]}" = "${BASH_REMATCH[2]}" ]
}

@test "without feedsink the launcher still succeeds and the child fails silently" {
	needs_strace
	# One trace file per process, trace.PID, so that their lines never mix.
	take bare strace -ff -q -e trace=execve -e signal=none -o trace "$BIN/spawnfeed"
	exited 0
	empty "$err"
	read -r parent _ <"$out"
	holds "$out" '%s - wrote 3 bytes\n' "$parent"
	[ -e "trace.$parent" ]
	child=$(grep -l '^execve("feedsink", \["feedsink", "3"\], .* = -1 ENOENT ' trace.*)
	[ "$child" != "trace.$parent" ]
	equal "+++ exited with 1 +++" "$(tail -n 1 "$child")"
}

@test "a pipe that cannot be created or moved above the standard descriptors is reported and fails" {
	# At a limit of 3 descriptors, the pipe takes the closed standard ones
	# and cannot move; it must never take the report itself.
	while IFS='|' read -r limit closed message; do
		row "$limit $closed $message"
		[ "$limit" -gt 3 ] || alone || continue
		take bare bash -c "exec $closed; ulimit -n $limit && exec \"\$1\"" - "$BIN/spawnfeed"
		exited 1
		empty "$out"
		holds "$err" "$message"
	done <<-'END'
	4||pipe: Too many open files\n
	3|<&- >&-|pipe: Too many open files\n
	3|<&- 2>&-|
	END
}

@test "a process that cannot be split or a write into the pipe that fails is reported and fails" {
	needs_strace
	while IFS='|' read -r fault shown message; do
		row "$fault $shown $message"
		# qemu-user aborts when its own fork fails.
		! emulated || [ "${fault%%:*}" != 'clone,clone3,?fork' ] || continue
		take bare strace -qq -o /dev/null -e trace="${fault%%:*}" -e inject="$fault" "$BIN/spawnfeed"
		exited 1
		pid=
		read -r pid _ <"$out" || true
		holds "$out" "$shown" "$pid"
		holds "$err" "$message"
	done <<-'END'
	write:error=EPIPE:when=1|%s - wrote -1 bytes\n|
	clone,clone3,?fork:error=EAGAIN||Fork failure
	END
}

# bats test_tags=table
@test "feedsink refuses anything but one descriptor open for reading" {
	while IFS='|' read -r arguments message; do
		row "$arguments $message"
		take bash -c "exec timeout 10 \"\$1\" $arguments 5>/dev/null" - "$BIN/feedsink"
		exited 2
		empty "$out"
		holds "$err" '%s\n' "$message"
	done <<-'END'
	|usage: feedsink descriptor
	0 0|usage: feedsink descriptor
	abc|feedsink: 'abc' is not a descriptor number
	''|feedsink: '' is not a descriptor number
	-1|feedsink: '-1' is not a descriptor number
	' 0'|feedsink: ' 0' is not a descriptor number
	3x|feedsink: '3x' is not a descriptor number
	2147483648|feedsink: '2147483648' is not a descriptor number
	2147483647|feedsink: descriptor 2147483647 is not open for reading
	900|feedsink: descriptor 900 is not open for reading
	5|feedsink: descriptor 5 is not open for reading
	END
}

@test "feedsink refuses a path-only descriptor and waits on a non-blocking one" {
	# Perl closes descriptors above \$^F across an exec.
	take perl -e '$^F = 9; sysopen(my $path, ".", 010000000) or die; exec @ARGV, fileno $path' \
		"$BIN/feedsink" 3>&-
	exited 2
	holds "$err" 'feedsink: descriptor 3 is not open for reading\n'
	timeout 10 perl -e '
		use Fcntl;
		$^F = 9;
		pipe(my $r, my $w) or die;
		fcntl($r, F_SETFL, O_NONBLOCK) or die;
		if (!fork) { close $w; exec @ARGV, fileno $r }
		close $r;
		select undef, undef, undef, 0.3;
		syswrite $w, "late";
		close $w;
		wait;
		exit $? >> 8' "$BIN/feedsink" >out 2>err
	holds out 'feedsink received 4 bytes: late\n'
	empty err
}

@test "feedsink closes the write ends wherever they lie, with close_range or without it, and reads to the end" {
	rooted
	[ "$(ulimit -Hn)" = unlimited ] || [ "$(ulimit -Hn)" -ge 4096 ] ||
		skip "copies up to descriptor 4095 need a hard limit of 4096 descriptors"
	# The read end as descriptor 5, descriptor 3 open on something else,
	# copies of the write end where the row puts them (every: on every other
	# descriptor below the hard limit, 4096, but 6, which the loader and the
	# listing of /proc need), then the soft limit lowered;
	# close_range as the kernel or a container's filter answers it (a kernel
	# older than 5.9 answers ENOSYS), with /proc or without, and where the
	# row says so the soft limit's raise refused too.
	while IFS='|' read -r copies limit refused proc; do
		row "$copies $limit $refused $proc"
		# qemu-user and the sanitizer runtime need /proc.
		[ "$proc" = mounted ] || alone || continue
		refuse=()
		[ -z "$refused" ] || refuse=(strace -f -qq -o calls -e "trace=execve,close_range,prlimit64"
			-e "inject=close_range:error=${refused%+*}")
		# The tracer starts first: nothing that holds a copy of the write end
		# may outlive feedsink.
		hand_over=("${ROOTED[@]}" unshare --mount sh -c '
			[ "$0" = mounted ] || mount -t tmpfs none /proc || exit
			exec prlimit --nofile=4096:4096 "$@"' "$proc" perl -e '
			use POSIX qw(dup2);
			my $copies = shift;
			my @copies = $copies eq "every" ? grep { !/^[56]$/ } 3 .. 4095 : split / /, $copies;
			pipe(my $r, my $w) or die;
			syswrite $w, "123" or die;
			dup2(fileno $r, 4000) and dup2(fileno $w, 4001) or die;
			dup2(4000, 5) and dup2(0, 3) or die;
			dup2(4001, $_) or die for @copies;
			POSIX::close($_) for grep { my $left = $_; !grep { $_ == $left } @copies } 4000, 4001;
			exec @ARGV, 5' "$copies" prlimit --nofile="$limit": "$BIN/feedsink")
		if [ "${refused#*+}" = setrlimit ]; then
			# The raise is the last prlimit64 call of feedsink's process,
			# counted in a run without the refusal.
			ASAN_OPTIONS=detect_leaks=0 timeout 10 "${refuse[@]}" "${hand_over[@]}" >/dev/null
			raise=$(awk '/execve\("[^"]*feedsink"/ { pid = $1 } / prlimit64\(/ { calls[$1]++ } END { print calls[pid] }' calls)
			refuse+=(-e "inject=prlimit64:error=EPERM:when=$raise")
		fi
		ASAN_OPTIONS=detect_leaks=0 take timeout 10 "${refuse[@]}" "${hand_over[@]}"
		exited 0
		holds "$out" 'feedsink received 3 bytes: 123\n'
		empty "$err"
	done <<-'END'
	4 6|1024||mounted
	4 6|1024|EPERM|mounted
	1023|1024|EPERM|mounted
	2000|1024|EPERM|mounted
	2047|2048|ENOSYS|none
	2000|1024|ENOSYS|none
	every|1024|EPERM|mounted
	every|1024|ENOSYS|none
	4 6 2047|100|ENOSYS+setrlimit|none
	END
}

@test "feedsink counts every byte to end of file and shows the first 64 KiB" {
	perl -e 'print chr(65 + $_ % 26) x 1000 for 0 .. 99' >sent
	take timeout 10 "$BIN/feedsink" 0 <sent
	exited 0
	empty "$err"
	{
		printf 'feedsink received 100000 bytes: '
		head -c 65536 sent
		echo
	} | holds "$out"
	# From a pipe fed in small pieces, as many reads as pieces.
	perl -e '$| = 1; open my $f, "<", "sent"; while (read $f, $_, 1000) { print; select undef, undef, undef, 0.002 }' |
		timeout 10 "$BIN/feedsink" 0 >chunked
	same "$out" chunked
	take timeout 10 "$BIN/feedsink" 0 </dev/null
	holds "$out" 'feedsink received 0 bytes: \n'
}
