// queuetake: take one message from System V message queue 555 and print its
// text and type.

#include <cstdint>
#include <cstdio>

#include <sys/msg.h>

#include "util.h"

// The record a sender must use: a positive type and at most 20 bytes of text.
// The type is the kernel's long, 4 bytes on a 32-bit machine and 8 on a
// 64-bit one, so that the text starts where the kernel puts it. Nothing
// follows the text, so that a read past it leaves the record, where the
// sanitizers see it.
struct [[gnu::packed]] message {
	long mtype;
	char mtext[20];
};

int main()
{
	// Without IPC_CREAT: the queue is some other process's to create.
	const int id = msgget(555, 0666);
	if (id == -1) {
		std::perror("msgget");
		return 1;
	}
	alignas(long) message received;
	const ssize_t count = msgrcv(id, &received, sizeof received.mtext, 0, 0);
	if (count == -1) {
		std::perror("msgrcv");
		return 1;
	}
	// A text need not end with a zero byte inside what was received.
	std::printf("msg is:%.*s\n", static_cast<int>(count), received.mtext);
	std::printf("msg typ is %d\n", static_cast<std::int32_t>(received.mtype));
	// The message has left the queue: if it could not be shown, the caller
	// must learn that it is lost.
	return flushed(0);
}
