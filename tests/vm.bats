#!/usr/bin/env bats

# The framebuffer programs on the kernel's own framebuffer drivers, each case
# in a throwaway virtual machine (tools/fbvm) of the programs' architecture,
# whose screen starts black; with RELEASE set (bullseye), on that older
# Debian release's kernel.

bats_require_minimum_version 1.5.0

load common

setup_file() {
	common_setup_file
	# A machine that cannot run at all makes CTest count the file as
	# skipped, not passed; the reason is in its output.
	if ! reason=$("$BATS_TEST_DIRNAME/../tools/fbvm" --arch "$(machine)" ${RELEASE:+--release "$RELEASE"} --check 2>&1); then
		printf '# vm: skipped: %s\n' "${reason#fbvm: }" >&3
	fi
}

# machine: the machine that runs the programs, as fbvm names it: armel
# programs run on the armhf machine, whose ARMv7 kernel runs ARMv5 programs.
machine() {
	case $(debian_architecture) in
	amd64) echo x86_64 ;;
	armel) echo armhf ;;
	*) debian_architecture ;;
	esac
}

setup() {
	fbvm=$BATS_TEST_DIRNAME/../tools/fbvm
	arch=$(machine)
	reason=$("$fbvm" --arch "$arch" ${RELEASE:+--release "$RELEASE"} --check 2>&1) || skip "${reason#fbvm: }"
	vm=$BATS_TEST_TMPDIR/vm
}

only_vesa() {
	[ "$arch" = x86_64 ] || [ "$arch" = i386 ] || skip "VESA screens are x86 screens"
}

only_vfb() {
	[ "$arch" = x86_64 ] || skip "vfb is the x86-64 machine's"
}

# in_vm SCREEN-OPTIONS... COMMAND: run COMMAND there; the results are in $vm,
# and what COMMAND printed up to its line "status N" in $vm/report.
in_vm() {
	"$fbvm" --arch "$arch" ${RELEASE:+--release "$RELEASE"} --bin "$BIN" --out "$vm" "$@"
	[ ! -s "$vm/stderr" ]
	sed -n '1,/^status /p' "$vm/stdout" >"$vm/report"
}

# pixels: the picture of the screen, one RRGGBB a pixel and a line.
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

# reported XRES YRES LINE BPP PIXEL: pixelprobe's report of a true-colour
# screen at rest, with red, green and blue of 8 bits at 16, 8 and 0 for 32
# bpp and of 5, 6 and 5 bits at 11, 5 and 0 for 16 bpp, and status 0.
reported() {
	printf 'Screen resolution: (%dx%d)\nLine width in bytes %d\nbits per pixel : %d\n' "$1" "$2" "$3" "$4"
	if [ "$4" = 16 ]; then
		printf 'Red: length 5 bits, offset 11\nGreen: length 6 bits, offset 5\nBlue: length 5 bits, offset 0\n'
	else
		printf 'Red: length 8 bits, offset 16\nGreen: length 8 bits, offset 8\nBlue: length 8 bits, offset 0\n'
	fi
	printf 'framebuffer mmap address=ADDRESS\nframebuffer size=%d bytes\npixel: %s\nx: %d y: %d \nstatus 0\n' \
		$(($3 * $2)) "$5" $(($1 / 2)) $(($2 / 2))
}

