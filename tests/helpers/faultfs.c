// SPDX-License-Identifier: MIT
/* faultfs: a preloaded library that fails or interrupts a program's file-system calls, for the
 * power-loss tests.
 *
 * It counts the calls the program makes on paths inside the directories of FAULTFS_DIRS (and on
 * descriptors opened there), and at the FAULTFS_AT-th counted call (1-based) acts as
 * FAULTFS_ACTION says:
 *   once         the call fails with FAULTFS_ERRNO (a number) without being made;
 *   persist      that call and every later counted one fail so;
 *   kill-before  the process is killed with SIGKILL instead of making the call;
 *   kill-after   the call is made, then the process is killed with SIGKILL;
 *   stop-before  the process stops itself with SIGSTOP, and makes the call once it is continued
 *                (a test holds a run still at a known call while it starts another).
 * A close that is to fail is made all the same, as Linux frees the descriptor whatever close
 * reports. sync() cannot fail: a failed sync is simply not made.
 *
 * FAULTFS_DIRS   absolute, canonical directories separated by ":" (the first one names paths
 *                "0:...", the second "1:...", in the trace);
 * FAULTFS_CALLS  the families of calls to count, separated by ","; all of them when unset:
 *                open read write close sync rename link unlink mkdir chmod chown time truncate
 *                copy stat
 * FAULTFS_TRACE  a file that gets one line per counted call: its number, its family, its name
 *                ("+creat" added to an open that may create), the paths it acts on ("@" before a
 *                path reached through a descriptor), and "!<errno>", "!KILL" or "!STOP" where
 *                the call was failed, interrupted or held.
 *
 * Calls anywhere else (the loader, Qt's reads of /proc and /etc, the log on the standard output)
 * are neither counted nor changed. The library removes its variables from the environment at
 * start, so that no program the run starts inherits it. Everything it does itself goes through
 * raw system calls, never through the functions it replaces.
 */
#define _GNU_SOURCE
#include <dirent.h>
#include <dlfcn.h>
#include <errno.h>
#include <fcntl.h>
#include <limits.h>
#include <signal.h>
#include <stdarg.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/sendfile.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/time.h>
#include <sys/types.h>
#include <sys/uio.h>
#include <unistd.h>
#include <utime.h>

#define MAX_DIRS 4
#define MAX_FDS 4096

static char dirs[MAX_DIRS][PATH_MAX];
static size_t dirCount;
static char calls[256];
static long at;
static int action; /* 0 none, 1 once, 2 persist, 3 kill-before, 4 kill-after, 5 stop-before */
static int injectedErrno = EIO;
static int traceFd = -1;
static long counter;
static char* fdPaths[MAX_FDS]; /* the trace name of each descriptor opened in the directories */

static void rawWrite(const char* text, size_t size)
{
    while (traceFd >= 0 && size > 0) {
        const long written = syscall(SYS_write, traceFd, text, size);
        if (written <= 0)
            return;
        text += written;
        size -= (size_t)written;
    }
}

__attribute__((constructor)) static void faultfsInit(void)
{
    const char* list = getenv("FAULTFS_DIRS");
    for (const char* p = list; p && *p && dirCount < MAX_DIRS;) {
        const char* end = strchrnul(p, ':');
        snprintf(dirs[dirCount++], PATH_MAX, "%.*s", (int)(end - p), p);
        p = *end ? end + 1 : end;
    }
    const char* c = getenv("FAULTFS_CALLS");
    snprintf(calls, sizeof calls, ",%s,", c ? c : "");
    at = getenv("FAULTFS_AT") ? atol(getenv("FAULTFS_AT")) : 0;
    static const char* const actions[]
        = { "once", "persist", "kill-before", "kill-after", "stop-before" };
    const char* a = getenv("FAULTFS_ACTION");
    for (int i = 0; a && i < 5; ++i)
        if (strcmp(a, actions[i]) == 0)
            action = i + 1;
    if (getenv("FAULTFS_ERRNO"))
        injectedErrno = atoi(getenv("FAULTFS_ERRNO"));
    const char* trace = getenv("FAULTFS_TRACE");
    if (trace)
        traceFd = (int)syscall(
            SYS_openat, AT_FDCWD, trace, O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC, 0644);
    static const char* const names[] = { "LD_PRELOAD", "FAULTFS_DIRS", "FAULTFS_CALLS",
        "FAULTFS_AT", "FAULTFS_ACTION", "FAULTFS_ERRNO", "FAULTFS_TRACE" };
    for (size_t i = 0; i < sizeof names / sizeof names[0]; ++i)
        unsetenv(names[i]);
}

