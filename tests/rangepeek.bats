#!/usr/bin/env bats

# Standard input comes from /dev/null unless a test pauses the program: end
# of input counts as the keystroke.

bats_require_minimum_version 1.5.0

load processes

setup() {
	cd "$BATS_TEST_TMPDIR"
	# 12345 bytes of 'a' to 'z', with 0xE9 at the start of the second page.
	for _ in $(seq 475); do printf abcdefghijklmnopqrstuvwxyz; done | head -c 12345 >file
	printf '\351' | dd of=file bs=1 seek=4096 conv=notrunc status=none
}

peek() {
	"$BIN/rangepeek" "$@" </dev/null
}

# headers PA_OFFSET SIZE: the header lines, as they follow the range when
# standard output is not a terminal.
headers() {
	printf 'PAGE_SIZE:1000\npa_offset:%x\npa_offset:%x file size:%x\naddr:0x' "$1" "$1" "$2"
}

@test "the range comes out as dd cuts it, the buffered lines after it" {
	for offset in 0 1 4095 4096 4097 5000 8191 12344; do
		for length in 1 4095 4096 4097 8192 -1 ''; do
			peek file "$offset" $length >out
			dd if=file iflag=skip_bytes,count_bytes skip="$offset" \
				count=$((length > 0 ? length : 12345)) status=none >range
			n=$(stat -c %s range)
			head -c "$n" out | cmp - range
			[[ "$(tail -c +$((n + 1)) out)" =~ ^"$(headers $((offset / 4096 * 4096)) 12345)"[0-9a-f]+" "(61|71|ffffffe9)$ ]]
		done
	done
}

@test "the address line shows the window's first byte, sign-extended" {
	while read -r offset byte; do
		run --separate-stderr peek file "$offset" 1
		[ "$status" -eq 0 ]
		[ "$stderr" = "" ]
		[ "${#lines[@]}" -eq 4 ]
		[[ "${lines[3]}" =~ ^addr:0x[0-9a-f]+" $byte"$ ]]
	done <<-'END'
	0 61
	4095 61
	4096 ffffffe9
	5000 ffffffe9
	8192 63
	END
}

@test "an offset at or past the end, or any in an empty file, is refused" {
	: >empty
	while read -r name offset pa_offset size; do
		run --separate-stderr peek "$name" "$offset"
		[ "$status" -eq 1 ]
		[ "$output" = "$(headers "$pa_offset" "$size" | head -3)" ]
		[ "$stderr" = "offset is past end of file" ]
	done <<-'END'
	file 12345 12288 12345
	file 99999 98304 12345
	file 99999999999999999999 9223372036854771712 12345
	empty 0 0 0
	END
	run --separate-stderr peek file 12344
	[ "$status" -eq 0 ]
	[ "${output:0:1}" = "u" ]
}

@test "lengths past the end or negative show the rest of the file from the offset" {
	for length in 12345 2147483647 4294967296 99999999999999999999 -1 -50 -4000 -5000 -2147483648 \
		-99999999999999999999 ''; do
		run --separate-stderr peek file 4000 $length
		[ "$status" -eq 0 ]
		[ "$stderr" = "" ]
		[ "${output:0:8345}" = "$(tail -c +4001 file)" ]
	done
}

@test "a non-numeric offset counts as 0 and a negative one fails at the mapping" {
	run --separate-stderr peek file zero 3
	[ "$status" -eq 0 ]
	[ "${output:0:3}" = "abc" ]
	run --separate-stderr peek file -1 3
	[ "$status" -eq 1 ]
	[ "$output" = "$(headers -4096 12345 | head -3)" ]
	[ "$stderr" = "mmap: Value too large for defined data type" ]
}

@test "a zero length fails at an aligned offset and writes nothing at another" {
	run --separate-stderr peek file 4096 0
	[ "$status" -eq 1 ]
	[ "$stderr" = "mmap: Invalid argument" ]
	run --separate-stderr peek file 4097 0
	[ "$status" -eq 0 ]
	[ "$stderr" = "" ]
	[[ "$output" =~ ^"$(headers 4096 12345)"[0-9a-f]+" ffffffe9"$ ]]
}

@test "wrong argument counts get the usage line and unopenable files the reason" {
	for arguments in "" "file" "file 1 2 3"; do
		run --separate-stderr peek $arguments
		[ "$status" -eq 1 ]
		[ "$output" = "" ]
		[ "$stderr" = "$BIN/rangepeek file offset [length]" ]
	done
	mkdir readonly
	cp file readonly/file
	while IFS='|' read -r name message; do
		run --separate-stderr unshare --mount sh -c \
			'mount --bind -o ro readonly readonly && exec "$0" "$1" 0 </dev/null' "$BIN/rangepeek" "$name"
		[ "$status" -eq 1 ]
		[ "$output" = "" ]
		[ "$stderr" = "$message" ]
	done <<-'END'
	missing|open: No such file or directory
	readonly|open: Is a directory
	readonly/file|open: Read-only file system
	END
}

