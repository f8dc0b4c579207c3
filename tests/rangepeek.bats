#!/usr/bin/env bats

# Standard input comes from /dev/null unless a test pauses the program: end
# of input counts as the keystroke.

bats_require_minimum_version 1.5.0

load common

setup() {
	cd "$BATS_TEST_TMPDIR"
	# 12345 bytes of 'a' to 'z', with 0xE9 at the start of the second page.
	for _ in $(seq 475); do printf abcdefghijklmnopqrstuvwxyz; done | head -c 12345 >file
	printf '\351' | dd of=file bs=1 seek=4096 conv=notrunc status=none
}

# A loop device that a test set up is detached, also when the test fails
# before it could, and with no read-only flag left set where one can be
# cleared.
teardown() {
	[ -z "${device-}" ] || blockdev --setrw "$device" 2>/dev/null || true
	[ -z "${device-}" ] || losetup --detach "$device"
}

# The machine's page: the window starts at a multiple of it.
page=$(getconf PAGESIZE)

peek() {
	"$BIN/rangepeek" "$@" </dev/null
}

# headers OFFSET SIZE: the three header lines, for OFFSET as read.
headers() {
	printf 'PAGE_SIZE:%x\npa_offset:%x\npa_offset:%x file size:%x\n' "$page" $(($1 & -page)) $(($1 & -page)) "$2"
}

# shown FILE OFFSET [LENGTH]: all that rangepeek writes for the range when
# standard output is not a terminal: the range as dd cuts it, then the lines,
# the address line with the window's first byte sign-extended.
shown() {
	local pa=$(($2 & -page)) size byte
	size=$(stat -c %s "$1")
	byte=$(od -An -tu1 -j "$pa" -N 1 "$1")
	dd if="$1" iflag=skip_bytes,count_bytes skip="$2" count="${3:-$size}" status=none
	headers "$2" "$size"
	printf 'addr:ADDRESS %x\n' $((byte > 127 ? byte + 0xffffff00 : byte))
}

# bats test_tags=table
@test "the range comes out as dd cuts it, the buffered lines after it" {
	# The rows' output, standard error with it, and status, one after the
	# other, compared at once.
	for offset in 0 1 4095 4096 4097 5000 8191 8192 12344; do
		for length in 1 4095 4096 4097 8192 -1 ''; do
			row="$offset ${length:-none}"
			status=0
			peek file "$offset" $length >>came 2>&1 || status=$?
			echo "$row: status $status" >>came
			[ "${length:-0}" -gt 0 ] || length=
			shown file "$offset" $length >>as_cut
			echo "$row: status 0" >>as_cut
		done
	done
	holds came <as_cut
}

@test "a static program runs in a root that holds nothing else" {
	! readelf -l "$BIN/rangepeek" | grep -q INTERP || skip "the programs load the C library"
	mkdir root
	cp "$BIN/rangepeek" file root
	take chroot root /rangepeek /file 5000 10 </dev/null
	exited 0
	shown file 5000 10 | holds "$out"
}

@test "a block device is sized by its end and its ranges shown, unless it is or becomes read-only" {
	cp file disk
	truncate -s 16384 disk
	# A loop device keeps a read-only flag that someone set: each row sets
	# the one it needs, and none is left set. Without the privilege to set
	# it (in a user namespace) a row runs only where the flag is already as
	# it needs and stays so.
	untried=() changeable=
	while IFS='|' read -r mode flag pause expected_status shown message; do
		row "$mode $flag $pause"
		device=$(losetup $mode --find --show disk 2>/dev/null) || skip "no loop device can be set up here"
		ro=0
		[ "$flag" = --setrw ] || ro=1
		blockdev "$flag" "$device" 2>/dev/null || changeable=no
		if [ "$(blockdev --getro "$device")" != "$ro" ] || [ -n "${pause:+$changeable}" ]; then
			losetup --detach "$device"
			device=
			untried+=("$mode $flag $pause")
			continue
		fi
		mkfifo pause
		"$BIN/rangepeek" "$device" 5000 100 <pause >out 2>err 3>&- &
		pid=$!
		exec 4>pause
		[ -z "$pause" ] || within 5 awaits_input "$pid"
		[ -z "$pause" ] || blockdev "$pause" "$device"
		exec 4>&-
		status=0
		wait "$pid" || status=$?
		rm pause
		[ -n "$changeable" ] || blockdev --setrw "$device"
		losetup --detach "$device"
		device=
		exited "$expected_status"
		case $shown in
		all) shown disk 5000 100 ;;
		lines) headers 5000 16384 ;;
		esac | holds out
		holds err "$message"
	done <<-'END'
	|--setrw||0|all|
	--read-only|--setro||1|none|open: Read-only file system\n
	|--setrw|--setro|1|lines|open: Read-only file system\n
	END
	[ "${#untried[@]}" -eq 0 ] || skip "the read-only flag cannot be set here; not tried: ${untried[*]}"
}

