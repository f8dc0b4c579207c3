// spawnfeed: create a pipe, start feedsink with the read end's number, and
// write "123" into the pipe.

#include <cerrno>
#include <cstdio>
#include <cstring>

#include <unistd.h>

#include "util.h"

int main()
{
	const char payload[] = "123";
	char descriptor_text[BUFSIZ + 1];
	std::memset(descriptor_text, 0, sizeof descriptor_text);

	int pipe_ends[2];
	if (pipe(pipe_ends) != 0) {
		std::perror("pipe");
		return 1;
	}
	// With standard descriptors closed the pipe would take their numbers,
	// and feedsink would keep the write end as its own standard input or
	// output, so that end of file never came. Each end moves above them, and
	// stays open across the exec.
	for (int &end : pipe_ends) {
		end = above_standard(end, on_exec::keep);
		if (end == -1) {
			// The other end may hold descriptor 2 itself: the report must
			// not go into the pipe, whose read end is gone.
			const int reason = errno;
			for (const int other : pipe_ends)
				if (other != -1)
					close(other);
			errno = reason;
			std::perror("pipe");
			return 1;
		}
	}
	const pid_t split_result = fork();
	if (split_result == -1) {
		// Without a line end, as scripts have always read it.
		std::fputs("Fork failure", stderr);
		return 1;
	}
	if (split_result == 0) {
		// Both ends stay open across the exec: feedsink is told the read
		// end by number and must close its copy of the write end itself.
		std::snprintf(descriptor_text, sizeof descriptor_text, "%d", pipe_ends[0]);
		execl("feedsink", "feedsink", descriptor_text, nullptr);
		_exit(1);
	}

	// The write end stays open until exit and the child is not waited for.
	const int bytes_written = static_cast<int>(write(pipe_ends[1], payload, 3));
	std::printf("%d - wrote %d bytes\n", static_cast<int>(getpid()), bytes_written);
	return flushed(bytes_written == -1 ? 1 : 0);
}
