// SPDX-License-Identifier: MIT
/* Runs a program with pidfds reported as unsupported: waitid(P_PIDFD, ...) fails with EINVAL.
 *
 * The cross builds run their target programs under qemu-user through this wrapper. Debian 12's
 * qemu-user (7.2) passes waitid(P_PIDFD) on to the host kernel, which supports it, but does not
 * emulate clone(CLONE_PIDFD), which fails with EINVAL. Qt's forkfd (behind QProcess::start) takes a
 * working waitid(P_PIDFD) as the sign that clone(CLONE_PIDFD) works too; under qemu its clone then
 * fails and QProcess is left with process id -1, so a later QProcess::kill() signals every process
 * the user may signal. With the probe failing, Qt uses its fork()-based path, which qemu emulates.
 * The filter is inherited by everything the program starts.
 *
 * Usage: no-pidfd program [argument]...
 */
#include <errno.h>
#include <linux/audit.h>
#include <linux/filter.h>
#include <linux/seccomp.h>
#include <stddef.h>
#include <stdio.h>
#include <string.h>
#include <sys/prctl.h>
#include <sys/syscall.h>
#include <unistd.h>

#ifndef P_PIDFD
#define P_PIDFD 3
#endif

#if defined(__x86_64__)
#define HOST_AUDIT_ARCH AUDIT_ARCH_X86_64
#elif defined(__aarch64__)
#define HOST_AUDIT_ARCH AUDIT_ARCH_AARCH64
#elif defined(__i386__)
#define HOST_AUDIT_ARCH AUDIT_ARCH_I386
#else
#error "no-pidfd: unknown build machine architecture"
#endif

int main(int argc, char* argv[])
{
    if (argc < 2) {
        fputs("usage: no-pidfd program [argument]...\n", stderr);
        return 127;
    }
    struct sock_filter filter[] = {
        BPF_STMT(BPF_LD | BPF_W | BPF_ABS, offsetof(struct seccomp_data, arch)),
        BPF_JUMP(BPF_JMP | BPF_JEQ | BPF_K, HOST_AUDIT_ARCH, 1, 0),
        BPF_STMT(BPF_RET | BPF_K, SECCOMP_RET_ALLOW),
        BPF_STMT(BPF_LD | BPF_W | BPF_ABS, offsetof(struct seccomp_data, nr)),
        BPF_JUMP(BPF_JMP | BPF_JEQ | BPF_K, __NR_waitid, 0, 3),
        BPF_STMT(BPF_LD | BPF_W | BPF_ABS, offsetof(struct seccomp_data, args[0])),
        BPF_JUMP(BPF_JMP | BPF_JEQ | BPF_K, P_PIDFD, 0, 1),
        BPF_STMT(BPF_RET | BPF_K, SECCOMP_RET_ERRNO | (EINVAL & SECCOMP_RET_DATA)),
        BPF_STMT(BPF_RET | BPF_K, SECCOMP_RET_ALLOW),
    };
    struct sock_fprog program = { sizeof filter / sizeof filter[0], filter };
    if (prctl(PR_SET_NO_NEW_PRIVS, 1, 0, 0, 0) != 0
        || prctl(PR_SET_SECCOMP, SECCOMP_MODE_FILTER, &program) != 0) {
        fprintf(stderr, "no-pidfd: cannot install the filter: %s\n", strerror(errno));
        return 127;
    }
    execvp(argv[1], argv + 1);
    fprintf(stderr, "no-pidfd: cannot run %s: %s\n", argv[1], strerror(errno));
    return 127;
}