# bats test_tags=table
@test "an offset at or past the end, or any in an empty file, is refused at once" {
	: >empty
	# Standard input that never answers: the refusal comes before the pause.
	mkfifo never
	exec 4<>never
	while read -r name offset read size input; do
		row "$name $offset $read $size $input"
		take timeout 10 "$BIN/rangepeek" "$name" "$offset" <"$input"
		exited 1
		headers "$read" "$size" | holds "$out"
		holds "$err" 'offset is past end of file\n'
	done <<-'END'
	file 12345 12345 12345 /dev/null
	file 12345 12345 12345 never
	file 99999 99999 12345 /dev/null
	file 99999999999999999999 9223372036854775807 12345 /dev/null
	empty 0 0 0 /dev/null
	END
	exec 4>&-
	take peek file 12344
	exited 0
	shown file 12344 | holds "$out"
}

# bats test_tags=table
@test "lengths past the end or negative show the rest of the file from the offset" {
	for length in 12345 2147483647 4294967296 99999999999999999999 -1 -50 -4000 -5000 -2147483648 \
		-99999999999999999999 ''; do
		row "$length"
		take peek file 4000 $length
		exited 0
		empty "$err"
		shown file 4000 | holds "$out"
	done
}

@test "a non-numeric offset counts as 0, and a negative one or a window no address space holds fails at the mapping" {
	rooted
	take peek file zero 3
	exited 0
	shown file 0 3 | holds "$out"
	take peek file " +4097" 3
	exited 0
	shown file 4097 3 | holds "$out"
	take peek file -1 3
	exited 1
	headers -1 12345 | holds "$out"
	holds "$err" 'mmap: Value too large for defined data type\n'
	mkdir mnt
	take "${ROOTED[@]}" unshare --mount sh -c 'mount -t tmpfs tmpfs mnt && truncate -s 1E mnt/huge &&
		exec "$0" mnt/huge 0 </dev/null' "$BIN/rangepeek"
	exited 1
	headers 0 $((1 << 60)) | holds "$out"
	holds "$err" 'mmap: Cannot allocate memory\n'
}

@test "a zero length fails at an aligned offset and writes nothing at another" {
	take peek file "$page" 0
	exited 1
	headers "$page" 12345 | holds "$out"
	holds "$err" 'mmap: Invalid argument\n'
	take peek file 4097 0
	exited 0
	empty "$err"
	shown file 4097 0 | holds "$out"
}

@test "wrong argument counts get the usage line and unopenable files the reason" {
	rooted
	for arguments in "" "file" "file 1 2 3"; do
		row "$arguments"
		take peek $arguments
		exited 1
		empty "$out"
		holds "$err" '%s file offset [length]\n' "$BIN/rangepeek"
	done
	mkdir readonly
	cp file readonly/file
	while IFS='|' read -r name message; do
		row "$name $message"
		take "${ROOTED[@]}" unshare --mount sh -c \
			'mount --bind -o ro readonly readonly && exec "$0" "$1" 0 </dev/null' "$BIN/rangepeek" "$name"
		exited 1
		empty "$out"
		holds "$err" '%s\n' "$message"
	done <<-'END'
	missing|open: No such file or directory
	readonly|open: Is a directory
	readonly/file|open: Read-only file system
	END
	# At a limit of 3 descriptors, the file takes standard input's and
	# cannot move.
	alone || return 0
	take bash -c 'exec <&-; ulimit -n 3; exec "$0" file 0' "$BIN/rangepeek"
	exited 1
	empty "$out"
	holds "$err" 'open: Too many open files\n'
}

@test "a file system mounted without execute permission refuses the mapping" {
	rooted
	! emulated || skip "qemu-user does not enforce a noexec mount"
	mkdir noexec
	take "${ROOTED[@]}" unshare --mount sh -c \
		'mount -t tmpfs -o noexec tmpfs noexec && cp file noexec && exec "$0" noexec/file 0 </dev/null' \
		"$BIN/rangepeek"
	exited 1
	headers 0 12345 | holds "$out"
	holds "$err" 'mmap: Operation not permitted\n'
}

