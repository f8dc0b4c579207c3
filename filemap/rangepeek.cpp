// rangepeek: map a page-aligned window of a file and write a byte range of it
// to standard output, pausing for a keystroke before the mapping is made and
// again once the range is out.

#include <cerrno>
#include <cinttypes>
#include <climits>
#include <csetjmp>
#include <csignal>
#include <cstdint>
#include <cstdio>
#include <cstdlib>

#include <fcntl.h>
#include <linux/fs.h>
#include <sys/inotify.h>
#include <sys/ioctl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include "util.h"

// Newer than some C libraries (musl 1.2.3), but the same number on every
// machine; a kernel that does not know it refuses it.
#ifndef MADV_POPULATE_READ
#define MADV_POPULATE_READ 22
#endif

static_assert(sizeof(off_t) == 8, "any offset of any file must reach the mapping");

// The file being shown: its descriptor, the watch on its change events (-1
// for none), and its status as last looked at.
struct shown_file {
	int descriptor;
	int watch;
	struct stat info;
};

// A page of the window that cannot be read raises a bus error; the handler
// brings the run back into main, which alone knows how to end it.
static sigjmp_buf on_fault;

// Looks at the file's status again. A block device's status gives it no
// size: its end tells it.
static bool look(shown_file &file)
{
	if (fstat(file.descriptor, &file.info) == -1) {
		std::perror("fstat");
		return false;
	}
	if (S_ISBLK(file.info.st_mode))
		file.info.st_size = lseek(file.descriptor, 0, SEEK_END);
	if (file.info.st_size == -1) {
		std::perror("lseek");
		return false;
	}
	return true;
}

// A read-only device opens read-write all the same, but the writable mapping
// is then refused for no reason it gives: this says why.
static bool refuse_read_only(const shown_file &file)
{
	int flag = 0;
	if (!S_ISBLK(file.info.st_mode) || ioctl(file.descriptor, BLKROGET, &flag) != 0 || flag == 0)
		return false;
	errno = EROFS;
	std::perror("open");
	return true;
}

static bool past_end(std::int64_t offset, const shown_file &file)
{
	if (offset < file.info.st_size)
		return false;
	std::fputs("offset is past end of file\n", stderr);
	return true;
}

// The file's own change events tell whether its contents changed under the
// copy, as those of a file cut and grown back again do, which neither its
// size nor a fault shows. The watch is on the open file itself, so that no
// file put in its place during the pause can take it over. Where /proc is
// missing only the name leads to the file: the watch is kept only if the
// name still leads to the open one. Without a watch the size and the
// modification time still tell.
static void watch(shown_file &file, const char *name)
{
	file.watch = above_standard(inotify_init1(IN_NONBLOCK | IN_CLOEXEC));
	char open_file[32];
	std::snprintf(open_file, sizeof open_file, "/proc/self/fd/%d", file.descriptor);
	if (file.watch == -1 || inotify_add_watch(file.watch, open_file, IN_MODIFY) != -1)
		return;
	struct stat named;
	if (inotify_add_watch(file.watch, name, IN_MODIFY) != -1 && stat(name, &named) == 0 &&
	    named.st_dev == file.info.st_dev && named.st_ino == file.info.st_ino)
		return;
	close(file.watch);
	file.watch = -1;
}

// Whether the file changed since the events were last read.
static bool modified(const shown_file &file)
{
	char event[sizeof(inotify_event) + NAME_MAX + 1];
	bool any = false;
	while (file.watch != -1 && read(file.watch, event, sizeof event) > 0)
		any = true;
	return any;
}

// Once the copy has ended, or failed (FAULTED), the file is looked at again:
// whether the copy can stand, and if not, why. The file lost bytes of the
// range that ends at END, or its contents changed, or neither, and then a
// fault means that its pages could not be had.
static bool spoiled(shown_file &file, std::uint64_t end, bool faulted)
{
	const struct stat before = file.info;
	if (!look(file))
		return true;
	if (static_cast<std::uint64_t>(file.info.st_size) < end)
		std::fputs("file shrank while being read\n", stderr);
	else if (modified(file) || file.info.st_mtim.tv_sec != before.st_mtim.tv_sec ||
	         file.info.st_mtim.tv_nsec != before.st_mtim.tv_nsec)
		std::fputs("file changed while being read\n", stderr);
	else if (faulted)
		std::fputs("cannot read the file's pages through the mapping: "
		           "no memory or space for them, or an I/O error\n",
		           stderr);
	else
		return false;
	return true;
}

