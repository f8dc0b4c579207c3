// feedsink: read the pipe end that spawnfeed hands over by number to end of
// file and report what arrived.

#include <cerrno>
#include <climits>
#include <cstddef>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include <fcntl.h>
#include <linux/types.h>
#include <poll.h>
#include <sys/resource.h>
#include <sys/syscall.h>
#include <unistd.h>

#include "util.h"

// The head of the kernel's record of a directory entry, which getdents64
// fills: the name follows the type, ended by a zero byte.
struct dirent_record {
	__u64 d_ino;
	__s64 d_off;
	unsigned short d_reclen;
	unsigned char d_type;
};

// More than a pipe holds at once; bytes past it are counted, not shown.
constexpr std::size_t shown_size = 65536;

static char received[shown_size];

int main(int argc, char *argv[])
{
	if (argc != 2) {
		std::fputs("usage: feedsink descriptor\n", stderr);
		return 2;
	}
	char *end;
	errno = 0;
	const long number = std::strtol(argv[1], &end, 10);
	if (*argv[1] < '0' || *argv[1] > '9' || *end != '\0' || errno != 0 || number > INT_MAX) {
		std::fprintf(stderr, "feedsink: '%s' is not a descriptor number\n", argv[1]);
		return 2;
	}
	const int descriptor = static_cast<int>(number);
	const int flags = fcntl(descriptor, F_GETFL);
	// A descriptor opened only as a path reads as read-only, yet cannot be
	// read.
	if (flags == -1 || (flags & O_ACCMODE) == O_WRONLY || (flags & O_PATH) != 0) {
		std::fprintf(stderr, "feedsink: descriptor %d is not open for reading\n", descriptor);
		return 2;
	}

	// The launcher's write end came along too: until every inherited copy
	// is closed, ours included, the pipe never reaches end of file.
	const unsigned first_above = descriptor < 3 ? 3 : static_cast<unsigned>(descriptor) + 1;
	if ((descriptor > 3 && syscall(SYS_close_range, 3U, static_cast<unsigned>(descriptor) - 1, 0U) == -1) ||
	    syscall(SYS_close_range, first_above, ~0U, 0U) == -1) {
		// A kernel older than 5.9 has no close_range, and a container's
		// filter written before it refuses it (ENOSYS, EPERM): the
		// descriptors are closed one by one. Only a range it takes for
		// wrong is a fault of ours.
		if (errno == EINVAL) {
			std::perror("feedsink: close_range");
			return 1;
		}
		// /proc lists every open descriptor, whatever its number and
		// whatever the limits say now, in a time that does not grow with
		// them. An error reported while the list is read must not go into
		// it, so it never takes a standard descriptor's number; one that
		// cannot move is as good as none.
		const int listing = above_standard(open("/proc/self/fd", O_RDONLY | O_DIRECTORY | O_CLOEXEC));
		if (listing != -1) {
			// getdents64 rather than readdir, which takes its buffer from
			// the heap.
			alignas(8) char records[4096];
			for (;;) {
				const long count = syscall(SYS_getdents64, listing, records, sizeof records);
				if (count == -1) {
					std::perror("feedsink: /proc/self/fd");
					return 1;
				}
				if (count == 0)
					break;
				unsigned short length;
				for (long at = 0; at < count; at += length) {
					std::memcpy(&length, records + at + offsetof(dirent_record, d_reclen), sizeof length);
					// Every name but "." and ".." is a number.
					const char *name = records + at + offsetof(dirent_record, d_type) + 1;
					if (*name < '0' || *name > '9')
						continue;
					const long open_one = std::strtol(name, nullptr, 10);
					if (open_one > 2 && open_one != descriptor && open_one != listing)
						close(static_cast<int>(open_one));
				}
			}
			close(listing);
		} else {
			// Without /proc, as in an initramfs, every number below the
			// hard limit is asked about by poll, which marks those not
			// open invalid. poll takes no more at once than the soft
			// limit: it is raised to the hard one where it may be, and
			// the batches are as large as the limit that stands allows,
			// a thousand at most.
			rlimit limit{};
			if (getrlimit(RLIMIT_NOFILE, &limit) == -1) {
				std::perror("feedsink: getrlimit");
				return 1;
			}
			rlim_t standing = limit.rlim_cur;
			limit.rlim_cur = limit.rlim_max;
			if (setrlimit(RLIMIT_NOFILE, &limit) == 0)
				standing = limit.rlim_max;
			pollfd batch[1024];
			nfds_t at_once = sizeof batch / sizeof batch[0];
			if (standing < at_once)
				at_once = standing > 0 ? static_cast<nfds_t>(standing) : 1;
			const rlim_t most = limit.rlim_max < INT_MAX ? limit.rlim_max : INT_MAX;
			for (rlim_t first = 3; first < most; first += at_once) {
				nfds_t count = 0;
				for (rlim_t candidate = first; candidate < most && count < at_once; candidate++)
					batch[count++] = pollfd{static_cast<int>(candidate), 0, 0};
				if (poll(batch, count, 0) == -1) {
					std::perror("feedsink: poll");
					return 1;
				}
				for (nfds_t i = 0; i < count; i++)
					if ((batch[i].revents & POLLNVAL) == 0 && batch[i].fd != descriptor)
						close(batch[i].fd);
			}
		}
	}

	std::size_t total = 0;
	for (;;) {
		// Once the shown bytes are full, the rest is only counted.
		char scratch[4096];
		char *into = total < shown_size ? received + total : scratch;
		const std::size_t room = total < shown_size ? shown_size - total : sizeof scratch;
		const ssize_t count = read(descriptor, into, room);
		if (count == -1 && errno == EINTR)
			continue;
		// A read end in non-blocking mode is waited on all the same.
		if (count == -1 && errno == EAGAIN) {
			pollfd readable{descriptor, POLLIN, 0};
			if (poll(&readable, 1, -1) == -1 && errno != EINTR) {
				std::perror("feedsink: poll");
				return 1;
			}
			continue;
		}
		if (count == -1) {
			std::perror("feedsink: read");
			return 1;
		}
		if (count == 0)
			break;
		total += static_cast<std::size_t>(count);
	}
	std::printf("feedsink received %zu bytes: ", total);
	std::fwrite(received, 1, total < shown_size ? total : shown_size, stdout);
	std::putchar('\n');
	return flushed(0);
}