@test "a file that shrinks during the first pause is cut, or refused once past the offset, and one put in its place is not watched" {
	rooted
	command -v strace >/dev/null || skip "strace is not installed"
	# Without /proc, as in an initramfs, the file is watched by its name.
	# Where the row says so, the program is stopped before it makes the watch
	# (open) and the change is made then; and the write of the range is
	# interrupted and the program stopped until another file at that name
	# has been written (write). qemu-user and the sanitizer runtime need
	# /proc, and LeakSanitizer cannot run under a tracer.
	hide_proc='mount -t tmpfs none /proc'
	alone || hide_proc=:
	while IFS='|' read -r held change expected_status shown message; do
		row "$held $change $expected_status $shown $message"
		cp file shrinking
		cp file other
		rm -f trace
		mkfifo pause
		held=" $held " stops=()
		[[ "$held" != *" open "* ]] || stops+=(-e inject=inotify_init1:signal=SIGSTOP:when=1)
		[[ "$held" != *" write "* ]] || stops+=(-e inject=write:error=EINTR:signal=SIGSTOP:when=1)
		ASAN_OPTIONS=detect_leaks=0 "${ROOTED[@]}" unshare --mount sh -c "$hide_proc"' && exec strace -qq -o trace \
			-e trace=write,inotify_init1 "$@"' - "${stops[@]}" "$BIN/rangepeek" shrinking 5000 3000 <pause >out 2>err 3>&- &
		pid=$!
		exec 4>pause
		writer=
		if [[ "$held" = *" open "* ]]; then
			within 5 eval '[ "$(grep -c "stopped by SIGSTOP" trace)" -eq 1 ]'
			eval "$change"
			pkill -CONT -P "$pid"
		fi
		within 5 eval 'awaits_input "$(pgrep -P "$pid")"'
		[[ "$held" = *" open "* ]] || eval "$change"
		exec 4>&-
		if [[ "$held" = *" write "* ]]; then
			within 5 eval '[ "$(grep -c "stopped by SIGSTOP" trace)" -eq $((${#stops[@]} / 2)) ]'
			within 5 test shrinking -nt trace
			pkill -CONT -P "$pid"
		fi
		status=0
		wait "$pid" || status=$?
		[ -z "$writer" ] || kill "$writer"
		rm pause
		exited "$expected_status"
		holds err "$message"
		# Exactly the bytes that are left, no zero bytes in place of the
		# rest, and the header lines as they were before the pause.
		{
			tail -c +5001 file | head -c "$shown"
			shown file 5000 0 | head -n $((status ? 3 : 4))
		} | holds out
	done <<-'END'
	|truncate -s 6000 shrinking|0|1000|
	|truncate -s 5001 shrinking|0|1|
	|truncate -s 5000 shrinking|1|0|offset is past end of file\n
	|truncate -s 100 shrinking|1|0|offset is past end of file\n
	write|mv other shrinking; while :; do printf x 1<>shrinking; done 4>&- & writer=$!|0|3000|
	open write|mv other shrinking; while :; do printf x 1<>shrinking; done 4>&- & writer=$!|0|3000|
	END
}

@test "a write of the range that fails or moves nothing is reported and fails" {
	command -v strace >/dev/null || skip "strace is not installed"
	while IFS='|' read -r fault message; do
		row "$fault $message"
		# LeakSanitizer cannot run under a tracer.
		ASAN_OPTIONS=detect_leaks=0 take strace -qq -o /dev/null -e trace=write \
			-e inject=write:"$fault":when=1 "$BIN/rangepeek" file 10 5 </dev/null
		exited 1
		holds "$err" "$message"
	done <<-'END'
	error=EIO|write: Input/output error\n
	retval=0|partial write
	END
}

@test "the second pause waits for one more character, unless the first line held it" {
	while read -r typed; do
		row "$typed"
		mkfifo keys
		"$BIN/rangepeek" file 5000 10 <keys >out 2>err &
		pid=$!
		exec 4>keys
		printf "$typed" >&4
		if [ "$typed" = x ]; then
			# The range is out and the program reads standard input again.
			within 5 test -s out
			within 5 awaits_input "$pid"
			printf y >&4
		fi
		timeout 5 tail --pid="$pid" -f /dev/null
		exec 4>&-
		wait "$pid"
		rm keys
		shown file 5000 10 | holds out
		empty err
	done <<-'END'
	x
	x\n
	END
}

