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

// Newer than some C libraries (musl 1.2.3), but the same number on every
// machine; a kernel that does not know it refuses it.
#ifndef MADV_POPULATE_READ
#define MADV_POPULATE_READ 22
#endif

static_assert(sizeof(off_t) == 8, "any offset of any file must reach the mapping");

// A page of the window that cannot be read raises a bus error; the handler
// brings the run back into main, which alone knows how to end it.
static sigjmp_buf on_fault;

// With a standard descriptor closed, what the program opens would take its
// number, and the lines and the range would be written into it: it moves
// above 2. At the descriptor limit there is no number above 2 to move to:
// the kernel says EINVAL, but the cause is the limit.
static int above_standard(int descriptor)
{
	if (descriptor == -1 || descriptor > 2)
		return descriptor;
	const int moved = fcntl(descriptor, F_DUPFD_CLOEXEC, 3);
	const int reason = errno == EINVAL ? EMFILE : errno;
	close(descriptor);
	errno = reason;
	return moved;
}

int main(int argc, char *argv[])
{
	if (argc < 3 || argc > 4) {
		std::fprintf(stderr, "%s file offset [length]\n", argv[0]);
		return 1;
	}
	// Read-write although nothing is written: the mapping is shared and
	// writable.
	const int descriptor = above_standard(open(argv[1], O_RDWR));
	if (descriptor == -1) {
		std::perror("open");
		return 1;
	}
	// The file's status, looked at again whenever the file may have
	// changed. A block device's status gives it no size: its end tells it.
	const auto look = [descriptor](struct stat &status) {
		if (fstat(descriptor, &status) == -1) {
			std::perror("fstat");
			return false;
		}
		if (S_ISBLK(status.st_mode))
			status.st_size = lseek(descriptor, 0, SEEK_END);
		if (status.st_size == -1) {
			std::perror("lseek");
			return false;
		}
		return true;
	};
	struct stat status;
	if (!look(status))
		return 1;
	// A read-only device opens read-write all the same, but the writable
	// mapping is then refused for no reason it gives: say why, at the open
	// and again before the mapping, as the device may be made read-only
	// during the pause.
	const auto refuse_read_only = [descriptor, &status] {
		int flag = 0;
		if (!S_ISBLK(status.st_mode) || ioctl(descriptor, BLKROGET, &flag) != 0 || flag == 0)
			return false;
		errno = EROFS;
		std::perror("open");
		return true;
	};
	if (refuse_read_only())
		return 1;

	// The file's own change events tell whether its contents changed under
	// the copy, as those of a file cut and grown back again do, which
	// neither its size nor a fault shows. The watch is on the open file
	// from the start, so that no file put in its place during the pause
	// can take it over. Without a watch the size and the modification time
	// still tell.
	int watch = above_standard(inotify_init1(IN_NONBLOCK | IN_CLOEXEC));
	char open_file[32];
	std::snprintf(open_file, sizeof open_file, "/proc/self/fd/%d", descriptor);
	if (watch != -1 && inotify_add_watch(watch, open_file, IN_MODIFY) == -1) {
		// Where /proc is missing only the name leads to the file: the
		// watch is kept only if the name still leads to the open one.
		struct stat named;
		const bool same = inotify_add_watch(watch, argv[1], IN_MODIFY) != -1 && stat(argv[1], &named) == 0 &&
		                  named.st_dev == status.st_dev && named.st_ino == status.st_ino;
		if (!same) {
			close(watch);
			watch = -1;
		}
	}
	// The lines are fully buffered unless they go to a terminal, as every C
	// library is asked to buffer them, so that the range always comes
	// before them in a file or a pipe.
	if (isatty(1) == 0)
		std::setvbuf(stdout, nullptr, _IOFBF, 0);
	// The lines are buffered, so whether they could be written is known
	// only at the end. Lines lost make the run a failure; a failure already
	// met keeps its own report too. A range that could not be written has
	// said so for descriptor 1 already.
	const auto finish = [](int exit_status) {
		if (std::fflush(stdout) == EOF || std::ferror(stdout)) {
			std::perror("write");
			return 1;
		}
		return exit_status;
	};
	const long page_size = sysconf(_SC_PAGESIZE);
	std::printf("PAGE_SIZE:%lx\n", static_cast<unsigned long>(page_size));

	// Read as leniently as atoi reads, but in 64 bits, so that any offset
	// within a large file can be asked for; numbers beyond the range
	// saturate.
	const std::int64_t offset = std::strtoll(argv[2], nullptr, 10);
	// Rounds toward minus infinity, so a negative offset stays negative and
	// the mapping refuses it.
	const std::int64_t pa_offset = offset & -std::int64_t{page_size};
	const auto past_end = [offset](const struct stat &now) {
		if (offset < now.st_size)
			return false;
		std::fputs("offset is past end of file\n", stderr);
		return true;
	};
	std::printf("pa_offset:%" PRIx64 "\n", static_cast<std::uint64_t>(pa_offset));
	std::printf("pa_offset:%" PRIx64 " file size:%" PRIx64 "\n", static_cast<std::uint64_t>(pa_offset),
	            static_cast<std::uint64_t>(status.st_size));
	if (past_end(status))
		return finish(1);

	// A negative length, like one past the end, shows the rest of the file.
	// Sizes are unsigned, so that no offset can overflow them.
	std::uint64_t length = static_cast<std::uint64_t>(status.st_size) - static_cast<std::uint64_t>(offset);
	if (argc == 4) {
		const std::int64_t requested = std::strtoll(argv[3], nullptr, 10);
		if (requested >= 0 && static_cast<std::uint64_t>(requested) <= length)
			length = static_cast<std::uint64_t>(requested);
	}

	std::getchar();
	if (refuse_read_only())
		return finish(1);

	// What changed during the pause is no change under the copy: the
	// events so far are dropped. A write raises its event only once it
	// returns, and an asynchronous direct one none at all, but each sets
	// the modification time as it starts: the time taken now tells of
	// those. A change of mode or owner sets neither.
	char event[sizeof(inotify_event) + NAME_MAX + 1];
	while (watch != -1 && read(watch, event, sizeof event) > 0) {
	}
	// The file may have shrunk during the pause, and touching a mapped page
	// past its end raises a bus error: stay within what is left of it.
	if (!look(status) || past_end(status))
		return finish(1);
	const std::uint64_t left = static_cast<std::uint64_t>(status.st_size) - static_cast<std::uint64_t>(offset);
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
		return finish(1);
	}
	const auto window = static_cast<std::size_t>(length + into_window);
	void *mapping = mmap(nullptr, window, PROT_READ | PROT_WRITE | PROT_EXEC, MAP_SHARED, descriptor,
	                     pa_offset);
	if (mapping == MAP_FAILED) {
		std::perror("mmap");
		return finish(1);
	}
	// Once the copy has ended, or failed, the file is looked at again: it
	// lost bytes of the range, or its contents changed, or neither.
	const auto changed = [&](bool failed) {
		struct stat now;
		if (!look(now))
			return true;
		if (static_cast<std::uint64_t>(now.st_size) < end)
			std::fputs("file shrank while being read\n", stderr);
		else if ((watch != -1 && read(watch, event, sizeof event) > 0) ||
		         now.st_mtim.tv_sec != status.st_mtim.tv_sec || now.st_mtim.tv_nsec != status.st_mtim.tv_nsec)
			std::fputs("file changed while being read\n", stderr);
		else if (failed)
			std::fputs("cannot read the file's pages through the mapping: "
			           "no memory or space for them, or an I/O error\n",
			           stderr);
		else
			return false;
		return true;
	};
	// From here on a page of the range may fail to come in: the file shrank
	// under the copy, or its page could not be had (a hole in a file on
	// tmpfs takes memory, and a full tmpfs or an I/O error refuses it). A
	// bus error and a write that meets such a page (EFAULT) end the same
	// way.
	if (sigsetjmp(on_fault, 1) != 0) {
		changed(true);
		return finish(1);
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
			changed(true);
			return finish(1);
		}
		if (written == -1) {
			std::perror("write");
			return 1;
		}
		if (written == 0) {
			std::fputs("partial write", stderr);
			return 1;
		}
		from += written;
		length -= static_cast<std::uint64_t>(written);
	}
	// A file cut inside the range's last page raises no fault: the kernel
	// shows the rest of that page as zeros. Nor does one cut and grown back.
	if (changed(false))
		return finish(1);

	std::getchar();
	return finish(0);
}
