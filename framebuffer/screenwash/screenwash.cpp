// screenwash: map the start of screen memory and set every byte of it to 0xF0.
// It prints nothing on success; its exit status tells the failures apart.

#include <cstddef>
#include <cstdint>
#include <cstdio>

#include <fcntl.h>
#include <linux/fb.h>
#include <sys/ioctl.h>
#include <sys/mman.h>
#include <unistd.h>

#include "util.h"

static fb_var_screeninfo vinfo;

int main()
{
	// Never a standard descriptor, or the one report would go into screen
	// memory. It is never closed: process exit releases it.
	const int descriptor = above_standard(open("/dev/fb0", O_RDWR));
	if (descriptor < 0)
		return 1;
	if (ioctl(descriptor, FBIOGET_VSCREENINFO, &vinfo) != 0) {
		std::printf("Bad vscreeninfo ioctl\n");
		return flushed(2);
	}

	// Whole bytes per pixel, so a depth below 8 fills nothing. The size
	// wraps to 32 bits and counts as signed: a product of 2^31 or more is
	// negative and refused, like a size of zero, on every machine (on a
	// 32-bit one it would widen to a size that may well be mapped), while
	// one of 2^32 or more keeps only its low 32 bits. The line length is
	// not consulted, so the fill covers the first fill_size bytes of screen
	// memory whatever a scan line holds beyond its visible pixels.
	const std::int32_t fill_size =
	        static_cast<std::int32_t>(vinfo.xres * vinfo.yres * (vinfo.bits_per_pixel / 8));
	void *mapping = fill_size <= 0 ? MAP_FAILED
	                               : mmap(nullptr, static_cast<std::size_t>(fill_size), PROT_READ | PROT_WRITE,
	                                      MAP_SHARED, descriptor, 0);
	if (mapping == MAP_FAILED)
		return 3;

	auto *map = static_cast<std::uint8_t *>(mapping);
	for (std::int32_t i = 0; i < fill_size; i++)
		map[i] = 0xF0;
	// A framebuffer updated by deferred I/O shows the fill only when its
	// pending update runs; fsync runs it now. Other framebuffers ignore it
	// or refuse it.
	fsync(descriptor);

	// A failed unmap gives -1, which the shell sees as 255.
	return munmap(mapping, static_cast<std::size_t>(fill_size));
}