# bats test_tags=table
@test "with a standard descriptor closed the file stays untouched, and lost output fails" {
	cp file before
	while IFS='|' read -r offset length redirect expected_status shown message; do
		row "$offset $length $redirect $expected_status $shown $message"
		mkfifo keys
		redirected --background "<keys $redirect" "$BIN/rangepeek" file "$offset" $length
		exec 4>keys
		# Where it pauses, neither the file nor the watch on it holds a
		# standard descriptor.
		if [[ "$redirect" != *"<&-"* ]] && [ "$offset" -lt 12345 ]; then
			within 5 awaits_input "$pid"
			equal "" "$(readlink /proc/"$pid"/fd/[012] | grep -e inotify -e /file)"
		fi
		exec 4>&-
		status=0
		wait "$pid" || status=$?
		rm keys
		exited "$expected_status"
		shown=$(printf "$shown" "$page")
		head -c "${#shown}" "$out" >start
		holds start %s "$shown"
		holds "$err" "$message"
		same before file
	done <<-'END'
	10|5|<&-|0|klmnoPAGE_SIZE:%x|
	10|5|>&-|1||write: Bad file descriptor\n
	10|5|>/dev/full|1||write: No space left on device\n
	10|5|2>&-|0|klmnoPAGE_SIZE:%x|
	99999||>&-|1||offset is past end of file\nwrite: Bad file descriptor\n
	99999||2>&-|1|PAGE_SIZE:%x|
	END
}

@test "a range that cannot be read to its end or changes under the copy fails, with the lines kept" {
	rooted
	command -v strace >/dev/null || skip "strace is not installed"
	cp file before
	mkdir mnt
	# The write, which meets the lost pages or a cut inside the range's
	# last page, or madvise, before the first byte is read, is interrupted
	# and the program stopped while the file is changed; a full tmpfs has no
	# page for a hole, whatever becomes of the file's mode and owner. A
	# write is seen where no inotify instance can be had, and where times
	# are kept to the second.
	untried=()
	while IFS='|' read -r held where change size message byte; do
		[ "$held" != madvise ] || alone || continue
		[[ "$change" != *fio* ]] || command -v fio >/dev/null || { untried+=(fio); continue; }
		row "$held $where: $change"
		cp before file
		ASAN_OPTIONS=detect_leaks=0 take "${ROOTED[@]}" unshare --mount sh -c '
			traced=$1 unwatched=
			case $2 in
			tmpfs) mount -t tmpfs -o size="$4" tmpfs mnt && truncate -s "$5" mnt/file && cd mnt || exit ;;
			unwatched) mount -t tmpfs tmpfs mnt && cp file mnt && cd mnt || exit
				traced=$1,inotify_init1 unwatched="-e inject=inotify_init1:error=EMFILE" ;;
			ext4) truncate -s 16M ext4 && mkfs.ext4 -q -I 128 ext4 2>/dev/null && mount -o loop ext4 mnt 2>/dev/null &&
				cp file mnt && cd mnt || exit 3 ;;
			esac
			# A write that raises no event is seen by the modification time
			# alone, which an emulator may keep to the second (QEMU 10 for
			# s390x): such a change waits for the clock to pass the file'"'"'s.
			tick() {
				for _ in $(seq 40); do
					[ "$(date +%s)" -gt "$(stat -c %Y file)" ] && return
					sleep 0.05
				done
			}
			rm -f "$6"
			strace -qq -o "$6" -e trace="$traced" -e inject="$1":error=EINTR:signal=SIGSTOP:when=1 $unwatched \
				"$0" file 0 </dev/null &
			for _ in $(seq 200); do
				! grep -qs "stopped by SIGSTOP" "$6" || break
				sleep 0.05
			done
			eval "$3"
			pkill -CONT -P $!
			wait $!' "$BIN/rangepeek" "$held" "$where" "$change" "$page" "$size" "$BATS_TEST_TMPDIR/trace"
		if [ "$where" = ext4 ] && [ "$status" -eq 3 ]; then
			untried+=("ext4 on a loop device")
			continue
		fi
		exited 1
		holds "$err" '%s\n' "$message"
		{ headers 0 "$size"; [ -z "$byte" ] || printf 'addr:ADDRESS %s\n' "$byte"; } >lines
		sed 's/^addr:0x[0-9a-f]*/addr:ADDRESS/' "$out" | tail -c "$(wc -c <lines)" >ending
		holds ending <lines
	done <<-END
	write|disk|truncate -s 12300 file|12345|file shrank while being read|61
	write|disk|truncate -s 4096 file|12345|file shrank while being read|61
	write|disk|truncate -s 12344 file|12345|file shrank while being read|61
	madvise|disk|truncate -s 0 file|12345|file shrank while being read|
	write|disk|truncate -s 5000 file; truncate -s 12345 file|12345|file changed while being read|61
	write|disk|tick; fio --name=aio --filename=file --ioengine=libaio --direct=1 --rw=write --bs=4096 --size=4096 >/dev/null|12345|file changed while being read|61
	write|tmpfs|chmod 600 file; chown 1:1 file 2>/dev/null|$((4 * page))|cannot read the file's pages through the mapping: no memory or space for them, or an I/O error|0
	write|unwatched|tick; printf x >>file|12345|file changed while being read|61
	write|ext4|printf x >>file|12345|file changed while being read|61
	END
	[ "${#untried[@]}" -eq 0 ] || skip "not tried here: ${untried[*]}"
}