@test "a file system mounted without execute permission refuses the mapping" {
	mkdir noexec
	run --separate-stderr unshare --mount sh -c \
		'mount -t tmpfs -o noexec tmpfs noexec && cp file noexec && exec "$0" noexec/file 0 </dev/null' \
		"$BIN/rangepeek"
	[ "$status" -eq 1 ]
	[ "$stderr" = "mmap: Operation not permitted" ]
}

@test "a file that shrinks during the first pause is cut, or refused once past the offset" {
	while IFS='|' read -r size expected_status shown message; do
		cp file shrinking
		mkfifo pause
		"$BIN/rangepeek" shrinking 5000 3000 <pause >out 2>err 3>&- &
		pid=$!
		exec 4>pause
		# Wait for the first pause: a read of descriptor 0.
		timeout 5 sh -c "until grep -q '^0 0x0 ' /proc/$pid/syscall; do sleep 0.05; done"
		truncate -s "$size" shrinking
		exec 4>&-
		status=0
		wait "$pid" || status=$?
		rm pause
		[ "$status" -eq "$expected_status" ]
		[ "$(cat err)" = "$message" ]
		[ "$(head -c "$shown" out)" = "$(tail -c +5001 file | head -c "$shown")" ]
		[[ "$(tail -c +$((shown + 1)) out)" == PAGE_SIZE:1000* ]]
	done <<-'END'
	6000|0|1000|
	5001|0|1|
	5000|1|0|offset is past end of file
	100|1|0|offset is past end of file
	END
}

@test "with a standard descriptor closed the file stays untouched, and lost output fails" {
	cp file before
	while IFS='|' read -r offset length redirect expected_status shown message; do
		status=0
		eval '"$BIN/rangepeek" file "$offset" $length </dev/null >out 2>err '"$redirect" || status=$?
		[ "$status" -eq "$expected_status" ]
		head -c "${#shown}" out | cmp - <(printf %s "$shown")
		printf "$message" | cmp - err
		cmp before file
	done <<-'END'
	10|5|<&-|0|klmnoPAGE_SIZE:1000|
	10|5|>&-|1||write: Bad file descriptor\n
	10|5|>/dev/full|1||write: No space left on device\n
	10|5|2>&-|0|klmnoPAGE_SIZE:1000|
	99999||>&-|1||offset is past end of file\nwrite: Bad file descriptor\n
	99999||2>&-|1|PAGE_SIZE:1000|
	END
}

@test "a file shrinking under the copy ends the run with a reason, never a signal" {
	head -c 1048576 /dev/urandom >racing
	perl -e 'open my $f, "+<", $ARGV[0] or die; while (1) { truncate $f, 1048576; truncate $f, 4096 }' racing &
	racer=$!
	for _ in $(seq 300); do
		status=0
		"$BIN/rangepeek" racing 8192 </dev/null >/dev/null 2>err || status=$?
		echo "$status $(cat err)"
	done | sort | uniq -c >outcomes
	kill "$racer"
	wait "$racer" || true
	# Every run either showed the range or told why it could not.
	[ "$(sed -E 's/^ *[0-9]+ //' outcomes | grep -vxE '0 |1 offset is past end of file|1 file shrank while being read')" = "" ]
}

@test "offsets and lengths past 2^31 and 2^32 show the bytes dd shows" {
	truncate -s 5G big
	printf 'past 2^31' | dd of=big bs=1 seek=2147483650 conv=notrunc status=none
	printf 'past 2^32' | dd of=big bs=1 seek=4294967300 conv=notrunc status=none
	while read -r offset length; do
		cmp <(peek big "$offset" "$length" | head -c "$length") \
			<(dd if=big iflag=skip_bytes,count_bytes skip="$offset" count="$length" status=none)
	done <<-'END'
	2147483650 9
	4294967300 9
	4294967299 99999999999999999999
	2147483647 2147483648
	END
	[[ "$(peek big 4294967300 9 | tail -c +10)" =~ ^"$(headers 4294967296 5368709120)"[0-9a-f]+" 0"$ ]]
}

@test "a range of 3 GiB is written in full over several calls" {
	truncate -s 3G sparse
	run --separate-stderr bash -c '"$0" sparse 0 </dev/null >/dev/null' "$BIN/rangepeek"
	[ "$status" -eq 0 ]
	[ "$stderr" = "" ]
	command -v strace >/dev/null || skip "strace is not installed to count the calls"
	# LeakSanitizer cannot run under a tracer.
	ASAN_OPTIONS=detect_leaks=0 strace -qq -o trace -e trace=write -e signal=none \
		"$BIN/rangepeek" sparse 0 </dev/null >/dev/null
	[ "$(sed -n 's/^write(1, .*, \([0-9]*\)) = \([0-9]*\)$/\1 \2/p' trace | head -2)" = "3221225472 2147479552
1073745920 1073745920" ]
}
