#!/usr/bin/env bats

# Every test has a private IPC namespace of its own, so the machine's own
# queue 555 is never touched nor created.

bats_require_minimum_version 1.5.0

load processes

setup() {
	ns=$BATS_TEST_TMPDIR/ipc
	touch "$ns"
	unshare --ipc="$ns" true
}

teardown() {
	umount "$ns"
}

in_ns() {
	nsenter --ipc="$ns" "$@"
}

# send TYPE TEXT [MODE]: send a message into queue 555, creating the queue
# with MODE (default 666) if need be; \0 in TEXT stands for a zero byte.
send() {
	in_ns perl -e '
		my ($type, $text, $mode) = @ARGV;
		$text =~ s/\\0/\0/g;
		my $id = msgget(555, 01000 | oct($mode // "666")) // die "msgget: $!\n";
		msgsnd($id, pack("q a*", $type, $text), 0) or die "msgsnd: $!\n";' "$@"
}

# left: what remains in queue 555, a message a line, oldest first.
left() {
	in_ns perl -e '
		my $id = msgget(555, 0) // exit print "no queue\n";
		while (msgrcv($id, my $message, 4096, 0, 04000)) {
			my ($type, $text) = unpack("q a*", $message);
			$text =~ s/\0/\\0/g;
			print "$type $text\n";
		}'
}

@test "without a queue it fails at once and creates none" {
	run --separate-stderr in_ns "$BIN/queuetake"
	[ "$status" -eq 1 ]
	[ "$output" = "" ]
	[ "$stderr" = "msgget: No such file or directory" ]
	[ "$(left)" = "no queue" ]
}

@test "a message's text and type are printed, the type from its low 32 bits" {
	while IFS='|' read -r type text printed printed_type; do
		send "$type" "$text"
		run --separate-stderr in_ns "$BIN/queuetake"
		[ "$status" -eq 0 ]
		[ "$stderr" = "" ]
		[ "$output" = "msg is:$printed
msg typ is $printed_type" ]
	done <<-'END'
	7|hello\0|hello|7
	1|hello, twenty bytes\0|hello, twenty bytes|1
	2|ab\0cd|ab|2
	4294967295|x\0|x|-1
	4294967301|y\0|y|5
	9|exactly twenty bytes|exactly twenty bytes|9
	3|short|short|3
	5|||5
	END
	[ "$(left)" = "" ]
}

@test "a message taken but not shown fails, so that its loss is known" {
	send 7 'hello\0'
	status=0
	in_ns "$BIN/queuetake" >/dev/full 2>"$BATS_TEST_TMPDIR/err" || status=$?
	[ "$status" -eq 1 ]
	printf 'write: No space left on device\n' | cmp - "$BATS_TEST_TMPDIR/err"
	[ "$(left)" = "" ]
}

@test "a text longer than 20 bytes is refused and stays in the queue" {
	send 7 'twenty-one bytes long'
	run --separate-stderr in_ns "$BIN/queuetake"
	[ "$status" -eq 1 ]
	[ "$output" = "" ]
	[ "$stderr" = "msgrcv: Argument list too long" ]
	[ "$(left)" = "7 twenty-one bytes long" ]
}

@test "the oldest message is taken whatever its type and the rest remain" {
	send 9 'first\0'
	send 2 'second\0'
	send 5 'third\0'
	run --separate-stderr in_ns "$BIN/queuetake"
	[ "$status" -eq 0 ]
	[ "$output" = "msg is:first
msg typ is 9" ]
	[ "$(left)" = "2 second\\0
5 third\\0" ]
}

@test "an empty queue is waited on until a message comes or the wait ends" {
	in_ns perl -e 'msgget(555, 01666) // die'
	for ending in send remove; do
		in_ns "$BIN/queuetake" >"$BATS_TEST_TMPDIR/out" 2>"$BATS_TEST_TMPDIR/err" 3>&- &
		pid=$!
		sleep 1
		kill -0 "$pid"
		case $ending in
		send) send 4 'late\0' ;;
		remove) in_ns perl -e 'msgctl(msgget(555, 0), 0, 0) or die' ;;
		esac
		# A receiver that goes on waiting fails the test instead of hanging it.
		timeout 5 tail --pid="$pid" -f /dev/null || kill "$pid"
		status=0
		wait "$pid" || status=$?
		echo "$ending $status [$(paste -sd/ "$BATS_TEST_TMPDIR/out")] [$(cat "$BATS_TEST_TMPDIR/err")]"
	done >"$BATS_TEST_TMPDIR/endings"
	[ "$(cat "$BATS_TEST_TMPDIR/endings")" = "send 0 [msg is:late/msg typ is 4] []
remove 1 [] [msgrcv: Identifier removed]" ]
}

@test "a queue that refuses the caller read and write access is not opened" {
	send 7 'private\0' 600
	run --separate-stderr in_ns setpriv --reuid=nobody --regid=nogroup --clear-groups "$BIN/queuetake"
	[ "$status" -eq 1 ]
	[ "$output" = "" ]
	[ "$stderr" = "msgget: Permission denied" ]
	[ "$(left)" = "7 private\\0" ]
}
