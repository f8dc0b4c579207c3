#!/usr/bin/env bats

load framebuffer
load processes

probe() {
	on_standin "$1" "$2" pixelprobe
}

truecolour32='line_length=2560 visual=2'
vga32='xres=640 yres=480 bpp=32 red=8/16 green=8/8 blue=8/0'

@test "a 32-bit true-colour screen is described and its centre pixel lit white" {
	screen_memory $((2560 * 480))
	run --separate-stderr probe "$truecolour32" "$vga32"
	[ "$status" -eq 0 ]
	[ "$stderr" = "" ]
	[[ "$output" =~ ^"Screen resolution: (640x480)
Line width in bytes 2560
bits per pixel : 32
Red: length 8 bits, offset 16
Green: length 8 bits, offset 8
Blue: length 8 bits, offset 0
framebuffer mmap address=0x"[0-9a-f]+"
framebuffer size=1228800 bytes
pixel: ffffff
x: 320 y: 240 "$ ]]
	# Element 240 x 640 + 320, little-endian 0x00FFFFFF.
	[ "$(stored)" = "615680=ff,615681=ff,615682=ff,615683=00" ]
}

@test "each true-colour depth reports its pixel value and stores white at the centre" {
	while read -r bpp line red green blue pixel bytes; do
		screen_memory $((line * 480))
		run --separate-stderr probe "line_length=$line visual=2" \
			"xres=640 yres=480 bpp=$bpp red=$red green=$green blue=$blue"
		[ "$status" -eq 0 ]
		[ "$stderr" = "" ]
		[ "${lines[8]}" = "pixel: $pixel" ]
		[ "${lines[9]}" = "x: 320 y: 240 " ]
		[ "${#lines[@]}" -eq 10 ]
		[ "$(stored)" = "$bytes" ]
	done <<-'END'
	32 2560 8/16 8/8 8/0 ffffff 615680=ff,615681=ff,615682=ff,615683=00
	16 1280 5/11 6/5 5/0 ffff 307840=ff,307841=ff
	8 640 3/5 3/2 2/0 ff 153920=ff
	32 2600 8/0 8/8 8/16 ffffff 625280=ff,625281=ff,625282=ff,625283=00
	END
}

@test "an odd width rounds the centre down and the pan offsets move it" {
	while read -r var x y bytes; do
		screen_memory $((2600 * 481))
		run --separate-stderr probe "line_length=2600 visual=2" \
			"xres=641 yres=481 bpp=32 red=8/16 green=8/8 blue=8/0 $var"
		[ "$status" -eq 0 ]
		[ "${lines[9]}" = "x: $x y: $y " ]
		[ "$(stored)" = "$bytes" ]
	done <<-'END'
	xoffset=0 320 240 625280=ff,625281=ff,625282=ff,625283=00
	xoffset=3 323 240 625292=ff,625293=ff,625294=ff,625295=00
	yoffset=240 320 480 1249280=ff,1249281=ff,1249282=ff,1249283=00
	xoffset=329 649 240 626596=ff,626597=ff,626598=ff,626599=00
	END
}

@test "a 24-bit screen is reported in full but fails with nothing stored" {
	screen_memory $((1920 * 480))
	run --separate-stderr probe "line_length=1920 visual=2" \
		"xres=640 yres=480 bpp=24 red=8/16 green=8/8 blue=8/0"
	[ "$status" -eq 1 ]
	[ "$stderr" = "" ]
	[ "${#lines[@]}" -eq 11 ]
	[ "${lines[9]}" = "x: 320 y: 240 " ]
	[ "${lines[10]}" = "Unknown depth." ]
	[ "$(stored)" = "" ]
}

@test "a pseudo-colour screen is described, then refused before any pixel" {
	screen_memory $((640 * 480))
	run --separate-stderr probe "line_length=640 visual=3" \
		"xres=640 yres=480 bpp=8 red=8/0 green=8/0 blue=8/0"
	[ "$status" -eq 1 ]
	[ "$stderr" = "" ]
	[ "${#lines[@]}" -eq 9 ]
	[ "${lines[7]}" = "framebuffer size=307200 bytes" ]
	[ "${lines[8]}" = "Unsupported Mode." ]
	[ "$(stored)" = "" ]
}

@test "a device that fails is reported on standard output, the first failure winning" {
	screen_memory 4096
	while IFS='|' read -r memory fix var message; do
		mem=$memory run --separate-stderr probe "$fix" "$var"
		[ "$status" -eq 1 ]
		[ "$stderr" = "" ]
		[ "$output" = "$message" ]
	done <<-END
	$BATS_TEST_TMPDIR/missing|$truecolour32|$vga32|Unable to open /dev/fb0.
	$mem|fail|$vga32|get fixed screen info failed: Invalid argument
	$mem|$truecolour32|fail|Unable to retrieve variable screen info: Invalid argument
	$mem|fail|fail|get fixed screen info failed: Invalid argument
	END
	[ "$(stored)" = "" ]
}

@test "a map size of zero or of 2^31 bytes and more fails the mapping" {
	screen_memory 4096
	while read -r line yres; do
		run --separate-stderr probe "line_length=$line visual=2" \
			"xres=640 yres=$yres bpp=32 red=8/16 green=8/8 blue=8/0"
		[ "$status" -eq 1 ]
		[ "$stderr" = "" ]
		[ "${#lines[@]}" -eq 7 ]
		[ "${lines[1]}" = "Line width in bytes $((line > 0x7fffffff ? line - 0x100000000 : line))" ]
		[ "${lines[6]}" = "mmap failed:" ]
	done <<-'END'
	0 480
	2560 0
	65536 32768
	4294967295 1
	4096 1048575
	END
}

@test "a centre outside the mapped memory or off its scan line stores nothing" {
	screen_memory $((2560 * 480))
	while read -r x y device; do
		device="$device visual=2 bpp=32 red=8/16 green=8/8 blue=8/0"
		run --separate-stderr probe "$device" "$device"
		[ "$status" -eq 1 ]
		[ "$stderr" = "" ]
		[ "${lines[9]}" = "x: $x y: $y " ]
		[ "${lines[10]}" = "Pixel outside mapped screen memory." ]
		[ "${#lines[@]}" -eq 11 ]
	done <<-'END'
	320 480 line_length=2560 xres=640 yres=480 yoffset=240
	640 240 line_length=2560 xres=640 yres=480 xoffset=320
	-2147483648 240 line_length=2560 xres=640 yres=480 xoffset=2147483328
	320 -56 line_length=2560 xres=640 yres=480 yoffset=4294967000
	639 240 line_length=2559 xres=640 yres=480 xoffset=319
	320 32768 line_length=65536 xres=640 yres=65537
	END
	[ "$(stored)" = "" ]
}

@test "the pixel value is composed for channels of any length and offset" {
	screen_memory $((2560 * 480))
	while read -r red green blue pixel; do
		run --separate-stderr probe "$truecolour32" \
			"xres=640 yres=480 bpp=32 red=$red green=$green blue=$blue"
		[ "$status" -eq 0 ]
		[ "${lines[8]}" = "pixel: $pixel" ]
	done <<-'END'
	0/16 0/8 0/0 0
	8/24 0/0 0/0 ff000000
	10/20 10/10 10/0 3fffffff
	16/16 16/0 0/0 ffffffff
	32/0 0/0 0/0 ffffffff
	4294967295/4 0/0 0/0 fffffff0
	8/28 0/0 0/0 f0000000
	8/32 8/4294967295 1/0 1
	END
}

@test "with a standard descriptor closed only the pixel reaches screen memory, and lost output fails" {
	while IFS='|' read -r redirect expected_status message; do
		screen_memory $((2560 * 480))
		status=0
		eval 'probe "$truecolour32" "$vga32" >"$BATS_TEST_TMPDIR/out" 2>"$BATS_TEST_TMPDIR/err" '"$redirect" || status=$?
		[ "$status" -eq "$expected_status" ]
		printf "$message" | cmp - "$BATS_TEST_TMPDIR/err"
		[ "$(stored)" = "615680=ff,615681=ff,615682=ff,615683=00" ]
	done <<-'END'
	<&-|0|
	>&-|1|write: Bad file descriptor\n
	>/dev/full|1|write: No space left on device\n
	2>&-|0|
	END
}

@test "without a framebuffer the real device cannot be opened" {
	[ ! -e /dev/fb0 ] || skip "this machine has a /dev/fb0"
	run --separate-stderr "$BIN/pixelprobe"
	[ "$status" -eq 1 ]
	[ "$stderr" = "" ]
	[ "$output" = "Unable to open /dev/fb0." ]
}