@test "a file shrinking under the copy ends the run with a reason, never a signal" {
	head -c 1048576 /dev/urandom >racing
	# The file is cut to a page and grown back again every fifth of a
	# millisecond: most runs meet a cut during the copy.
	perl -e 'open my $f, "+<", $ARGV[0] or die;
		while (1) { truncate $f, 1048576; select undef, undef, undef, 0.0002; truncate $f, 4096 }' racing &
	racer=$!
	for _ in $(seq 100); do
		status=0 text=''
		"$BIN/rangepeek" racing 8192 </dev/null >/dev/null 2>err || status=$?
		IFS= read -r -d '' text <err || true
		printf '%s %q\n' "$status" "$text"
	done | sort -u >outcomes
	kill "$racer"
	wait "$racer" || true
	# Every run either showed the range or told why it could not.
	for reason in 'offset is past end of file' 'file shrank while being read' 'file changed while being read'; do
		printf '1 %q\n' "$reason"$'\n'
	done >explained
	printf '0 %q\n' '' >>explained
	unexplained=$(grep -vxF -f explained outcomes) || true
	equal "" "$unexplained"
}

@test "offsets and lengths past 2^31 and 2^32 show the bytes dd shows" {
	! emulated || ! readelf -h "$BIN/rangepeek" | grep -q ELF32 ||
		skip "qemu-user reads zeros at file offsets of 4 GiB and more for 32-bit programs: the armhf VM proves them"
	truncate -s 5G big
	printf 'past 2^31' | dd of=big bs=1 seek=2147483650 conv=notrunc status=none
	printf 'past 2^32' | dd of=big bs=1 seek=4294967300 conv=notrunc status=none
	# Past the most that one write call moves, in the 2 GiB range below.
	printf 'late' | dd of=big bs=1 seek=4294966000 conv=notrunc status=none
	while read -r offset length; do
		row "$offset $length"
		take peek big "$offset" "$length"
		exited 0
		shown big "$offset" "${length#9999*}" | holds "$out"
	done <<-'END'
	2147483650 9
	4294967300 9
	5368709100 99999999999999999999
	END
	# 2 GiB, all zeros but for two texts: where each text stands, and how many
	# bytes came before the lines. Read once, in large blocks, as comparing
	# with the file would read it all again.
	peek big 2147483647 2147483648 | perl -e '$left = shift;
		while ($left && ($got = read STDIN, $_, $left < 1 << 20 ? $left : 1 << 20)) {
			print $n + $-[0], " $&\n" while /[^\0]+/g;
			($n, $left) = ($n + $got, $left - $got);
		}
		print $n + 0, "\n"' 2147483648 >runs
	holds runs '3 past 2^31\n2147482353 late\n2147483648\n'
}

@test "a range of 3 GiB is written in full over several calls" {
	! readelf -h "$BIN/rangepeek" | grep -q ELF32 ||
		skip "a 32-bit address space may have no room for 3 GiB; a window of 1 EiB proves the refusal"
	truncate -s 3G sparse
	# strace, where it is installed, counts the calls. LeakSanitizer cannot
	# run under a tracer.
	tracer=()
	! command -v strace >/dev/null || tracer=(strace -qq -o trace -e trace=write -e signal=none)
	status=0
	ASAN_OPTIONS=detect_leaks=0 "${tracer[@]}" "$BIN/rangepeek" sparse 0 </dev/null >/dev/null 2>err || status=$?
	exited 0
	empty err
	[ "${#tracer[@]}" -gt 0 ] || skip "strace is not installed to count the calls"
	# One call moves at most 2 GiB less a page.
	most=$((0x7fffffff & -page))
	equal "3221225472 $most
$((3221225472 - most)) $((3221225472 - most))" "$(sed -n 's/^write(1, .*, \([0-9]*\)) = \([0-9]*\)$/\1 \2/p' trace | head -2)"
}
