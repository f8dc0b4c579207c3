# Shared by the framebuffer programs' tests: screen memory in a file, and a
# stand-in /dev/fb0 described by FAKEFB_FIX and FAKEFB_VAR (see fakefb.cpp).

bats_require_minimum_version 1.5.0

# screen_memory BYTES: fresh screen memory, every byte 0xAA, so that any store
# of ours shows, zero bytes included.
screen_memory() {
	readelf -l "$BIN/pixelprobe" | grep -q INTERP ||
		skip "a static program cannot load the stand-in: the vm tests prove it on real drivers"
	mem=$BATS_TEST_TMPDIR/fb0
	head -c "$1" /dev/zero | tr '\0' '\252' >"$mem"
	cp "$mem" "$mem.before"
}

# on_standin FIX VAR PROGRAM: run PROGRAM with /dev/fb0 standing in.
on_standin() {
	local preload=$FAKEFB asan
	# The sanitizer runtime has to be the first library the loader sees;
	# where it is, is asked once.
	[ -e "$BATS_FILE_TMPDIR/asan" ] ||
		ldd "$BIN/$3" 2>/dev/null | awk '$1 ~ /^libasan/ { print $3 }' >"$BATS_FILE_TMPDIR/asan"
	read -r asan <"$BATS_FILE_TMPDIR/asan" || true
	[ -z "$asan" ] || preload="$asan $FAKEFB"
	FAKEFB_MEMORY=$mem FAKEFB_FIX=$1 FAKEFB_VAR=$2 LD_PRELOAD=$preload "$BIN/$3"
}

# stored: the bytes of screen memory that the run changed, as OFFSET=HEX,
# comma-separated.
stored() {
	cmp -l "$mem.before" "$mem" | while read -r at _ new; do
		printf '%d=%02x\n' $((at - 1)) $((8#$new))
	done | paste -sd,
}

# white AT SIZE: what stored shows of white stored at byte AT as an element
# of SIZE bytes: every byte set but the top one of a 32-bit element, which
# comes first on a big-endian machine.
white() {
	local order=(ff ff ff 00) i
	[ "$2" -ne 4 ] || ! readelf -h "$BIN/pixelprobe" | grep -q 'big endian' || order=(00 ff ff ff)
	for ((i = 0; i < $2; i++)); do
		printf '%d=%s\n' $(($1 + i)) "${order[i]}"
	done | paste -sd,
}

# filled BYTES: the run set the first BYTES of screen memory to 0xF0 and left
# every byte after them as it was.
filled() {
	{
		head -c "$1" /dev/zero | tr '\0' '\360'
		tail -c +$(($1 + 1)) "$mem.before"
	} | same - "$mem"
}

# described FIELD=VALUE...: pixelprobe's six lines that describe a screen of
# the FIELDs xres, yres, line_length, bpp, red, green and blue (LENGTH/OFFSET),
# each number as a signed 32-bit decimal: those not given are 0, and other
# fields are passed over.
described() {
	local line_length=0 xres=0 yres=0 bpp=0 red=0/0 green=0/0 blue=0/0 field n
	# The arguments may hold several fields each, as FAKEFB_VAR does.
	# shellcheck disable=SC2048
	for field in $*; do
		case $field in line_length=* | xres=* | yres=* | bpp=* | red=* | green=* | blue=*) local "$field" ;; esac
	done
	set -- "$xres" "$yres" "$line_length" "$bpp" "${red%/*}" "${red#*/}" "${green%/*}" "${green#*/}" \
		"${blue%/*}" "${blue#*/}"
	for n; do
		set -- "$@" $((n > 0x7fffffff ? n - 0x100000000 : n))
		shift
	done
	printf 'Screen resolution: (%dx%d)\nLine width in bytes %d\nbits per pixel : %d\n' "$1" "$2" "$3" "$4"
	shift 4
	printf 'Red: length %d bits, offset %d\nGreen: length %d bits, offset %d\nBlue: length %d bits, offset %d\n' "$@"
}

# reported SIZE PIXEL X Y FIELD=VALUE...: the ten lines of a run that reaches
# the store, on the screen that the FIELDs describe.
reported() {
	described "${@:5}"
	printf 'framebuffer mmap address=ADDRESS\nframebuffer size=%d bytes\npixel: %s\nx: %d y: %d \n' "$1" "$2" "$3" "$4"
}