int main(int argc, char *argv[])
{
	if (argc < 3 || argc > 4) {
		std::fprintf(stderr, "%s file offset [length]\n", argv[0]);
		return 1;
	}
	// Read-write although nothing is written: the mapping is shared and
	// writable. Never a standard descriptor, or the lines and the range
	// would be written into the file.
	shown_file file{};
	file.descriptor = above_standard(open(argv[1], O_RDWR));
	if (file.descriptor == -1) {
		std::perror("open");
		return 1;
	}
	if (!look(file) || refuse_read_only(file))
		return 1;
	watch(file, argv[1]);

	// The lines are fully buffered unless they go to a terminal, as every C
	// library is asked to buffer them, so that the range always comes
	// before them in a file or a pipe. Whether they could be written is
	// known only at the end.
	if (isatty(1) == 0)
		std::setvbuf(stdout, nullptr, _IOFBF, 0);
	const long page_size = sysconf(_SC_PAGESIZE);
	std::printf("PAGE_SIZE:%lx\n", static_cast<unsigned long>(page_size));

	// Read as leniently as atoi reads, but in 64 bits, so that any offset
	// within a large file can be asked for; numbers beyond the range
	// saturate. The window rounds toward minus infinity, so a negative
	// offset stays negative and the mapping refuses it.
	const std::int64_t offset = std::strtoll(argv[2], nullptr, 10);
	const std::int64_t pa_offset = offset & -std::int64_t{page_size};
	std::printf("pa_offset:%" PRIx64 "\n", static_cast<std::uint64_t>(pa_offset));
	std::printf("pa_offset:%" PRIx64 " file size:%" PRIx64 "\n", static_cast<std::uint64_t>(pa_offset),
	            static_cast<std::uint64_t>(file.info.st_size));
	if (past_end(offset, file))
		return flushed(1);

	// A negative length, like one past the end, shows the rest of the file.
	// Sizes are unsigned, so that no offset can overflow them.
	std::uint64_t length = static_cast<std::uint64_t>(file.info.st_size) - static_cast<std::uint64_t>(offset);
	if (argc == 4) {
		const std::int64_t requested = std::strtoll(argv[3], nullptr, 10);
		if (requested >= 0 && static_cast<std::uint64_t>(requested) <= length)
			length = static_cast<std::uint64_t>(requested);
	}

	std::getchar();
	// The device may have been made read-only during the pause. What changed
	// then is no change under the copy: those events are dropped. A write
	// raises its event only once it returns, and an asynchronous direct one
	// none at all, but each sets the modification time as it starts: the
	// time taken now tells of those. A change of mode or owner sets
	// neither. The file may have shrunk too, and touching a mapped page past
	// its end raises a bus error: the copy stays within what is left of it.
	if (refuse_read_only(file))
		return flushed(1);
	modified(file);
	if (!look(file) || past_end(offset, file))
		return flushed(1);
	const std::uint64_t left = static_cast<std::uint64_t>(file.info.st_size) - static_cast<std::uint64_t>(offset);
	if (length > left)
		length = left;
	const std::uint64_t end = static_cast<std::uint64_t>(offset) + length;

	// A negative offset names no place in the file. A 64-bit kernel refuses
	// it as too large; a 32-bit one would take it as a page number far into
	// the file, so it is refused here, alike on every machine. A window
	// that the address space cannot hold is refused as the kernel refuses
	// one too large for the space that is free, before size_t can cut it.
	const std::uint64_t into_window = static_cast<std::uint64_t>(offset - pa_offset);
	if (pa_offset < 0 || length + into_window > SIZE_MAX) {
		errno = pa_offset < 0 ? EOVERFLOW : ENOMEM;
		std::perror("mmap");
		return flushed(1);
	}
	const auto window = static_cast<std::size_t>(length + into_window);
	void *mapping = mmap(nullptr, window, PROT_READ | PROT_WRITE | PROT_EXEC, MAP_SHARED, file.descriptor,
	                     pa_offset);
	if (mapping == MAP_FAILED) {
		std::perror("mmap");
		return flushed(1);
	}
	// From here on a page of the range may fail to come in: the file shrank
	// under the copy, or its page could not be had (a hole in a file on
	// tmpfs takes memory, and a full tmpfs or an I/O error refuses it). A
	// bus error and a write that meets such a page (EFAULT) end the same
	// way.
	if (sigsetjmp(on_fault, 1) != 0) {
		spoiled(file, end, true);
		return flushed(1);
	}
	struct sigaction on_bus_error {};
	on_bus_error.sa_handler = [](int) { siglongjmp(on_fault, 1); };
	sigaction(SIGBUS, &on_bus_error, nullptr);

	// The first read of each freshly mapped page costs far more than the
	// copy of it. Large pages, where the file system offers them for a file
	// read from disk, need one fault for 2 MiB instead of 512, and filling
	// the page tables in one call costs far less than a fault for each page
	// during the write. Both are only hints: a kernel without them, or a
	// file shrinking again meanwhile, leaves the faults to do the work.
	madvise(mapping, window, MADV_HUGEPAGE);
	madvise(mapping, window, MADV_POPULATE_READ);

	// The byte shown is the first of the window, sign-extended as a char.
	// It is read before printf starts, so that a bus error never leaves the
	// stream half-written.
	const auto first = *static_cast<const signed char *>(mapping);
	std::printf("addr:%p %x\n", mapping, static_cast<unsigned>(first));

	// One write call moves at most 2,147,479,552 bytes, so a range of 2 GiB
	// or more takes several. A write from pages that cannot be read fails
	// with EFAULT rather than raising the bus error.
	const char *from = static_cast<const char *>(mapping) + into_window;
	while (length > 0) {
		const ssize_t written = write(1, from, static_cast<std::size_t>(length));
		if (written == -1 && errno == EINTR)
			continue;
		if (written == -1 && errno == EFAULT) {
			spoiled(file, end, true);
			return flushed(1);
		}
		if (written == -1) {
			std::perror("write");
			return 1;
		}
		if (written == 0) {
			// Without a line end, as scripts have always read it.
			std::fputs("partial write", stderr);
			return 1;
		}
		from += written;
		length -= static_cast<std::uint64_t>(written);
	}
	// A file cut inside the range's last page raises no fault: the kernel
	// shows the rest of that page as zeros. Nor does one cut and grown back.
	if (spoiled(file, end, false))
		return flushed(1);

	std::getchar();
	return flushed(0);
}