/* Removes "." and ".." components and doubled separators from an absolute path, in place. */
static void clean(char* path)
{
    char* out = path;
    for (const char* in = path; *in;) {
        while (*in == '/')
            ++in;
        const char* end = strchrnul(in, '/');
        const size_t n = (size_t)(end - in);
        if (n == 0 || (n == 1 && in[0] == '.')) {
        } else if (n == 2 && in[0] == '.' && in[1] == '.') {
            while (out > path && *--out != '/') { }
        } else {
            *out++ = '/';
            memmove(out, in, n);
            out += n;
        }
        in = end;
    }
    if (out == path)
        *out++ = '/';
    *out = '\0';
}

/* The trace name of |path| taken from |dirFd| ("0:home/a"), or 0 when it lies outside. */
static int traceName(int dirFd, const char* path, char* name, size_t size)
{
    if (!path || dirCount == 0)
        return 0;
    char full[2 * PATH_MAX];
    if (path[0] == '/') {
        snprintf(full, sizeof full, "%s", path);
    } else {
        char base[PATH_MAX];
        if (dirFd == AT_FDCWD) {
            if (syscall(SYS_getcwd, base, sizeof base) < 0)
                return 0;
        } else {
            char link[64];
            snprintf(link, sizeof link, "/proc/self/fd/%d", dirFd);
            const long n = syscall(SYS_readlinkat, AT_FDCWD, link, base, sizeof base - 1);
            if (n < 0)
                return 0;
            base[n] = '\0';
        }
        snprintf(full, sizeof full, "%s/%s", base, path);
    }
    clean(full);
    for (size_t i = 0; i < dirCount; ++i) {
        const size_t n = strlen(dirs[i]);
        if (strncmp(full, dirs[i], n) == 0 && (full[n] == '/' || full[n] == '\0')) {
            snprintf(name, size, "%zu:%s", i, full[n] ? full + n + 1 : ".");
            return 1;
        }
    }
    return 0;
}

static int inFamily(const char* family)
{
    if (strcmp(calls, ",,") == 0)
        return 1;
    char key[32];
    snprintf(key, sizeof key, ",%s,", family);
    return strstr(calls, key) != NULL;
}

static void traceLine(
    long n, const char* family, const char* call, const char* a, const char* b, const char* mark)
{
    char line[3 * PATH_MAX];
    const int size = snprintf(line, sizeof line, "%ld %s %s %s%s%s%s\n", n, family, call, a,
        b ? " " : "", b ? b : "", mark);
    if (size > 0)
        rawWrite(line, (size_t)size < sizeof line ? (size_t)size : sizeof line - 1);
}

static void killNow(void)
{
    syscall(SYS_kill, syscall(SYS_getpid), SIGKILL);
    for (;;)
        pause();
}

/* What one counted call must do. */
enum { RUN, SKIP, RUN_THEN_KILL };

/* Decides for a call named |call| of |family| on the trace names |a| and |b| (b may be null).
 * Returns SKIP with errno set when the call is to fail; kills the process itself before a call. */
static int decide(const char* call, const char* family, const char* a, const char* b)
{
    if (!inFamily(family))
        return RUN;
    const long n = __atomic_add_fetch(&counter, 1, __ATOMIC_SEQ_CST);
    const int hit = at > 0 && (n == at || (action == 2 && n > at));
    char mark[32] = "";
    if (hit && (action == 1 || action == 2))
        snprintf(mark, sizeof mark, " !%d", injectedErrno);
    else if (hit && action == 5)
        snprintf(mark, sizeof mark, " !STOP");
    else if (hit)
        snprintf(mark, sizeof mark, " !KILL");
    traceLine(n, family, call, a, b, mark);
    if (!hit)
        return RUN;
    if (action == 3)
        killNow();
    if (action == 5) {
        syscall(SYS_kill, syscall(SYS_getpid), SIGSTOP);
        return RUN;
    }
    if (action == 4)
        return RUN_THEN_KILL;
    errno = injectedErrno;
    return SKIP;
}

static int decidePaths(
    const char* call, const char* family, int fd1, const char* p1, int fd2, const char* p2)
{
    char a[PATH_MAX + 8] = "", b[PATH_MAX + 8] = "";
    const int inA = traceName(fd1, p1, a, sizeof a);
    const int inB = p2 && traceName(fd2, p2, b, sizeof b);
    if (!inA && !inB)
        return RUN;
    return decide(call, family, inA ? a : "-", p2 ? (inB ? b : "-") : NULL);
}

