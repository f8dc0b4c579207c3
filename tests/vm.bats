#!/usr/bin/env bats

# The framebuffer programs on the kernel's own framebuffer drivers, each case
# in a throwaway virtual machine (tools/fbvm) whose screen starts black.

bats_require_minimum_version 1.5.0

load common

setup() {
	fbvm=$BATS_TEST_DIRNAME/../tools/fbvm
	reason=$("$fbvm" --check 2>&1) || skip "${reason#fbvm: }"
	vm=$BATS_TEST_TMPDIR/vm
}

# in_vm SCREEN-OPTIONS... COMMAND: run COMMAND there; the results are in $vm.
in_vm() {
	"$fbvm" --bin "$BIN" --out "$vm" "$@"
	stdout=$(cat "$vm/stdout")
	[ "$(cat "$vm/stderr")" = "" ]
}

# pixels: the screenshot's pixels in order, one RRGGBB a line.
pixels() {
	local size
	size=$(sed -n '2{p;q}' "$vm/screen.ppm")
	tail -c +$((3 + ${#size} + 1 + 4 + 1)) "$vm/screen.ppm" | od -An -v -tx1 -w3 | tr -d ' '
}

# lit: the pixels that are not black, as INDEX:RRGGBB counted from 1.
lit() {
	pixels | grep -vn '^000000$' | paste -sd' '
}

# fbset_layout: lines 1 to 6 of pixelprobe's report, made from fbset -i.
fbset_layout() {
	sed -n '/^Frame buffer/,$!p; /LineLength/p' | awk '
		/geometry/ { x = $2; y = $3; depth = $6 }
		/rgba/ { split($2, c, "[/,]") }
		/LineLength/ { line = $3 }
		END {
			printf "Screen resolution: (%dx%d)\nLine width in bytes %d\n", x, y, line
			printf "bits per pixel : %d\nRed: length %d bits, offset %d\n", depth, c[1], c[2]
			printf "Green: length %d bits, offset %d\nBlue: length %d bits, offset %d\n", c[3], c[4], c[5], c[6]
		}'
}

@test "on the VESA screen at 32 and 16 bpp the centre pixel alone turns white" {
	while read -r mode size line bpp pixel; do
		in_vm --vesa "$mode" 'pixelprobe; echo "status $?"; fbset -i >/tmp/fbset; cat /tmp/fbset'
		[[ "$stdout" =~ ^"Screen resolution: (${size/x*/}x${size/*x/})
Line width in bytes $line
bits per pixel : $bpp
"(.*)"
framebuffer mmap address=0x"[0-9a-f]+"
framebuffer size=$((line * ${size/*x/})) bytes
pixel: $pixel
x: $((${size/x*/} / 2)) y: $((${size/*x/} / 2)) 
status 0
"(.*)$ ]]
		[ "$(head -6 "$vm/stdout")" = "$(sed '1,/^status /d' "$vm/stdout" | fbset_layout)" ]
		# The centre is pixel y * xres + x, counted from 1 here.
		[ "$(lit)" = "$((${size/*x/} / 2 * ${size/x*/} + ${size/x*/} / 2 + 1)):ffffff" ]
	done <<-'END'
	0x344 1024x768 4096 32 ffffff
	0x311 640x480 1280 16 ffff
	END
}

@test "on the VESA screen at 24 bpp the report is whole, nothing is stored, and it fails" {
	in_vm --vesa 0x318 'pixelprobe; echo "status $?"'
	[ "$(sed -n '3p; 9,$p' "$vm/stdout")" = "bits per pixel : 24
pixel: ffffff
x: 512 y: 384 
Unknown depth.
status 1" ]
	[ "$(lit)" = "" ]
}

@test "the VESA pseudo-colour screen is described and refused" {
	in_vm --vesa 0x301 'pixelprobe; echo "status $?"'
	[ "$(sed -n '1,3p; 8,$p' "$vm/stdout")" = "Screen resolution: (640x480)
Line width in bytes 640
bits per pixel : 8
framebuffer size=307200 bytes
Unsupported Mode.
status 1" ]
	[ "$(lit)" = "" ]
}

@test "on a virtual screen of odd width the centre rounds down and is stored there" {
	in_vm --vfb '-xres 641 -yres 481 -vxres 641 -vyres 962 -depth 32' \
		'pixelprobe; echo "status $?"; fbset -i >/tmp/fbset; cat /tmp/fbset
		 dd if=/dev/fb0 bs=2564 skip=240 count=1 2>/dev/null | od -An -tx1 -v -j 1276 -N 12'
	[ "$(sed -n '9,11p' "$vm/stdout")" = "pixel: ffffff
x: 320 y: 240 
status 0" ]
	[ "$(head -6 "$vm/stdout")" = "$(sed '1,/^status /d' "$vm/stdout" | fbset_layout)" ]
	# Pixels 319, 320 and 321 of line 240.
	[ "$(tail -n 1 "$vm/stdout")" = " 00 00 00 00 ff ff ff 00 00 00 00 00" ]
}

@test "on a virtual screen panned down by half its height nothing is stored" {
	in_vm --vfb '-xres 641 -yres 481 -vxres 641 -vyres 962 -depth 32' --pan 0,481 \
		'pixelprobe; echo "status $?"; tr -d "\0" </dev/fb0 | wc -c'
	[ "$(sed -n '10,$p' "$vm/stdout")" = "x: 320 y: 721 
Pixel outside mapped screen memory.
status 1
0" ]
}

@test "screenwash fills exactly xres x yres x bytes per pixel of the VESA screen" {
	while read -r mode fill; do
		in_vm --vesa "$mode" 'screenwash; echo "status $?"
			head -c '"$fill"' /dev/fb0 | tr -d "\360" | wc -c
			tail -c +'"$((fill + 1))"' /dev/fb0 | tr -d "\0" | wc -c'
		[ "$stdout" = "status 0
0
0" ]
		# Every byte of every pixel is 0xF0: grey everywhere.
		[ "$(pixels | grep -vc '^f0f0f0$')" = 0 ]
	done <<-'END'
	0x344 3145728
	0x318 2359296
	END
}
