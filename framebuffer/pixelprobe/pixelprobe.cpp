// pixelprobe: report the framebuffer's geometry and pixel layout, map screen
// memory and light the pixel at the centre of the visible screen.

#include <cerrno>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <initializer_list>

#include <fcntl.h>
#include <linux/fb.h>
#include <sys/ioctl.h>
#include <sys/mman.h>
#include <unistd.h>

#include "util.h"

static const char *fbname;
static int FrameBufferFD;
static fb_fix_screeninfo fix_info;
static fb_var_screeninfo var_info;
static std::uint8_t *framebuffer;

// Stores one pixel of the given colour, as many low bits of it as the depth
// holds, and says whether it did.
static bool draw_pixel(std::int32_t x, std::int32_t y, std::uint32_t colour)
{
	std::uint32_t element_size;
	switch (var_info.bits_per_pixel) {
	case 16:
		element_size = 2;
		break;
	case 32:
		element_size = 4;
		break;
	case 8:
		element_size = 1;
		break;
	default:
		std::printf("Unknown depth.\n");
		return false;
	}

	// The mapping holds yres lines from the start of screen memory, but y
	// counts from that start too and includes the pan offset, so a view
	// panned down far enough puts the centre past the end of the mapping.
	const std::uint32_t mapped = fix_info.line_length * var_info.yres;
	const std::uint32_t stride = fix_info.line_length / element_size;
	if (x < 0 || y < 0 || static_cast<std::uint32_t>(x) >= stride ||
	    (std::uint64_t{static_cast<std::uint32_t>(y)} * stride + static_cast<std::uint32_t>(x) + 1) *
	            element_size > mapped) {
		std::printf("Pixel outside mapped screen memory.\n");
		return false;
	}

	// The element is stored as a value of its own width, so that it holds
	// the colour's low bits in the machine's byte order, whatever that is.
	const std::size_t element = static_cast<std::size_t>(y) * stride + static_cast<std::size_t>(x);
	void *const at = framebuffer + element * element_size;
	switch (element_size) {
	case 2:
		*static_cast<std::uint16_t *>(at) = static_cast<std::uint16_t>(colour);
		break;
	case 4:
		*static_cast<std::uint32_t *>(at) = colour;
		break;
	default:
		*static_cast<std::uint8_t *>(at) = static_cast<std::uint8_t>(colour);
		break;
	}
	return true;
}

// Every report goes to standard output, and whether it could be written is
// known only once the stream is flushed: lines lost make the run a failure.
int main()
{
	fbname = "/dev/fb0";
	// Never a standard descriptor, or the report would go into screen memory.
	FrameBufferFD = above_standard(open(fbname, O_RDWR));
	if (FrameBufferFD < 0) {
		std::printf("Unable to open %s.\n", fbname);
		return flushed(1);
	}
	if (ioctl(FrameBufferFD, FBIOGET_FSCREENINFO, &fix_info) < 0) {
		std::printf("get fixed screen info failed: %s\n", std::strerror(errno));
		close(FrameBufferFD);
		return flushed(1);
	}
	if (ioctl(FrameBufferFD, FBIOGET_VSCREENINFO, &var_info) < 0) {
		std::printf("Unable to retrieve variable screen info: %s\n", std::strerror(errno));
		close(FrameBufferFD);
		return flushed(1);
	}

	std::printf("Screen resolution: (%dx%d)\n", static_cast<int>(var_info.xres),
	            static_cast<int>(var_info.yres));
	std::printf("Line width in bytes %d\n", static_cast<int>(fix_info.line_length));
	std::printf("bits per pixel : %d\n", static_cast<int>(var_info.bits_per_pixel));
	std::printf("Red: length %d bits, offset %d\n", static_cast<int>(var_info.red.length),
	            static_cast<int>(var_info.red.offset));
	std::printf("Green: length %d bits, offset %d\n", static_cast<int>(var_info.green.length),
	            static_cast<int>(var_info.green.offset));
	std::printf("Blue: length %d bits, offset %d\n", static_cast<int>(var_info.blue.length),
	            static_cast<int>(var_info.blue.offset));

	// The size wraps to 32 bits and counts as signed: a product of 2^31 or
	// more is negative, and like a size of zero it is refused. (Widened, it
	// would be an enormous size, which a 64-bit kernel refuses, but on a
	// 32-bit machine it is a size that may well be mapped.)
	const std::int32_t map_size = static_cast<std::int32_t>(fix_info.line_length * var_info.yres);
	void *mapping = map_size <= 0 ? MAP_FAILED
	                              : mmap(nullptr, static_cast<std::size_t>(map_size), PROT_READ | PROT_WRITE,
	                                     MAP_SHARED, FrameBufferFD, 0);
	if (mapping == MAP_FAILED) {
		std::printf("mmap failed:\n");
		close(FrameBufferFD);
		return flushed(1);
	}
	framebuffer = static_cast<std::uint8_t *>(mapping);
	std::printf("framebuffer mmap address=%p\n", mapping);
	std::printf("framebuffer size=%d bytes\n", static_cast<int>(map_size));

	if (fix_info.visual != FB_VISUAL_TRUECOLOR) {
		std::printf("Unsupported Mode.\n");
		return flushed(1);
	}

	// Every channel is at full intensity, so it contributes its length low
	// bits, all set, at its offset. Bits that would land at bit 32 or above
	// have no place in a pixel value and are dropped.
	std::uint32_t pixel = 0;
	for (const fb_bitfield &channel : {var_info.red, var_info.green, var_info.blue}) {
		const std::uint64_t ones =
		        channel.length >= 32 ? 0xFFFFFFFF : (std::uint64_t{1} << channel.length) - 1;
		if (channel.offset < 32)
			pixel |= static_cast<std::uint32_t>(ones << channel.offset);
	}
	std::printf("pixel: %x\n", pixel);

	const std::int32_t x = static_cast<std::int32_t>((var_info.xres >> 1) + var_info.xoffset);
	const std::int32_t y = static_cast<std::int32_t>((var_info.yres >> 1) + var_info.yoffset);
	std::printf("x: %d y: %d \n", x, y);

	const int status = draw_pixel(x, y, 0xFFFFFF) ? 0 : 1;
	// A framebuffer that reaches its display by deferred I/O, as DRM
	// drivers' framebuffer emulation does, shows a store only when its
	// pending update runs: some time later, or at the last close, which a
	// display server holding the device open puts off indefinitely. fsync
	// runs the update now; other framebuffers ignore it or refuse it.
	fsync(FrameBufferFD);
	munmap(framebuffer, static_cast<std::size_t>(map_size));
	close(FrameBufferFD);
	return flushed(status);
}
