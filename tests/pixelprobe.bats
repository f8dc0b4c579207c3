#!/usr/bin/env bats

load framebuffer
load common

probe() {
	on_standin "$1" "$2" pixelprobe
}

truecolour32='line_length=2560 visual=2'
vga32='xres=640 yres=480 bpp=32 red=8/16 green=8/8 blue=8/0'

@test "a 32-bit true-colour screen is described and its centre pixel lit white" {
	screen_memory $((2560 * 480))
	take probe "$truecolour32" "$vga32"
	exited 0
	empty "$err"
	holds "$out" 'Screen resolution: (640x480)
Line width in bytes 2560
bits per pixel : 32
Red: length 8 bits, offset 16
Green: length 8 bits, offset 8
Blue: length 8 bits, offset 0
framebuffer mmap address=ADDRESS
framebuffer size=1228800 bytes
pixel: ffffff
x: 320 y: 240 \n'
	# Element 240 x 640 + 320.
	equal "$(white 615680 4)" "$(stored)"
}

@test "each true-colour depth reports its pixel value and stores white at the centre" {
	while read -r bpp line red green blue pixel at; do
		row "$bpp $line $red $green $blue $pixel $at"
		screen_memory $((line * 480))
		var="xres=640 yres=480 bpp=$bpp red=$red green=$green blue=$blue"
		take probe "line_length=$line visual=2" "$var"
		exited 0
		empty "$err"
		reported $((line * 480)) "$pixel" 320 240 "line_length=$line" "$var" | holds "$out"
		equal "$(white "$at" $((bpp / 8)))" "$(stored)"
	done <<-'END'
	32 2560 8/16 8/8 8/0 ffffff 615680
	16 1280 5/11 6/5 5/0 ffff 307840
	8 640 3/5 3/2 2/0 ff 153920
	32 2600 8/0 8/8 8/16 ffffff 625280
	END
}

@test "an odd width rounds the centre down and the pan offsets move it" {
	while read -r x y at var; do
		row "$x $y $at $var"
		screen_memory $((2600 * 481))
		var="xres=641 yres=481 bpp=32 red=8/16 green=8/8 blue=8/0 $var"
		take probe "line_length=2600 visual=2" "$var"
		exited 0
		reported $((2600 * 481)) ffffff "$x" "$y" "line_length=2600" "$var" | holds "$out"
		equal "$(white "$at" 4)" "$(stored)"
	done <<-'END'
	320 240 625280 xoffset=0
	323 240 625292 xoffset=3
	320 480 1249280 yoffset=240
	649 240 626596 xoffset=329
	0 240 624000 xoffset=-320
	649 480 1250596 xoffset=329 yoffset=240
	END
	# The last row's element ends on the mapping's last byte.
}

@test "a 24-bit screen is reported in full but fails with nothing stored" {
	screen_memory $((1920 * 480))
	var="xres=640 yres=480 bpp=24 red=8/16 green=8/8 blue=8/0"
	take probe "line_length=1920 visual=2" "$var"
	exited 1
	empty "$err"
	{
		reported 921600 ffffff 320 240 line_length=1920 "$var"
		echo "Unknown depth."
	} | holds "$out"
	equal "" "$(stored)"
}

@test "a pseudo-colour screen is described, then refused before any pixel" {
	screen_memory $((640 * 480))
	var="xres=640 yres=480 bpp=8 red=8/0 green=8/0 blue=8/0"
	take probe "line_length=640 visual=3" "$var"
	exited 1
	empty "$err"
	{
		described line_length=640 "$var"
		printf 'framebuffer mmap address=ADDRESS\nframebuffer size=307200 bytes\nUnsupported Mode.\n'
	} | holds "$out"
	equal "" "$(stored)"
}

@test "a device that fails is reported on standard output, the first failure winning" {
	screen_memory 4096
	while IFS='|' read -r memory fix var message; do
		row "$memory $fix $var $message"
		mem=$memory take probe "$fix" "$var"
		exited 1
		empty "$err"
		holds "$out" '%s\n' "$message"
	done <<-END
	$BATS_TEST_TMPDIR/missing|$truecolour32|$vga32|Unable to open /dev/fb0.
	$mem|fail|$vga32|get fixed screen info failed: Invalid argument
	$mem|$truecolour32|fail|Unable to retrieve variable screen info: Invalid argument
	$mem|fail|fail|get fixed screen info failed: Invalid argument
	END
	equal "" "$(stored)"
}

@test "a map size of zero or of 2^31 bytes and more fails the mapping" {
	screen_memory 4096
	while read -r line yres; do
		row "$line $yres"
		var="xres=640 yres=$yres bpp=32 red=8/16 green=8/8 blue=8/0"
		take probe "line_length=$line visual=2" "$var"
		exited 1
		empty "$err"
		{
			described "line_length=$line" "$var"
			echo "mmap failed:"
		} | holds "$out"
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
	# The last row but one's element ends one byte past the mapping; the
	# last one's starts 2^32 + 1280 bytes in, which 32 bits would take for
	# 1280.
	while read -r x y device; do
		row "$x $y $device"
		device="$device visual=2 bpp=32 red=8/16 green=8/8 blue=8/0"
		take probe "$device" "$device"
		exited 1
		empty "$err"
		equal "x: $x y: $y 
Pixel outside mapped screen memory." "$(sed -n '10,$p' "$out")"
		equal '  \n' "$(tail -c 1 "$out" | od -An -c)"
	done <<-'END'
	320 480 line_length=2560 xres=640 yres=480 yoffset=240
	640 240 line_length=2560 xres=640 yres=480 xoffset=320
	-1 240 line_length=2560 xres=640 yres=480 xoffset=-321
	-2147483648 240 line_length=2560 xres=640 yres=480 xoffset=2147483328
	320 -56 line_length=2560 xres=640 yres=480 yoffset=4294967000
	639 240 line_length=2559 xres=640 yres=480 xoffset=319
	320 32768 line_length=65536 xres=640 yres=65537
	360 481 line_length=2559 xres=641 yres=481 xoffset=40 yoffset=241
	320 1048576 line_length=4096 xres=640 yres=480 yoffset=1048336
	END
	equal "" "$(stored)"
}

@test "the pixel value is composed for channels of any length and offset" {
	screen_memory $((2560 * 480))
	while read -r red green blue pixel; do
		row "$red $green $blue $pixel"
		run --separate-stderr probe "$truecolour32" \
			"xres=640 yres=480 bpp=32 red=$red green=$green blue=$blue"
		exited 0
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
	1/64 0/0 0/0 0
	END
}

@test "with a standard descriptor closed only the pixel reaches screen memory, and lost output fails" {
	while IFS='|' read -r visual redirect expected_status message; do
		row "$visual $redirect $expected_status $message"
		screen_memory $((2560 * 480))
		redirected "$redirect" probe "line_length=2560 visual=$visual" "$vga32"
		exited "$expected_status"
		holds "$err" "$message"
		equal "$([ "$visual" -ne 2 ] || white 615680 4)" "$(stored)"
	done <<-'END'
	2|<&-|0|
	2|>&-|1|write: Bad file descriptor\n
	2|>/dev/full|1|write: No space left on device\n
	2|2>&-|0|
	3|>&-|1|write: Bad file descriptor\n
	3|>/dev/full 2>&-|1|
	END
}

@test "without a framebuffer the real device cannot be opened" {
	[ ! -e /dev/fb0 ] || skip "this machine has a /dev/fb0"
	take "$BIN/pixelprobe"
	exited 1
	empty "$err"
	holds "$out" 'Unable to open /dev/fb0.\n'
}
