#!/usr/bin/env bats

# The framebuffer programs on the kernel's own framebuffer drivers, in the
# virtual machines (tools/fbvm) that run the programs' architecture, on
# each screen of theirs (tools/vms, tools/screens), black at the start.
# fbvm shows a machine's screens in as few boots as it can; the rows run one
# after the other, a picture taken after each. With RELEASE set, the
# machines that boot that Debian release's kernel other than by default boot
# it. With VM_SCREENS=one, as for another build of a machine that its own
# preset proves, one boot on the virtio screen runs each program; with
# VM_SCREENS=bare, as for static programs, the same with nothing but busybox
# beside them, fbset and its C library left out.

bats_require_minimum_version 1.5.0

load framebuffer
load common

setup_file() {
	common_setup_file
	local fbvm=$BATS_TEST_DIRNAME/../tools/fbvm table=$BATS_TEST_DIRNAME/../tools/table machine screens screen
	local xres yres line bpp rows reason row screen_rows places place bare=
	[ "${VM_SCREENS-}" != bare ] || bare=1
	for machine in $("$table" vms "runs=$(debian_architecture)" name 2>/dev/null); do
		if [ -n "${RELEASE-}" ]; then
			[[ ",$("$table" vms "$machine" releases)," = *",$RELEASE,"* ]] || continue
			[ "$("$fbvm" --arch "$machine" --check 2>/dev/null)" != "$RELEASE" ] || continue
		fi
		# A machine that cannot run at all makes CTest count the file as
		# skipped, not passed; the reason is in its output.
		if ! reason=$("$fbvm" --arch "$machine" ${RELEASE:+--release "$RELEASE"} --check 2>&1 >/dev/null); then
			printf '# vm: skipped: %s\n' "${reason#fbvm: }" >&3
			continue
		fi
		screens=$("$table" vms "$machine" screens)
		[ "${VM_SCREENS:-all}" = all ] || screens=drm-virtio
		# The screens and their rows, and where each row's results go.
		rows=() places=()
		for screen in ${screens//,/ }; do
			read -r xres yres line bpp < <("$table" screens "$screen" xres yres line bpp)
			# pixelprobe, while another process holds the device; on 24
			# and 32 bpp screenwash, and how far it filled memory; on the
			# virtio screen rangepeek past 4 GiB of a sparse file, and the
			# kernel's page as the kernel tells it.
			screen_rows=('sleep 1000 </dev/fb0 & fbset -i >/tmp/fbset; pixelprobe; echo "status $?"; cat /tmp/fbset')
			[ "${VM_SCREENS-}" != bare ] || screen_rows=('sleep 1000 </dev/fb0 & pixelprobe; echo "status $?"')
			[ "$bpp" -lt 24 ] || screen_rows+=('sleep 1000 </dev/fb0 & screenwash; echo "status $?"
				head -c '$((xres * yres * bpp / 8))' /dev/fb0 | tr -d "\360" | wc -c
				tail -c +'$((xres * yres * bpp / 8 + 1))' /dev/fb0 | tr -d "\0" | wc -c')
			[ "$screen" != drm-virtio ] || screen_rows+=('cd /tmp && truncate -s 5G sparse &&
				printf "past 2^32" | dd of=sparse bs=1 seek=4294967300 conv=notrunc 2>/dev/null
				rangepeek sparse 4294967300 9 </dev/null; echo " status $?"
				sed -n "s/^KernelPageSize: *\([0-9]*\) kB$/\1/p" /proc/self/smaps | head -n 1')
			# vfb panned down by half its height, then back at the top.
			[ "$screen" != vfb ] || screen_rows=(
				'echo 0,481 >"$FB/pan"; pixelprobe; echo "status $?"; tr -d "\0" </dev/fb0 | wc -c'
				'echo 0,0 >"$FB/pan"; pixelprobe; echo "status $?"; fbset -i >/tmp/fbset; cat /tmp/fbset
				 dd if=/dev/fb0 bs=2564 skip=240 count=1 2>/dev/null | od -An -tx1 -v -j 1276 -N 12')
			rows+=(--screen "$screen" "${screen_rows[@]}")
			for row in "${!screen_rows[@]}"; do
				places+=("$screen/$((row + 1))")
			done
		done
		"$fbvm" --arch "$machine" ${RELEASE:+--release "$RELEASE"} --bin "$BIN" ${bare:+--bare} \
			--out "$BATS_FILE_TMPDIR/runs/$machine" \
			"${rows[@]}" || return 1
		for row in "${!places[@]}"; do
			place=${places[row]}
			mkdir -p "$BATS_FILE_TMPDIR/boots/$machine/${place%/*}"
			ln -s "$BATS_FILE_TMPDIR/runs/$machine/$((row + 1))" "$BATS_FILE_TMPDIR/boots/$machine/$place"
		done
	done
}

# booted [SCREEN]: boots holds, for each screen that this file's machines
# showed, or for SCREEN alone, the directory of its rows' results, named
# after it; none skips the test.
booted() {
	local boot
	boots=()
	for boot in "$BATS_FILE_TMPDIR"/boots/*/${1:-*}; do
		[ ! -d "$boot" ] || boots+=("$boot")
	done
	[ "${#boots[@]}" -gt 0 ] || skip "no boot of ${1:-any screen} here"
}

# ran DIR N: row N, from 0, of the boot in DIR has its results in $vm; it
# wrote nothing to standard error, and what it printed up to its line
# "status N" is in $vm/report.
ran() {
	vm=$1/$(($2 + 1))
	row "${1#"$BATS_FILE_TMPDIR"/boots/}, row $2"
	empty "$vm/stderr"
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
	# shellcheck disable=SC2046 # the fields, a word each
	described $(sed -n '/^Frame buffer/,$!p; /LineLength/p' | awk '
		/geometry/ { printf "xres=%s yres=%s bpp=%s ", $2, $3, $6 }
		/rgba/ { split($2, c, "[/,]"); printf "red=%s/%s green=%s/%s blue=%s/%s ", c[1], c[2], c[3], c[4], c[5], c[6] }
		/LineLength/ { printf "line_length=%s ", $3 }')
}

# geometry SCREEN: its xres, yres, line and bpp.
geometry() {
	"$BATS_TEST_DIRNAME/../tools/table" screens "$1" xres yres line bpp
}

# at_rest XRES YRES LINE BPP: pixelprobe's report of a true-colour screen at
# rest, with red, green and blue of 8 bits at 16, 8 and 0 for 32 bpp and of
# 5, 6 and 5 bits at 11, 5 and 0 for 16 bpp, and status 0.
at_rest() {
	if [ "$4" = 16 ]; then
		set -- "$@" ffff red=5/11 green=6/5 blue=5/0
	else
		set -- "$@" ffffff red=8/16 green=8/8 blue=8/0
	fi
	reported $(($3 * $2)) "$5" $(($1 / 2)) $(($2 / 2)) xres="$1" yres="$2" line_length="$3" bpp="$4" "${@:6}"
	echo "status 0"
}

@test "on every screen the centre pixel alone turns white at once, while another process holds the device" {
	# A DRM driver's framebuffer emulation reaches the display by deferred
	# I/O; a second holder of the device, as a display server would be,
	# keeps the last close from sending the update, and the screen is taken
	# as soon as pixelprobe has ended.
	booted
	for boot in "${boots[@]}"; do
		read -r xres yres line bpp < <(geometry "${boot##*/}")
		[ "$bpp" = 16 ] || [ "$bpp" = 32 ] && [ "${boot##*/}" != vfb ] || continue
		ran "$boot" 0
		at_rest "$xres" "$yres" "$line" "$bpp" | holds "$vm/report"
		[ "${VM_SCREENS-}" = bare ] || equal "$(sed '1,/^status /d' "$vm/stdout" | fbset_layout)" "$(head -6 "$vm/stdout")"
		# The centre is pixel y * xres + x, counted from 1 here.
		equal "$((yres / 2 * xres + xres / 2 + 1)):ffffff" "$(lit)"
	done
}

@test "on the VESA screen at 24 bpp the report is whole, nothing is stored, and it fails" {
	booted vesa-0x318
	for boot in "${boots[@]}"; do
		ran "$boot" 0
		equal "bits per pixel : 24
pixel: ffffff
x: 512 y: 384 
Unknown depth.
status 1" "$(sed -n '3p; 9,$p' "$vm/report")"
		equal "" "$(lit)"
	done
}

@test "the VESA pseudo-colour screen is described and refused" {
	booted vesa-0x301
	for boot in "${boots[@]}"; do
		ran "$boot" 0
		equal "Screen resolution: (640x480)
Line width in bytes 640
bits per pixel : 8
framebuffer size=307200 bytes
Unsupported Mode.
status 1" "$(sed -n '1,3p; 8,$p' "$vm/report")"
		equal "" "$(lit)"
	done
}

@test "on a virtual screen panned down by half its height nothing is stored" {
	booted vfb
	for boot in "${boots[@]}"; do
		ran "$boot" 0
		equal "x: 320 y: 721 
Pixel outside mapped screen memory.
status 1
0" "$(sed -n '10,$p' "$vm/stdout")"
		equal "" "$(lit)"
	done
}

@test "on a virtual screen of odd width the centre rounds down and is stored there" {
	booted vfb
	for boot in "${boots[@]}"; do
		ran "$boot" 1
		equal "pixel: ffffff
x: 320 y: 240 
status 0" "$(sed -n '9,11p' "$vm/stdout")"
		equal "$(sed '1,/^status /d' "$vm/stdout" | fbset_layout)" "$(head -6 "$vm/stdout")"
		# Pixels 319, 320 and 321 of line 240.
		equal " 00 00 00 00 ff ff ff 00 00 00 00 00" "$(tail -n 1 "$vm/stdout")"
		# The picture of the visible area, made from its memory.
		equal "641 481" "$(sed -n 2p "$vm/screen.ppm")"
		equal "$((240 * 641 + 320 + 1)):ffffff" "$(lit)"
	done
}

@test "screenwash fills exactly xres x yres x bytes per pixel of the screen, shown at once" {
	booted
	for boot in "${boots[@]}"; do
		read -r _ _ _ bpp < <(geometry "${boot##*/}")
		[ "$bpp" -ge 24 ] && [ "${boot##*/}" != vfb ] || continue
		# Memory shows where the fill ends, and the screen, taken as soon
		# as screenwash has ended, shows it all.
		ran "$boot" 1
		holds "$vm/stdout" 'status 0\n0\n0\n'
		# Every byte of every pixel is 0xF0: grey everywhere.
		equal 0 "$(pixels | grep -vc '^f0f0f0$')"
	done
}

@test "rangepeek's window starts at the kernel's page, past 4 GiB on a 32-bit machine too" {
	booted drm-virtio
	for boot in "${boots[@]}"; do
		ran "$boot" 2
		page=$(($(tail -n 1 "$vm/stdout") * 1024))
		holds "$vm/stdout" 'past 2^32PAGE_SIZE:%x\npa_offset:100000000\npa_offset:100000000 file size:140000000
addr:ADDRESS 0\n status 0\n%d\n' "$page" $((page / 1024))
	done
}
