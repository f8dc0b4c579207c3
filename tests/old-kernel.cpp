// old-kernel COMMAND...: run COMMAND as on Linux 3.2, the oldest kernel that
// the C library supports on x86: every system call that 3.2 did not have
// answers ENOSYS, and madvise refuses with EINVAL the advice that 3.2 did not
// know. The filter holds for COMMAND and everything it starts, 64-bit and
// 32-bit programs alike.

#include <cerrno>
#include <cstddef>
#include <cstdio>

#include <linux/audit.h>
#include <linux/filter.h>
#include <linux/seccomp.h>
#include <sys/prctl.h>
#include <unistd.h>

#if !defined(__x86_64__) && !defined(__i386__)
#error "old-kernel knows Linux 3.2's system calls for x86 machines only"
#endif

namespace {

// The numbers were allocated in order: the last that Linux 3.2 had is
// process_vm_writev on either machine.
constexpr __u32 last_x86_64 = 311;
constexpr __u32 last_i386 = 348;
constexpr __u32 madvise_x86_64 = 28;
constexpr __u32 madvise_i386 = 219;

constexpr __u32 arch = offsetof(seccomp_data, arch);
constexpr __u32 nr = offsetof(seccomp_data, nr);
// The advice is an int: the low half of the third argument.
constexpr __u32 advice = offsetof(seccomp_data, args) + 2 * sizeof(__u64) +
                         (__BYTE_ORDER__ == __ORDER_BIG_ENDIAN__ ? sizeof(__u32) : 0);

constexpr sock_filter load(__u32 offset)
{
	return BPF_STMT(BPF_LD | BPF_W | BPF_ABS, offset);
}

constexpr sock_filter jump(__u16 test, __u32 value, __u8 if_true, __u8 if_false)
{
	return BPF_JUMP(BPF_JMP | test | BPF_K, value, if_true, if_false);
}

constexpr sock_filter answer(__u32 action)
{
	return BPF_STMT(BPF_RET | BPF_K, action);
}

// Jumps count the instructions they pass over.
const sock_filter filter[] = {
	/*  0 */ load(arch),
	/*  1 */ jump(BPF_JEQ, AUDIT_ARCH_I386, 4, 0),
	/*  2 */ jump(BPF_JEQ, AUDIT_ARCH_X86_64, 0, 12),
	/*  3 */ load(nr),
	/*  4 */ jump(BPF_JGT, last_x86_64, 11, 0),
	/*  5 */ jump(BPF_JEQ, madvise_x86_64, 3, 9),
	/*  6 */ load(nr),
	/*  7 */ jump(BPF_JGT, last_i386, 8, 0),
	/*  8 */ jump(BPF_JEQ, madvise_i386, 0, 6),
	// Linux 3.2 knew advice 0 to 4, 9 to 15 (MADV_HUGEPAGE among them),
	// 100 and 101.
	/*  9 */ load(advice),
	/* 10 */ jump(BPF_JEQ, 100, 4, 0),
	/* 11 */ jump(BPF_JEQ, 101, 3, 0),
	/* 12 */ jump(BPF_JGT, 15, 4, 0),
	/* 13 */ jump(BPF_JGE, 9, 1, 0),
	/* 14 */ jump(BPF_JGT, 4, 2, 0),
	/* 15 */ answer(SECCOMP_RET_ALLOW),
	/* 16 */ answer(SECCOMP_RET_ERRNO | ENOSYS),
	/* 17 */ answer(SECCOMP_RET_ERRNO | EINVAL),
};

} // namespace

int main(int argc, char *argv[])
{
	if (argc < 2) {
		std::fputs("usage: old-kernel COMMAND...\n", stderr);
		return 2;
	}
	sock_fprog program{sizeof filter / sizeof filter[0], const_cast<sock_filter *>(filter)};
	// Without the privilege to install a filter freely, the process must
	// first give up gaining any, which setuid programs then cannot use.
	if (prctl(PR_SET_SECCOMP, SECCOMP_MODE_FILTER, &program) == -1 &&
	    (errno != EACCES || prctl(PR_SET_NO_NEW_PRIVS, 1, 0, 0, 0) == -1 ||
	     prctl(PR_SET_SECCOMP, SECCOMP_MODE_FILTER, &program) == -1)) {
		std::perror("old-kernel: seccomp");
		return 2;
	}
	execvp(argv[1], argv + 1);
	std::fprintf(stderr, "old-kernel: %s: ", argv[1]);
	std::perror(nullptr);
	return 127;
}
