// A stand-in for /dev/fb0, preloaded into the program under test.
//
//   FAKEFB_MEMORY  file that an open of /dev/fb0 opens instead: screen memory
//   FAKEFB_FIX     "line_length=N visual=N", or "fail" to refuse the request
//   FAKEFB_VAR     "xres=N yres=N xoffset=N yoffset=N bpp=N red=LEN/OFF
//                   green=LEN/OFF blue=LEN/OFF", or "fail"
//
// Fields not named are zero. A refused request sets errno to EINVAL.

// The stand-in takes the C library's own names, as they are, not as a
// 64-bit build renames them: open and open64, ioctl and, on a 32-bit
// machine with 64-bit time, __ioctl_time64.
#undef _FILE_OFFSET_BITS
#undef _TIME_BITS

#include <cerrno>
#include <cstdarg>
#include <cstdlib>
#include <cstring>

#include <dlfcn.h>
#include <fcntl.h>
#include <linux/fb.h>
#include <sys/ioctl.h>
#include <sys/stat.h>

// The device is known by its file, not by its number, so that a program
// may move its descriptor elsewhere.
static struct stat device;
static bool opened;

static bool is_device(int fd)
{
	struct stat file;
	return opened && fstat(fd, &file) == 0 && file.st_dev == device.st_dev && file.st_ino == device.st_ino;
}

static bool refused(const char *description)
{
	return std::strcmp(description, "fail") == 0;
}

// The text after "name=" in the description, or nullptr.
static const char *value_of(const char *description, const char *name)
{
	const std::size_t length = std::strlen(name);
	for (const char *p = description; (p = std::strstr(p, name)) != nullptr; p += length)
		if ((p == description || p[-1] == ' ') && p[length] == '=')
			return p + length + 1;
	return nullptr;
}

static __u32 number(const char *description, const char *name)
{
	const char *value = value_of(description, name);
	return value == nullptr ? 0 : static_cast<__u32>(std::strtoul(value, nullptr, 0));
}

static fb_bitfield channel(const char *description, const char *name)
{
	fb_bitfield channel{};
	if (const char *value = value_of(description, name)) {
		char *slash;
		channel.length = static_cast<__u32>(std::strtoul(value, &slash, 0));
		channel.offset = static_cast<__u32>(std::strtoul(slash + 1, nullptr, 0));
	}
	return channel;
}

static int open_through(const char *symbol, const char *path, int flags, mode_t mode)
{
	using open_function = int (*)(const char *, int, ...);
	const auto real = reinterpret_cast<open_function>(dlsym(RTLD_NEXT, symbol));
	if (std::strcmp(path, "/dev/fb0") != 0)
		return real(path, flags, mode);
	const char *memory = std::getenv("FAKEFB_MEMORY");
	if (memory == nullptr) {
		errno = ENOENT;
		return -1;
	}
	const int fd = real(memory, flags, mode);
	opened = fd != -1 && fstat(fd, &device) == 0;
	return fd;
}

// Only a call that may create a file passes a mode.
static bool has_mode(int flags)
{
	return (flags & O_CREAT) != 0 || (flags & O_TMPFILE) == O_TMPFILE;
}

extern "C" int open(const char *path, int flags, ...)
{
	va_list rest;
	va_start(rest, flags);
	// The fortified declaration of open misleads the analyzer: the list
	// was started just above.
	// NOLINTNEXTLINE(clang-analyzer-valist.Uninitialized)
	const mode_t mode = has_mode(flags) ? va_arg(rest, mode_t) : 0;
	va_end(rest);
	return open_through("open", path, flags, mode);
}

// musl names no open64 of its own: it is open.
#ifndef open64
extern "C" int open64(const char *path, int flags, ...)
{
	va_list rest;
	va_start(rest, flags);
	// The fortified declaration of open misleads the analyzer: the list
	// was started just above.
	// NOLINTNEXTLINE(clang-analyzer-valist.Uninitialized)
	const mode_t mode = has_mode(flags) ? va_arg(rest, mode_t) : 0;
	va_end(rest);
	return open_through("open64", path, flags, mode);
}
#endif

// The request's type is the C library's: unsigned long in glibc, int in
// musl.
template <typename> struct ioctl_parameter;
template <typename Request> struct ioctl_parameter<int(int, Request, ...)> {
	using type = Request;
};
template <typename Request> struct ioctl_parameter<int(int, Request, ...) noexcept> {
	using type = Request;
};
using request_type = ioctl_parameter<decltype(ioctl)>::type;

static int ioctl_through(const char *symbol, int fd, request_type request, void *argument)
{
	using ioctl_function = int (*)(int, request_type, ...);
	if (!is_device(fd) || (request != FBIOGET_FSCREENINFO && request != FBIOGET_VSCREENINFO)) {
		const auto real = reinterpret_cast<ioctl_function>(dlsym(RTLD_NEXT, symbol));
		return real(fd, request, argument);
	}

	const char *description = std::getenv(request == FBIOGET_FSCREENINFO ? "FAKEFB_FIX" : "FAKEFB_VAR");
	if (description == nullptr)
		description = "";
	if (refused(description)) {
		errno = EINVAL;
		return -1;
	}
	if (request == FBIOGET_FSCREENINFO) {
		auto *fix = static_cast<fb_fix_screeninfo *>(argument);
		std::memset(fix, 0, sizeof *fix);
		fix->line_length = number(description, "line_length");
		fix->visual = number(description, "visual");
	} else {
		auto *var = static_cast<fb_var_screeninfo *>(argument);
		std::memset(var, 0, sizeof *var);
		var->xres = number(description, "xres");
		var->yres = number(description, "yres");
		var->xoffset = number(description, "xoffset");
		var->yoffset = number(description, "yoffset");
		var->bits_per_pixel = number(description, "bpp");
		var->red = channel(description, "red");
		var->green = channel(description, "green");
		var->blue = channel(description, "blue");
	}
	return 0;
}

extern "C" int ioctl(int fd, request_type request, ...) noexcept
{
	va_list rest;
	va_start(rest, request);
	void *argument = va_arg(rest, void *);
	va_end(rest);
	return ioctl_through("ioctl", fd, request, argument);
}

// The C library's own name on a 32-bit machine with 64-bit time: reserved,
// as it must be to stand in for the C library's.
// NOLINTNEXTLINE(bugprone-reserved-identifier,cert-dcl37-c,cert-dcl51-cpp)
extern "C" int __ioctl_time64(int fd, unsigned long request, ...) noexcept
{
	va_list rest;
	va_start(rest, request);
	void *argument = va_arg(rest, void *);
	va_end(rest);
	return ioctl_through("__ioctl_time64", fd, static_cast<request_type>(request), argument);
}
