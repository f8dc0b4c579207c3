#!/usr/bin/env bats

load framebuffer
load common

wash() {
	on_standin "" "$1" screenwash
}

@test "exactly the visible pixels' worth of bytes from the start becomes 0xF0" {
	while read -r bpp line fill; do
		row "$bpp $line $fill"
		screen_memory $((line * 48))
		take wash "xres=64 yres=48 bpp=$bpp line_length=$line"
		exited 0
		empty "$out"
		empty "$err"
		filled "$fill"
	done <<-'END'
	32 320 12288
	24 200 9216
	16 160 6144
	8 80 3072
	15 160 3072
	END
}

@test "a fill size wrapped to 32 bits fills its low 32 bits' worth when positive" {
	while read -r fill var; do
		row "$fill $var"
		screen_memory 69632
		take wash "$var"
		exited 0
		empty "$out"
		filled "$fill"
	done <<-'END'
	4 xres=1073741825 yres=1 bpp=32
	2 xres=1431655766 yres=1 bpp=24
	65536 xres=65536 yres=65537 bpp=8
	END
}

@test "a fill size of zero or of 2^31 bytes and more fails the mapping silently" {
	screen_memory 4096
	for var in "xres=64 yres=48 bpp=4" "xres=64 yres=48 bpp=1" "xres=0 yres=48 bpp=32" \
		"xres=65536 yres=32768 bpp=8" "xres=65536 yres=16384 bpp=16" "xres=4294967295 yres=1 bpp=8"; do
		row "$var"
		take wash "$var"
		exited 3
		empty "$out"
		empty "$err"
	done
	equal "" "$(stored)"
}

@test "a device that cannot be opened or described is told apart by its status" {
	screen_memory 4096
	mem=$BATS_TEST_TMPDIR/missing take wash "xres=64 yres=48 bpp=32"
	exited 1
	empty "$out"
	empty "$err"
	take wash fail
	exited 2
	holds "$out" 'Bad vscreeninfo ioctl\n'
	empty "$err"
	equal "" "$(stored)"
}

@test "with a standard descriptor closed nothing but the fill reaches screen memory" {
	while IFS='|' read -r var redirect expected_status message; do
		row "$var $redirect $expected_status $message"
		screen_memory 12288
		redirected "$redirect" wash "$var"
		exited "$expected_status"
		holds "$err" "$message"
		if [ "$var" = fail ]; then same "$mem.before" "$mem"; else filled 12288; fi
	done <<-'END'
	xres=64 yres=48 bpp=32|<&-|0|
	xres=64 yres=48 bpp=32|>&-|0|
	fail|>&-|2|write: Bad file descriptor\n
	fail|>/dev/full|2|write: No space left on device\n
	fail|2>&-|2|
	fail|>/dev/full 2>&-|2|
	END
}

@test "without a framebuffer the real program ends with status 1 and says nothing" {
	[ ! -e /dev/fb0 ] || skip "this machine has a /dev/fb0"
	take "$BIN/screenwash"
	exited 1
	empty "$out"
	empty "$err"
}
