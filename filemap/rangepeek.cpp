// rangepeek: map a page-aligned window of a file and write a byte range of it
// to standard output, pausing for a keystroke before the mapping is made and
// again once the range is out.

#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstdlib>

#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

int main(int argc, char *argv[])
{
	if (argc < 3 || argc > 4) {
		std::fprintf(stderr, "%s file offset [length]\n", argv[0]);
		return 1;
	}
	// Read-write although nothing is written: the mapping is shared and
	// writable.
	const int descriptor = open(argv[1], O_RDWR);
	if (descriptor == -1) {
		std::perror("open");
		return 1;
	}
	struct stat status;
	if (fstat(descriptor, &status) == -1) {
		std::perror("fstat");
		return 1;
	}
	std::printf("PAGE_SIZE:%lx\n", static_cast<unsigned long>(sysconf(_SC_PAGESIZE)));

	const std::int64_t offset = std::atoi(argv[2]);
	// Rounds toward minus infinity, so a negative offset stays negative and
	// the mapping refuses it.
	const std::int64_t pa_offset = offset & -sysconf(_SC_PAGESIZE);
	std::printf("pa_offset:%lx\n", static_cast<unsigned long>(pa_offset));
	std::printf("pa_offset:%lx file size:%lx\n", static_cast<unsigned long>(pa_offset),
	            static_cast<unsigned long>(status.st_size));
	if (offset >= status.st_size) {
		std::fputs("offset is past end of file\n", stderr);
		return 1;
	}

	// A negative length, like one past the end, shows the rest of the file.
	std::uint64_t length = static_cast<std::uint64_t>(status.st_size - offset);
	if (argc == 4) {
		const std::int64_t requested = std::atoi(argv[3]);
		if (requested >= 0 && static_cast<std::uint64_t>(offset) + static_cast<std::uint64_t>(requested) <=
		                              static_cast<std::uint64_t>(status.st_size))
			length = static_cast<std::uint64_t>(requested);
	}

	std::getchar();

	const std::uint64_t into_window = static_cast<std::uint64_t>(offset - pa_offset);
	void *mapping = mmap(nullptr, length + into_window, PROT_READ | PROT_WRITE | PROT_EXEC, MAP_SHARED,
	                     descriptor, pa_offset);
	if (mapping == MAP_FAILED) {
		std::perror("mmap");
		return 1;
	}
	// The file may have shrunk during the pause, and touching a mapped page
	// past its end raises a bus error: stay within what is left of it.
	if (fstat(descriptor, &status) == -1) {
		std::perror("fstat");
		return 1;
	}
	if (offset >= status.st_size) {
		std::fputs("offset is past end of file\n", stderr);
		return 1;
	}
	if (length > static_cast<std::uint64_t>(status.st_size - offset))
		length = static_cast<std::uint64_t>(status.st_size - offset);

	// Filling the page tables in one call costs far less than a fault for
	// each page during the write. It is only a hint: a kernel without it,
	// or a file shrinking again meanwhile, leaves the faults to do the work.
	madvise(mapping, into_window + length, MADV_POPULATE_READ);

	const auto *addr = static_cast<const char *>(mapping);
	// The byte shown is the first of the window, sign-extended as a char.
	std::printf("addr:%p %x\n", mapping, static_cast<unsigned>(static_cast<signed char>(addr[0])));

	// One write call moves at most 2,147,479,552 bytes, so a range of 2 GiB
	// or more takes several.
	const char *from = addr + into_window;
	while (length > 0) {
		const ssize_t written = write(1, from, length);
		if (written == -1 && errno == EINTR)
			continue;
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
	return 0;
}
