#!/usr/bin/env bats

# Every test has a private IPC namespace of its own, so the machine's own
# queue 555 is never touched nor created; as another user than root, in a
# user namespace of its own.

bats_require_minimum_version 1.5.0

load common

setup() {
	private
}

teardown() {
	teardown_private
}

# queuetake: run it in the test's namespace, for 10 seconds at most.
queuetake() {
	"${PRIVATE[@]}" timeout 10 "$BIN/queuetake"
}

# send TYPE TEXT [MODE]: send a message into queue 555, creating the queue
# with MODE (default 666) if need be; \0 in TEXT stands for a zero byte.
send() {
	"${PRIVATE[@]}" perl -e '
		my ($type, $text, $mode) = @ARGV;
		$text =~ s/\\0/\0/g;
		my $id = msgget(555, 01000 | oct($mode // "666")) // die "msgget: $!\n";
		msgsnd($id, pack("l! a*", $type, $text), 0) or die "msgsnd: $!\n";' "$@"
}

# left: what remains in queue 555, a message a line, oldest first.
left() {
	"${PRIVATE[@]}" perl -e '
		my $id = msgget(555, 0) // exit print "no queue\n";
		while (msgrcv($id, my $message, 4096, 0, 04000)) {
			my ($type, $text) = unpack("l! a*", $message);
			$text =~ s/\0/\\0/g;
			print "$type $text\n";
		}'
}

@test "without a queue it fails at once and creates none" {
	take queuetake
	exited 1
	empty "$out"
	holds "$err" 'msgget: No such file or directory\n'
	equal "no queue" "$(left)"
}

# bats test_tags=table
@test "a message's text and type are printed, the type from its low 32 bits" {
	while IFS='|' read -r type text printed printed_type; do
		row "$type $text $printed $printed_type"
		send "$type" "$text"
		take queuetake
		exited 0
		empty "$err"
		holds "$out" 'msg is:%s\nmsg typ is %s\n' "$printed" "$printed_type"
	done <<-'END'
	7|hello\0|hello|7
	1|hello, twenty bytes\0|hello, twenty bytes|1
	2|ab\0cd|ab|2
	6|\0after the zero||6
	4294967295|x\0|x|-1
	4294967301|y\0|y|5
	9|exactly twenty bytes|exactly twenty bytes|9
	3|short|short|3
	5|||5
	END
	equal "" "$(left)"
}

@test "a message taken but not shown fails, so that its loss is known" {
	send 7 'hello\0'
	redirected '>/dev/full' queuetake
	exited 1
	holds "$err" 'write: No space left on device\n'
	equal "" "$(left)"
}

@test "a text longer than 20 bytes is refused and stays in the queue" {
	send 7 'twenty-one bytes long'
	take queuetake
	exited 1
	empty "$out"
	holds "$err" 'msgrcv: Argument list too long\n'
	equal "7 twenty-one bytes long" "$(left)"
}

@test "the oldest message is taken whatever its type and the rest remain" {
	send 9 'first\0'
	send 2 'second\0'
	send 5 'third\0'
	take queuetake
	exited 0
	holds "$out" 'msg is:first\nmsg typ is 9\n'
	equal "2 second\\0
5 third\\0" "$(left)"
}

# bats test_tags=table
@test "an empty queue is waited on until a message comes or the wait ends" {
	"${PRIVATE[@]}" perl -e 'msgget(555, 01666) // die'
	cd "$BATS_TEST_TMPDIR"
	while IFS='|' read -r ending expected_status shown message; do
		row "$ending $expected_status $shown $message"
		"${PRIVATE[@]}" "$BIN/queuetake" >out 2>err 3>&- &
		pid=$!
		within 5 asleep "$pid"
		case $ending in
		send) send 4 'late\0' ;;
		remove) "${PRIVATE[@]}" perl -e 'msgctl(msgget(555, 0), 0, 0) or die' ;;
		esac
		# A receiver that goes on waiting fails the test instead of hanging it.
		timeout 5 tail --pid="$pid" -f /dev/null || kill "$pid"
		status=0
		wait "$pid" || status=$?
		exited "$expected_status"
		holds out "$shown"
		holds err "$message"
	done <<-'END'
	send|0|msg is:late\nmsg typ is 4\n|
	remove|1||msgrcv: Identifier removed\n
	END
}

@test "a queue that refuses the caller read and write access is not opened" {
	[ "$(id -u)" -eq 0 ] || skip "the program runs as another user, which needs root"
	send 7 'private\0' 600
	# A copy that nobody can reach, wherever the build lies.
	public=$(mktemp -d /tmp/queuetake.XXXXXX)
	chmod 755 "$public"
	cp "$BIN/queuetake" "$public"
	take "${PRIVATE[@]}" setpriv --reuid=nobody --regid=nogroup --clear-groups timeout 10 "$public/queuetake"
	rm -r "$public"
	exited 1
	empty "$out"
	holds "$err" 'msgget: Permission denied\n'
	equal "7 private\\0" "$(left)"
}