static const char* fdName(int fd) { return fd >= 0 && fd < MAX_FDS ? fdPaths[fd] : NULL; }

static int decideFds(const char* call, const char* family, int fd1, int fd2)
{
    const char* a = fdName(fd1);
    const char* b = fd2 >= 0 ? fdName(fd2) : NULL;
    if (!a && !b)
        return RUN;
    return decide(call, family, a ? a : "-", fd2 >= 0 ? (b ? b : "-") : NULL);
}

static void track(int fd, const char* name)
{
    if (fd < 0 || fd >= MAX_FDS)
        return;
    free(fdPaths[fd]);
    fdPaths[fd] = name ? strdup(name) : NULL;
}

/* Ends a call: kills the process after it when asked, and passes its result on. */
#define FINISH(decision, result)                                                                   \
    do {                                                                                           \
        __typeof__(result) finished = (result);                                                    \
        if ((decision) == RUN_THEN_KILL)                                                           \
            killNow();                                                                             \
        return finished;                                                                           \
    } while (0)

#define NEXT(name)                                                                                 \
    ({                                                                                             \
        static __typeof__(&name) next;                                                             \
        if (!next)                                                                                 \
            next = (__typeof__(&name))dlsym(RTLD_NEXT, #name);                                     \
        next;                                                                                      \
    })

/* ---- Descriptors: every open records the trace name of what it opened. */

static int openAt(int dirFd, const char* path, int fd)
{
    char name[PATH_MAX + 8] = "@";
    if (fd >= 0)
        track(fd, traceName(dirFd, path, name + 1, sizeof name - 1) ? name : NULL);
    return fd;
}

/* Opens that may create a file are told apart in the trace: only they can meet a full disk. */
static const char* openName(const char* name, int flags)
{
    static __thread char buffer[64];
    if (!(flags & O_CREAT))
        return name;
    snprintf(buffer, sizeof buffer, "%s+creat", name);
    return buffer;
}

#define OPEN_MODE(flags, mode)                                                                     \
    mode_t mode = 0;                                                                               \
    if ((flags) & (O_CREAT | __O_TMPFILE)) {                                                       \
        va_list args;                                                                              \
        va_start(args, flags);                                                                     \
        mode = (mode_t)va_arg(args, int);                                                          \
        va_end(args);                                                                              \
    }

#define DEFINE_OPEN(name)                                                                          \
    int name(const char* path, int flags, ...)                                                     \
    {                                                                                              \
        OPEN_MODE(flags, mode)                                                                     \
        const int d = decidePaths(openName(#name, flags), "open", AT_FDCWD, path, 0, NULL);        \
        if (d == SKIP)                                                                             \
            return -1;                                                                             \
        FINISH(d, openAt(AT_FDCWD, path, NEXT(name)(path, flags, mode)));                          \
    }
#define DEFINE_OPENAT(name)                                                                        \
    int name(int dirFd, const char* path, int flags, ...)                                          \
    {                                                                                              \
        OPEN_MODE(flags, mode)                                                                     \
        const int d = decidePaths(openName(#name, flags), "open", dirFd, path, 0, NULL);           \
        if (d == SKIP)                                                                             \
            return -1;                                                                             \
        FINISH(d, openAt(dirFd, path, NEXT(name)(dirFd, path, flags, mode)));                      \
    }
DEFINE_OPEN(open)
DEFINE_OPEN(open64)
DEFINE_OPENAT(openat)
DEFINE_OPENAT(openat64)

/* The fortified forms that a build with _FORTIFY_SOURCE calls instead. */
int __open_2(const char* path, int flags);
int __open64_2(const char* path, int flags);
int __openat_2(int dirFd, const char* path, int flags);
int __openat64_2(int dirFd, const char* path, int flags);
#define DEFINE_OPEN_2(name, openName)                                                              \
    int name(const char* path, int flags) { return openName(path, flags); }
#define DEFINE_OPENAT_2(name, openName)                                                            \
    int name(int dirFd, const char* path, int flags) { return openName(dirFd, path, flags); }
DEFINE_OPEN_2(__open_2, open)
DEFINE_OPEN_2(__open64_2, open64)
DEFINE_OPENAT_2(__openat_2, openat)
DEFINE_OPENAT_2(__openat64_2, openat64)

#define DEFINE_CREAT(name)                                                                         \
    int name(const char* path, mode_t mode)                                                        \
    {                                                                                              \
        return open(path, O_CREAT | O_WRONLY | O_TRUNC, mode);                                     \
    }
DEFINE_CREAT(creat)
DEFINE_CREAT(creat64)

#define DEFINE_FOPEN(name)                                                                         \
    FILE* name(const char* path, const char* mode)                                                 \
    {                                                                                              \
        const char* call = mode[0] == 'r' ? #name : #name "+creat";                                \
        const int d = decidePaths(call, "open", AT_FDCWD, path, 0, NULL);                          \
        if (d == SKIP)                                                                             \
            return NULL;                                                                           \
        FILE* file = NEXT(name)(path, mode);                                                       \
        if (file)                                                                                  \
            openAt(AT_FDCWD, path, fileno(file));                                                  \
        FINISH(d, file);                                                                           \
    }
DEFINE_FOPEN(fopen)
DEFINE_FOPEN(fopen64)

#define DEFINE_DUP(name, params, args, oldFd)                                                      \
    int name params                                                                                \
    {                                                                                              \
        const int fd = NEXT(name) args;                                                            \
        if (fd >= 0 && fd != (oldFd))                                                              \
            track(fd, fdName(oldFd));                                                              \
        return fd;                                                                                 \
    }
DEFINE_DUP(dup, (int oldFd), (oldFd), oldFd)
DEFINE_DUP(dup2, (int oldFd, int newFd), (oldFd, newFd), oldFd)
DEFINE_DUP(dup3, (int oldFd, int newFd, int flags), (oldFd, newFd, flags), oldFd)

int close(int fd)
{
    const int d = decideFds("close", "close", fd, -1);
    const int result = NEXT(close)(fd);
    track(fd, NULL);
    if (d == SKIP) {
        errno = injectedErrno;
        return -1;
    }
    FINISH(d, result);
}

/* ---- Calls on a descriptor. */

#define DEFINE_FD_CALL(name, family, type, params, args, fd, fd2)                                  \
    type name params                                                                               \
    {                                                                                              \
        const int d = decideFds(#name, family, fd, fd2);                                           \
        if (d == SKIP)                                                                             \
            return (type)-1;                                                                       \
        FINISH(d, NEXT(name) args);                                                                \
    }

DEFINE_FD_CALL(read, "read", ssize_t, (int fd, void* b, size_t n), (fd, b, n), fd, -1)
DEFINE_FD_CALL(pread, "read", ssize_t, (int fd, void* b, size_t n, off_t o), (fd, b, n, o), fd, -1)
DEFINE_FD_CALL(
    pread64, "read", ssize_t, (int fd, void* b, size_t n, off64_t o), (fd, b, n, o), fd, -1)
DEFINE_FD_CALL(write, "write", ssize_t, (int fd, const void* b, size_t n), (fd, b, n), fd, -1)
DEFINE_FD_CALL(
    pwrite, "write", ssize_t, (int fd, const void* b, size_t n, off_t o), (fd, b, n, o), fd, -1)
DEFINE_FD_CALL(
    pwrite64, "write", ssize_t, (int fd, const void* b, size_t n, off64_t o), (fd, b, n, o), fd, -1)
DEFINE_FD_CALL(writev, "write", ssize_t, (int fd, const struct iovec* v, int n), (fd, v, n), fd, -1)
DEFINE_FD_CALL(fsync, "sync", int, (int fd), (fd), fd, -1)
DEFINE_FD_CALL(fdatasync, "sync", int, (int fd), (fd), fd, -1)
DEFINE_FD_CALL(syncfs, "sync", int, (int fd), (fd), fd, -1)
DEFINE_FD_CALL(fchmod, "chmod", int, (int fd, mode_t m), (fd, m), fd, -1)
DEFINE_FD_CALL(fchown, "chown", int, (int fd, uid_t u, gid_t g), (fd, u, g), fd, -1)
DEFINE_FD_CALL(futimens, "time", int, (int fd, const struct timespec t[2]), (fd, t), fd, -1)
DEFINE_FD_CALL(futimes, "time", int, (int fd, const struct timeval t[2]), (fd, t), fd, -1)
DEFINE_FD_CALL(ftruncate, "truncate", int, (int fd, off_t n), (fd, n), fd, -1)
DEFINE_FD_CALL(ftruncate64, "truncate", int, (int fd, off64_t n), (fd, n), fd, -1)
DEFINE_FD_CALL(fallocate, "truncate", int, (int fd, int m, off_t o, off_t n), (fd, m, o, n), fd, -1)
DEFINE_FD_CALL(
    fallocate64, "truncate", int, (int fd, int m, off64_t o, off64_t n), (fd, m, o, n), fd, -1)
DEFINE_FD_CALL(posix_fallocate, "truncate", int, (int fd, off_t o, off_t n), (fd, o, n), fd, -1)
DEFINE_FD_CALL(
    posix_fallocate64, "truncate", int, (int fd, off64_t o, off64_t n), (fd, o, n), fd, -1)
DEFINE_FD_CALL(
    sendfile, "copy", ssize_t, (int out, int in, off_t* o, size_t n), (out, in, o, n), out, in)
DEFINE_FD_CALL(
    sendfile64, "copy", ssize_t, (int out, int in, off64_t* o, size_t n), (out, in, o, n), out, in)
DEFINE_FD_CALL(copy_file_range, "copy", ssize_t,
    (int in, off64_t* inOff, int out, off64_t* outOff, size_t n, unsigned f),
    (in, inOff, out, outOff, n, f), out, in)
DEFINE_FD_CALL(fstat, "stat", int, (int fd, struct stat* s), (fd, s), fd, -1)
DEFINE_FD_CALL(fstat64, "stat", int, (int fd, struct stat64* s), (fd, s), fd, -1)

void sync(void)
{
    const int d = decide("sync", "sync", "-", NULL);
    if (d != SKIP)
        NEXT(sync)();
    if (d == RUN_THEN_KILL)
        killNow();
}

/* ---- Calls on paths. */

#define DEFINE_PATH_CALL(name, family, type, params, args, fd1, p1, fd2, p2)                       \
    type name params                                                                               \
    {                                                                                              \
        const int d = decidePaths(#name, family, fd1, p1, fd2, p2);                                \
        if (d == SKIP)                                                                             \
            return (type)-1;                                                                       \
        FINISH(d, NEXT(name) args);                                                                \
    }
#define AT AT_FDCWD
typedef const char* path_t;

DEFINE_PATH_CALL(rename, "rename", int, (path_t a, path_t b), (a, b), AT, a, AT, b)
DEFINE_PATH_CALL(
    renameat, "rename", int, (int fa, path_t a, int fb, path_t b), (fa, a, fb, b), fa, a, fb, b)
DEFINE_PATH_CALL(renameat2, "rename", int, (int fa, path_t a, int fb, path_t b, unsigned f),
    (fa, a, fb, b, f), fa, a, fb, b)
DEFINE_PATH_CALL(link, "link", int, (path_t a, path_t b), (a, b), AT, a, AT, b)
DEFINE_PATH_CALL(linkat, "link", int, (int fa, path_t a, int fb, path_t b, int f),
    (fa, a, fb, b, f), fa, a, fb, b)
DEFINE_PATH_CALL(symlink, "link", int, (path_t a, path_t b), (a, b), AT, b, AT, NULL)
DEFINE_PATH_CALL(symlinkat, "link", int, (path_t a, int fb, path_t b), (a, fb, b), fb, b, AT, NULL)
DEFINE_PATH_CALL(unlink, "unlink", int, (path_t a), (a), AT, a, AT, NULL)
DEFINE_PATH_CALL(unlinkat, "unlink", int, (int fa, path_t a, int f), (fa, a, f), fa, a, AT, NULL)
DEFINE_PATH_CALL(remove, "unlink", int, (path_t a), (a), AT, a, AT, NULL)
DEFINE_PATH_CALL(rmdir, "unlink", int, (path_t a), (a), AT, a, AT, NULL)
DEFINE_PATH_CALL(mkdir, "mkdir", int, (path_t a, mode_t m), (a, m), AT, a, AT, NULL)
DEFINE_PATH_CALL(mkdirat, "mkdir", int, (int fa, path_t a, mode_t m), (fa, a, m), fa, a, AT, NULL)
DEFINE_PATH_CALL(chmod, "chmod", int, (path_t a, mode_t m), (a, m), AT, a, AT, NULL)
DEFINE_PATH_CALL(
    fchmodat, "chmod", int, (int fa, path_t a, mode_t m, int f), (fa, a, m, f), fa, a, AT, NULL)
DEFINE_PATH_CALL(utime, "time", int, (path_t a, const struct utimbuf* t), (a, t), AT, a, AT, NULL)
DEFINE_PATH_CALL(
    utimes, "time", int, (path_t a, const struct timeval t[2]), (a, t), AT, a, AT, NULL)
DEFINE_PATH_CALL(
    lutimes, "time", int, (path_t a, const struct timeval t[2]), (a, t), AT, a, AT, NULL)
DEFINE_PATH_CALL(futimesat, "time", int, (int fa, path_t a, const struct timeval t[2]), (fa, a, t),
    fa, a, AT, NULL)
DEFINE_PATH_CALL(utimensat, "time", int, (int fa, path_t a, const struct timespec t[2], int f),
    (fa, a, t, f), fa, a, AT, NULL)
DEFINE_PATH_CALL(truncate, "truncate", int, (path_t a, off_t n), (a, n), AT, a, AT, NULL)
DEFINE_PATH_CALL(truncate64, "truncate", int, (path_t a, off64_t n), (a, n), AT, a, AT, NULL)
DEFINE_PATH_CALL(stat, "stat", int, (path_t a, struct stat* s), (a, s), AT, a, AT, NULL)
DEFINE_PATH_CALL(stat64, "stat", int, (path_t a, struct stat64* s), (a, s), AT, a, AT, NULL)
DEFINE_PATH_CALL(lstat, "stat", int, (path_t a, struct stat* s), (a, s), AT, a, AT, NULL)
DEFINE_PATH_CALL(lstat64, "stat", int, (path_t a, struct stat64* s), (a, s), AT, a, AT, NULL)
DEFINE_PATH_CALL(
    fstatat, "stat", int, (int fa, path_t a, struct stat* s, int f), (fa, a, s, f), fa, a, AT, NULL)
DEFINE_PATH_CALL(fstatat64, "stat", int, (int fa, path_t a, struct stat64* s, int f), (fa, a, s, f),
    fa, a, AT, NULL)
DEFINE_PATH_CALL(statx, "stat", int, (int fa, path_t a, int f, unsigned m, struct statx* s),
    (fa, a, f, m, s), fa, a, AT, NULL)
DEFINE_PATH_CALL(access, "stat", int, (path_t a, int m), (a, m), AT, a, AT, NULL)
DEFINE_PATH_CALL(
    faccessat, "stat", int, (int fa, path_t a, int m, int f), (fa, a, m, f), fa, a, AT, NULL)
DEFINE_PATH_CALL(
    readlink, "stat", ssize_t, (path_t a, char* b, size_t n), (a, b, n), AT, a, AT, NULL)
DEFINE_PATH_CALL(readlinkat, "stat", ssize_t, (int fa, path_t a, char* b, size_t n), (fa, a, b, n),
    fa, a, AT, NULL)

char* realpath(const char* path, char* resolved)
{
    const int d = decidePaths("realpath", "stat", AT_FDCWD, path, 0, NULL);
    if (d == SKIP)
        return NULL;
    FINISH(d, NEXT(realpath)(path, resolved));
}

DIR* opendir(const char* path)
{
    const int d = decidePaths("opendir", "open", AT_FDCWD, path, 0, NULL);
    if (d == SKIP)
        return NULL;
    DIR* dir = NEXT(opendir)(path);
    if (dir)
        openAt(AT_FDCWD, path, dirfd(dir));
    FINISH(d, dir);
}

int closedir(DIR* dir)
{
    track(dirfd(dir), NULL);
    return NEXT(closedir)(dir);
}

/* Some calls have no wrapper in this C library, or Qt makes them through syscall(): those that
 * act on files go through the same counting. */
long syscall(long number, ...)
{
    va_list args;
    va_start(args, number);
    long a[6];
    for (int i = 0; i < 6; ++i)
        a[i] = va_arg(args, long);
    va_end(args);
    int d = RUN;
    if (number == SYS_renameat2)
        d = decidePaths(
            "SYS_renameat2", "rename", (int)a[0], (const char*)a[1], (int)a[2], (const char*)a[3]);
#ifdef SYS_openat2
    else if (number == SYS_openat2)
        d = decidePaths("SYS_openat2", "open", (int)a[0], (const char*)a[1], 0, NULL);
#endif
    else if (number == SYS_copy_file_range)
        d = decideFds("SYS_copy_file_range", "copy", (int)a[2], (int)a[0]);
    else if (number == SYS_syncfs)
        d = decideFds("SYS_syncfs", "sync", (int)a[0], -1);
    if (d == SKIP)
        return -1;
    long result = NEXT(syscall)(number, a[0], a[1], a[2], a[3], a[4], a[5]);
#ifdef SYS_openat2
    if (number == SYS_openat2)
        openAt((int)a[0], (const char*)a[1], (int)result);
#endif
    FINISH(d, result);
}
