#!/usr/bin/env bats

# tests/qemu-user, the wrapper that runs the suite where the programs of
# another machine run: ended by a signal, or ending with one, as natively.

bats_require_minimum_version 1.5.0

load common

# The programs run under the wrapper alone: not as the suite runs them.
setup_file() {
	common_setup_file
}

setup() {
	[ "$(debian_architecture)" != amd64 ] || skip "the programs are this machine's own: there is no emulator to wrap"
	cd "$BATS_TEST_TMPDIR"
}

teardown() {
	teardown_private
}

@test "under the emulator's wrapper a program that dies of a signal ends as it does natively" {
	head -c 1048576 /dev/zero >big
	timeout 10 "$BATS_TEST_DIRNAME/qemu-user" --emulate "$ARCH" "$BIN/rangepeek" big 0 </dev/null | head -c 10 >/dev/null
	equal "141 0" "${PIPESTATUS[*]}"
}

@test "the emulator's wrapper, ended from outside, ends what it started with the signal's status and leaves nothing" {
	private
	"${PRIVATE[@]}" perl -e 'msgget(555, 01666) // die'
	mkdir "$BATS_TEST_TMPDIR/tmp"
	# timeout sends the signal it is sent to the whole process group, as a
	# terminal's ^C does.
	TMPDIR=$BATS_TEST_TMPDIR/tmp "${PRIVATE[@]}" timeout --preserve-status 60 "$BATS_TEST_DIRNAME/qemu-user" \
		--emulate "$ARCH" "$BIN/queuetake" >out 2>err 3>&- &
	pid=$!
	within 10 eval 'asleep "$(running queuetake | head -n 1 | cut -d " " -f 1)"'
	kill -TERM "$pid"
	status=0
	wait "$pid" || status=$?
	exited 143
	empty out
	empty err
	for name in queuetake unshare sleep; do
		within 5 nothing_running "$name"
	done
	missing "$BATS_TEST_TMPDIR"/tmp/*
}