@test "on every screen the centre pixel alone turns white at once, while another process holds the device" {
	# A DRM driver's framebuffer emulation reaches the display by deferred
	# I/O; a second holder of the device, as a display server would be,
	# keeps the last close from sending the update, and the screen is taken
	# as soon as pixelprobe has ended.
	while read -r machine screen xres yres line bpp pixel; do
		[ "$machine" = "$arch" ] || continue
		# Debian 11 has no 16 KiB arm64 kernel.
		[ -z "${RELEASE-}" ] || [[ "$screen" != *--pages* ]] || continue
		row "$screen $xres $yres $line $bpp $pixel"
		in_vm ${screen//[,=]/ } 'sleep 1000 </dev/fb0 & fbset -i >/tmp/fbset; pixelprobe; echo "status $?"; cat /tmp/fbset'
		reported "$xres" "$yres" "$line" "$bpp" "$pixel" | holds "$vm/report"
		equal "$(sed '1,/^status /d' "$vm/stdout" | fbset_layout)" "$(head -6 "$vm/stdout")"
		# The centre is pixel y * xres + x, counted from 1 here.
		equal "$((yres / 2 * xres + xres / 2 + 1)):ffffff" "$(lit)"
		ran=1
	done <<-'END'
	x86_64 --vesa=0x344 1024 768 4096 32 ffffff
	x86_64 --vesa=0x311 640 480 1280 16 ffff
	x86_64 --drm=bochs 1280 800 5120 32 ffffff
	x86_64 --drm=virtio 1280 800 5120 32 ffffff
	i386 --vesa=0x344 1024 768 4096 32 ffffff
	i386 --vesa=0x311 640 480 1280 16 ffff
	i386 --drm=bochs 1280 800 5120 32 ffffff
	i386 --drm=virtio 1280 800 5120 32 ffffff
	arm64 --drm=virtio 1280 800 5120 32 ffffff
	arm64 --ramfb 800 600 3200 32 ffffff
	arm64 --pages=16k,--drm=virtio 1280 800 5120 32 ffffff
	armhf --drm=virtio 1280 800 5120 32 ffffff
	armhf --drm=bochs 1280 800 5120 32 ffffff
	armhf --ramfb 800 600 3200 32 ffffff
	riscv64 --drm=virtio 1280 800 5120 32 ffffff
	riscv64 --drm=bochs 1280 800 5120 32 ffffff
	ppc64el --drm=virtio 1280 800 5120 32 ffffff
	ppc64el --drm=bochs 1280 800 5120 32 ffffff
	mipsel --drm=virtio 1280 800 5120 32 ffffff
	mipsel --drm=bochs 1280 800 5120 32 ffffff
	mips64el --drm=virtio 1280 800 5120 32 ffffff
	mips64el --drm=bochs 1280 800 5120 32 ffffff
	END
	[ -n "${ran-}" ]
}

@test "on the VESA screen at 24 bpp the report is whole, nothing is stored, and it fails" {
	only_vesa
	in_vm --vesa 0x318 'pixelprobe; echo "status $?"'
	equal "bits per pixel : 24
pixel: ffffff
x: 512 y: 384 
Unknown depth.
status 1" "$(sed -n '3p; 9,$p' "$vm/stdout")"
	equal "" "$(lit)"
}

@test "the VESA pseudo-colour screen is described and refused" {
	only_vesa
	in_vm --vesa 0x301 'pixelprobe; echo "status $?"'
	equal "Screen resolution: (640x480)
Line width in bytes 640
bits per pixel : 8
framebuffer size=307200 bytes
Unsupported Mode.
status 1" "$(sed -n '1,3p; 8,$p' "$vm/stdout")"
	equal "" "$(lit)"
}

@test "on a virtual screen of odd width the centre rounds down and is stored there" {
	only_vfb
	in_vm --vfb '-xres 641 -yres 481 -vxres 641 -vyres 962 -depth 32' \
		'pixelprobe; echo "status $?"; fbset -i >/tmp/fbset; cat /tmp/fbset
		 dd if=/dev/fb0 bs=2564 skip=240 count=1 2>/dev/null | od -An -tx1 -v -j 1276 -N 12'
	equal "pixel: ffffff
x: 320 y: 240 
status 0" "$(sed -n '9,11p' "$vm/stdout")"
	equal "$(sed '1,/^status /d' "$vm/stdout" | fbset_layout)" "$(head -6 "$vm/stdout")"
	# Pixels 319, 320 and 321 of line 240.
	equal " 00 00 00 00 ff ff ff 00 00 00 00 00" "$(tail -n 1 "$vm/stdout")"
	# The picture of the visible area, made from its memory.
	equal "641 481" "$(sed -n 2p "$vm/screen.ppm")"
	equal "$((240 * 641 + 320 + 1)):ffffff" "$(lit)"
}

@test "on a virtual screen panned down by half its height nothing is stored" {
	only_vfb
	in_vm --vfb '-xres 641 -yres 481 -vxres 641 -vyres 962 -depth 32' --pan 0,481 \
		'pixelprobe; echo "status $?"; tr -d "\0" </dev/fb0 | wc -c'
	equal "x: 320 y: 721 
Pixel outside mapped screen memory.
status 1
0" "$(sed -n '10,$p' "$vm/stdout")"
	equal "" "$(lit)"
}

@test "screenwash fills exactly xres x yres x bytes per pixel of the screen, shown at once" {
	while read -r machine screen fill; do
		[ "$machine" = "$arch" ] || continue
		row "$screen $fill"
		# Where the fill covers less than screen memory, memory shows where
		# it ends; elsewhere the screen, taken as soon as screenwash has
		# ended, shows it all.
		memory=
		[ "$fill" = all ] || memory='
			head -c '"$fill"' /dev/fb0 | tr -d "\360" | wc -c
			tail -c +'"$((fill + 1))"' /dev/fb0 | tr -d "\0" | wc -c'
		in_vm ${screen//[,=]/ } 'sleep 1000 </dev/fb0 & screenwash; echo "status $?"'"$memory"
		holds "$vm/stdout" 'status 0\n%b' "${memory:+0\n0\n}"
		# Every byte of every pixel is 0xF0: grey everywhere.
		equal 0 "$(pixels | grep -vc '^f0f0f0$')"
		ran=1
	done <<-'END'
	x86_64 --vesa=0x344 3145728
	x86_64 --vesa=0x318 2359296
	x86_64 --drm=bochs all
	x86_64 --drm=virtio all
	i386 --vesa=0x344 3145728
	i386 --drm=bochs all
	i386 --drm=virtio all
	arm64 --drm=virtio all
	arm64 --ramfb all
	armhf --drm=virtio all
	armhf --drm=bochs all
	armhf --ramfb all
	riscv64 --drm=virtio all
	riscv64 --drm=bochs all
	ppc64el --drm=virtio all
	ppc64el --drm=bochs all
	mipsel --drm=virtio all
	mipsel --drm=bochs all
	mips64el --drm=virtio all
	mips64el --drm=bochs all
	END
	[ -n "${ran-}" ]
}

@test "rangepeek's window starts at the kernel's page, past 4 GiB on a 32-bit machine too" {
	while read -r machine screen page; do
		[ "$machine" = "$arch" ] || continue
		[ -z "${RELEASE-}" ] || [[ "$screen" != *--pages* ]] || continue
		row "$screen $page"
		in_vm ${screen//[,=]/ } 'cd /tmp && truncate -s 5G sparse &&
			printf "past 2^32" | dd of=sparse bs=1 seek=4294967300 conv=notrunc 2>/dev/null
			rangepeek sparse 4294967300 9 </dev/null; echo " status $?"'
		holds "$vm/stdout" 'past 2^32PAGE_SIZE:%s\npa_offset:100000000\npa_offset:100000000 file size:140000000
addr:ADDRESS 0\n status 0\n' "$page"
		ran=1
	done <<-'END'
	x86_64 --drm=virtio 1000
	arm64 --drm=virtio 1000
	arm64 --pages=16k,--drm=virtio 4000
	armhf --drm=virtio 1000
	riscv64 --drm=virtio 1000
	ppc64el --drm=virtio 10000
	i386 --drm=virtio 1000
	mipsel --drm=virtio 1000
	mips64el --drm=virtio 1000
	END
	[ -n "${ran-}" ]
}
