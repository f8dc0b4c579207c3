// rangepeek: map a page-aligned window of a file and write a byte range of it
// to standard output, pausing for a keystroke before the mapping is made and
// again once the range is out.

#include <cerrno>
#include <csignal>
#include <cstdint>
#include <cstdio>
#include <cstdlib>

#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

constexpr char shrank[] = "file shrank while being read\n";

int main(int argc, char *argv[])
{
	if (argc < 3 || argc > 4) {
		std::fprintf(stderr, "%s file offset [length]\n", argv[0]);
		return 1;
	}
	// Read-write although nothing is written: the mapping is shared and
	// writable.
	int descriptor = open(argv[1], O_RDWR);
	// With a standard descriptor closed the file would take its number,
	// and the lines and the range would be written into the file.
	if (descriptor != -1 && descriptor <= 2) {
		const int moved = fcntl(descriptor, F_DUPFD, 3);
		close(descriptor);
		descriptor = moved;
	}
	if (descriptor == -1) {
		std::perror("open");
		return 1;
	}
	struct stat status;
	if (fstat(descriptor, &status) == -1) {
		std::perror("fstat");
		return 1;
	}
	// The lines are buffered, so whether they could be written is known
	// only at the end. Lines lost make the run a failure; a failure already
	// met keeps its own report too. A range that could not be written has
	// said so for descriptor 1 already.
	const auto finish = [](int status) {
		if (std::fflush(stdout) == EOF || std::ferror(stdout)) {
			std::perror("write");
			return 1;
		}
		return status;
	};
	std::printf("PAGE_SIZE:%lx\n", static_cast<unsigned long>(sysconf(_SC_PAGESIZE)));

	// Read as leniently as atoi reads, but in 64 bits, so that any offset
	// within a large file can be asked for; numbers beyond the range
	// saturate.
	const std::int64_t offset = std::strtoll(argv[2], nullptr, 10);
	// Rounds toward minus infinity, so a negative offset stays negative and
	// the mapping refuses it.
	const std::int64_t pa_offset = offset & -sysconf(_SC_PAGESIZE);
	std::printf("pa_offset:%lx\n", static_cast<unsigned long>(pa_offset));
	std::printf("pa_offset:%lx file size:%lx\n", static_cast<unsigned long>(pa_offset),
	            static_cast<unsigned long>(status.st_size));
	if (offset >= status.st_size) {
		std::fputs("offset is past end of file\n", stderr);
		return finish(1);
	}

	// A negative length, like one past the end, shows the rest of the file.
	// Sizes are unsigned, so that no offset can overflow them; a negative
	// one fails at the mapping.
	const std::uint64_t rest = static_cast<std::uint64_t>(status.st_size) - static_cast<std::uint64_t>(offset);
	std::uint64_t length = rest;
	if (argc == 4) {
		const std::int64_t requested = std::strtoll(argv[3], nullptr, 10);
		if (requested >= 0 && static_cast<std::uint64_t>(requested) <= rest)
			length = static_cast<std::uint64_t>(requested);
	}

	std::getchar();

	const std::uint64_t into_window = static_cast<std::uint64_t>(offset - pa_offset);
	void *mapping = mmap(nullptr, length + into_window, PROT_READ | PROT_WRITE | PROT_EXEC, MAP_SHARED,
	                     descriptor, pa_offset);
	if (mapping == MAP_FAILED) {
		std::perror("mmap");
		return finish(1);
	}
	// The file may have shrunk during the pause, and touching a mapped page
	// past its end raises a bus error: stay within what is left of it.
	if (fstat(descriptor, &status) == -1) {
		std::perror("fstat");
		return finish(1);
	}
	if (offset >= status.st_size) {
		std::fputs("offset is past end of file\n", stderr);
		return finish(1);
	}
	const std::uint64_t left = static_cast<std::uint64_t>(status.st_size) - static_cast<std::uint64_t>(offset);
	if (length > left)
		length = left;

	// It may shrink again at any moment from here on. A page touched past
	// the new end raises a bus error, which ends the run with a reason
	// instead of killing it.
	struct sigaction on_bus_error {};
	on_bus_error.sa_handler = [](int) {
		[[maybe_unused]] const ssize_t told = write(2, shrank, sizeof shrank - 1);
		_exit(1);
	};
	sigaction(SIGBUS, &on_bus_error, nullptr);

	// Filling the page tables in one call costs far less than a fault for
	// each page during the write. It is only a hint: a kernel without it,
	// or a file shrinking again meanwhile, leaves the faults to do the work.
	madvise(mapping, into_window + length, MADV_POPULATE_READ);

	const auto *addr = static_cast<const char *>(mapping);
	// The byte shown is the first of the window, sign-extended as a char.
	std::printf("addr:%p %x\n", mapping, static_cast<unsigned>(static_cast<signed char>(addr[0])));

	// One write call moves at most 2,147,479,552 bytes, so a range of 2 GiB
	// or more takes several. A write from pages that have gone past the end
	// of the file fails with EFAULT rather than raising the bus error.
	const char *from = addr + into_window;
	while (length > 0) {
		const ssize_t written = write(1, from, length);
		if (written == -1 && errno == EINTR)
			continue;
		if (written == -1 && errno == EFAULT) {
			std::fputs(shrank, stderr);
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

	std::getchar();
	return finish(0);
}
