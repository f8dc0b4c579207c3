#!/usr/bin/env bats

# Every test has a private network namespace of its own, with loopback up,
# and its own hosts and services files laid over /etc in a private mount
# namespace: the machine's network and services are never touched, and need
# not even exist. As another user than root, they are in a user namespace of
# their own.

bats_require_minimum_version 1.5.0

load common

setup() {
	cd "$BATS_TEST_TMPDIR"
	private
	"${PRIVATE[@]}" ip link set lo up
	printf '127.0.0.1 localhost\n127.0.0.2 twohomed\n127.0.0.3 twohomed\n' >hosts
	printf 'echo 7/udp\ndaytime 13/tcp\ndaytime 13/udp\n' >services
	export HOSTS=$PWD/hosts SERVICES=$PWD/services
	responders=()
}

teardown() {
	if [ "${#responders[@]}" -ne 0 ]; then
		kill "${responders[@]}"
		wait "${responders[@]}" || true
	fi
	teardown_private
}

# respond ADDRESS PORT REPLY: a daytime responder on ADDRESS:PORT that answers
# with the printf format REPLY and records in record.ADDRESS what it receives.
respond() {
	printf "$3" >"reply.$1"
	# nsenter becomes the responder, so that $! is the process to kill.
	"${PRIVATE[@]}" "$BATS_TEST_DIRNAME/daytime-responder" "$1" "$2" "reply.$1" "record.$1" 3>&- &
	responders+=($!)
	within 5 test -e "record.$1"
}

# clockquery [ARGUMENT...]: run it in the test's namespaces with the files
# HOSTS and SERVICES as /etc/hosts and /etc/services, looked up in them
# alone, under the command TRACER when that is set, for 10 seconds at most.
# shellcheck disable=SC2120 # the tests call it through take, with arguments
clockquery() {
	local lookups
	lookups=$(mktemp -d -p "$BATS_TEST_TMPDIR")
	cp "$HOSTS" "$lookups/hosts"
	cp "$SERVICES" "$lookups/services"
	printf 'hosts: files\nservices: files\n' >"$lookups/nsswitch.conf"
	"${PRIVATE[@]}" unshare --mount sh -c '
		mount -t overlay lookups -o "lowerdir=$1:/etc" /etc && shift &&
		exec timeout 10 $TRACER "$0" "$@"' "$BIN/clockquery" "$lookups" "$@"
}

@test "the reply of localhost's daytime service is printed as it came" {
	respond 127.0.0.1 13 'Tue Dec  8 07:58:47 2026\r\n'
	take clockquery
	exited 0
	empty "$err"
	holds "$out" 'daytime port is 13\nread 26 bytes: Tue Dec  8 07:58:47 2026\r\n'
	# One datagram of one byte.
	equal "00" "$(cat record.127.0.0.1)"
}

# bats test_tags=table
@test "replies of any length up to 128 bytes are printed whole, longer ones cut" {
	respond 127.0.0.1 13 ''
	# A length, or a reply as printf makes it.
	for reply in 0 1 127 128 129 200 'ab\0cd\n'; do
		row "$reply"
		case $reply in
		*[!0-9]*) printf "$reply" ;;
		*) head -c "$reply" /dev/zero | tr '\0' t ;;
		esac >reply.127.0.0.1
		take clockquery
		exited 0
		empty "$err"
		length=$(wc -c <reply.127.0.0.1)
		shown=$((length < 128 ? length : 128))
		# Text ends at a zero byte; the count is of the whole datagram.
		holds "$out" 'daytime port is 13\nread %d bytes: %s' "$shown" \
			"$(head -c "$shown" reply.127.0.0.1 | tr '\0' '\n' | head -n 1)"
	done
}

@test "the first argument names the host, the rest are ignored, and its first address is asked" {
	respond 127.0.0.2 13 'two\n'
	respond 127.0.0.3 13 'three\n'
	take clockquery twohomed extra arguments
	exited 0
	empty "$err"
	holds "$out" 'daytime port is 13\nread 4 bytes: two\n'
	equal "00" "$(cat record.127.0.0.2)"
	equal "" "$(cat record.127.0.0.3)"
}

@test "the port is the one the services database gives for daytime over udp" {
	printf 'daytime 13/tcp\ndaytime 1313/udp\n' >services
	respond 127.0.0.1 1313 'late\n'
	take clockquery
	exited 0
	holds "$out" 'daytime port is 1313\nread 5 bytes: late\n'
}

# bats test_tags=table
@test "a host or service that cannot be found is reported before anything is sent" {
	respond 127.0.0.1 13 'never\n'
	printf 'daytime 13/tcp\n' >tcponly
	while IFS='|' read -r host services message; do
		row "$host $services $message"
		SERVICES=$PWD/$services take clockquery "$host"
		exited 1
		empty "$out"
		holds "$err" '%s\n' "$message"
	done <<-'END'
	nosuchhost.invalid|services|no host: nosuchhost.invalid
	localhost|tcponly|no daytime service
	nosuchhost.invalid|tcponly|no host: nosuchhost.invalid
	END
	equal "" "$(cat record.127.0.0.1)"
}

@test "with nothing listening it waits until ended, its port line already out" {
	# Output to a file is fully buffered: only a flush before the wait
	# saves the line from the signal.
	clockquery >out 2>err &
	pid=$!
	within 10 eval 'asleep "$(running clockquery | head -n 1 | cut -d " " -f 1)"'
	# The wait ends as timeout's own time would end it.
	kill -ALRM "$(running timeout | cut -d " " -f 1)"
	status=0
	wait "$pid" || status=$?
	exited 124
	holds out 'daytime port is 13\n'
	empty err
}

@test "output that cannot be written fails before anything is sent" {
	respond 127.0.0.1 13 'never\n'
	status=0
	clockquery >/dev/full 2>err || status=$?
	exited 1
	holds err 'write: No space left on device\n'
	empty record.127.0.0.1
}

@test "a failed socket, send, receive or reply line is reported and fails" {
	# At a limit of 3 descriptors, the socket takes standard input's and
	# cannot move.
	if alone; then
		TRACER="prlimit --nofile=3" take clockquery <&-
		exited 1
		holds "$out" 'daytime port is 13\n'
		holds "$err" 'socket: Too many open files\n'
	fi
	command -v strace >/dev/null || skip "strace is not installed"
	# LeakSanitizer cannot run under a tracer.
	export ASAN_OPTIONS=detect_leaks=0
	respond 127.0.0.1 13 'never read\n'
	while IFS='|' read -r fault redirect message; do
		row "$fault $redirect"
		TRACER="strace -qq -o $PWD/trace -e trace=${fault%%:*},sendto -e inject=$fault" \
			redirected "$redirect" clockquery
		exited 1
		holds "$out" 'daytime port is 13\n'
		holds "$err" "$message"
		# The socket never takes a standard descriptor's number.
		if grep '^sendto([012],' trace; then return 1; fi
	done <<-'END'
	socket:error=EMFILE||socket: Too many open files\n
	sendto:error=ENETUNREACH||sendto: Network is unreachable\n
	recvfrom:error=EINTR||recvfrom: Interrupted system call\n
	write,writev:error=ENOSPC:when=2||write: No space left on device\n
	recvfrom:error=EINTR|2>&-|
	END
	equal "00
00
00" "$(cat record.127.0.0.1)"
}
