// util.h: what every program does the same way, written once.
#pragma once

#include <cerrno>
#include <cstdio>

#include <fcntl.h>
#include <unistd.h>

// Whether a descriptor stays open across an exec. Only spawnfeed's pipe must:
// feedsink is handed its read end by number.
enum class on_exec { close, keep };

// With a standard descriptor closed, what a program opens would take its
// number, and the program's reports would be written into it: a new
// descriptor moves above 2, and the number it had is closed. At the
// descriptor limit there is no number above 2 to move to: the kernel says
// EINVAL, but the cause is the limit, EMFILE. Where it cannot move, or was -1
// already, the result is -1, and what that means is the caller's to say
// (feedsink, whose listing of /proc cannot move, goes on as if /proc were
// missing).
inline int above_standard(int descriptor, on_exec across = on_exec::close)
{
	if (descriptor == -1 || descriptor > 2)
		return descriptor;
	const int moved = fcntl(descriptor, across == on_exec::keep ? F_DUPFD : F_DUPFD_CLOEXEC, 3);
	const int reason = errno == EINVAL ? EMFILE : errno;
	close(descriptor);
	errno = reason;
	return moved;
}

// The run's status once what it wrote to standard output is out. Where that
// could not all be written, the reason goes to standard error, and a run
// that had succeeded fails; one that had failed keeps its own status.
inline int flushed(int status)
{
	if (std::fflush(stdout) == EOF || std::ferror(stdout)) {
		std::perror("write");
		return status == 0 ? 1 : status;
	}
	return status;
}
