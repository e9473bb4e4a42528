// SPDX-License-Identifier: MIT
// The walk reads each entry with openat() relative to the table's directory into a stack buffer
// and takes the entry's type from readdir(): a walk runs once per stoppable file of a run, on a
// table of a few hundred entries, and costs little more than the system calls it has to make.
// QFile, lstat() per entry and paths built per entry cost as much again.
#include "ProcessTable.h"

#include "FileDescriptor.h"
#include "RunLog.h"

#include <QByteArray>
#include <QFile>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <csignal>
#include <cstring>
#include <memory>
#include <optional>

#include <dirent.h>
#include <fcntl.h>
#include <poll.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <unistd.h>

#if __has_include(<sys/pidfd.h>)
// glibc 2.36 declares these without C linkage for C++.
extern "C" {
#include <sys/pidfd.h>
}
#define UPGRADE_HAVE_PIDFD_WRAPPERS 1
#endif

namespace {

// The kernel keeps this many bytes of a process name.
constexpr int statusNameMax = 15;

// The C library's wrappers are preferred to syscall(): a test stands in for them to play a kernel
// without pidfds.
int openPidfd(pid_t pid)
{
#if defined(UPGRADE_HAVE_PIDFD_WRAPPERS)
    return pidfd_open(pid, 0);
#elif defined(SYS_pidfd_open)
    return static_cast<int>(syscall(SYS_pidfd_open, pid, 0));
#else
    errno = ENOSYS;
    return -1;
#endif
}

int signalPidfd(int pidfd, int signal)
{
#if defined(UPGRADE_HAVE_PIDFD_WRAPPERS)
    return pidfd_send_signal(pidfd, signal, nullptr, 0);
#elif defined(SYS_pidfd_send_signal)
    return static_cast<int>(syscall(SYS_pidfd_send_signal, pidfd, signal, nullptr, 0));
#else
    errno = ENOSYS;
    return -1;
#endif
}

struct DirCloser {
    void operator()(DIR* dir) const { closedir(dir); }
};
using DirHandle = std::unique_ptr<DIR, DirCloser>;

ssize_t readSome(int fd, char* buffer, size_t size)
{
    ssize_t got;
    do
        got = read(fd, buffer, size);
    while (got < 0 && errno == EINTR);
    return got;
}

// What a process that runs the file shows in the table, worked out once per walk.
struct TNameRule {
    explicit TNameRule(const QString& name)
        : fileName(QFile::encodeName(name))
        , isLong(fileName.size() > statusNameMax)
    {
        // The status file escapes a backslash and a line end of the name it shows.
        for (const char c : fileName.left(statusNameMax)) {
            if (c == '\\')
                statusName += "\\\\";
            else if (c == '\n')
                statusName += "\\n";
            else
                statusName += c;
        }
    }

    QByteArray fileName; // as the file system holds it
    QByteArray statusName; // as the first line of the status file shows it
    bool isLong; // cut by the kernel: the command line must confirm it
};

// "<pid>/<file>" for openat() relative to the table's directory, or "<file>" relative to the
// process's own directory when |pidName| is null. |pidName| has at most 10 digits (parsePid).
struct TEntryPath {
    TEntryPath(const char* pidName, const char* file)
    {
        char* end = text;
        if (pidName) {
            const size_t size = std::strlen(pidName);
            std::memcpy(end, pidName, size);
            end += size;
            *end++ = '/';
        }
        std::strcpy(end, file);
    }

    char text[32];
};

// A process directory is named by decimal digits alone, for a pid above 0.
bool parsePid(const char* name, pid_t& pid)
{
    long long value = 0;
    int digits = 0;
    for (; name[digits] != '\0'; ++digits) {
        if (name[digits] < '0' || name[digits] > '9' || digits == 10)
            return false;
        value = value * 10 + (name[digits] - '0');
    }
    if (digits == 0 || value <= 0 || value > INT_MAX)
        return false;
    pid = static_cast<pid_t>(value);
    return true;
}

// A directory, not a link to one (the table's "self" is a link). readdir() on /proc gives the
// type with the entry; other file systems may leave it to fstatat().
bool isDirectoryEntry(int tableFd, const dirent& entry, const QByteArray& root)
{
    if (entry.d_type != DT_UNKNOWN)
        return entry.d_type == DT_DIR;
    struct stat status;
    if (fstatat(tableFd, entry.d_name, &status, AT_SYMLINK_NOFOLLOW) != 0) {
        const int error = errno;
        logLine("Warning: stat '" + logText(root + '/' + entry.d_name) + "' failed("
            + errnoNumberText(error) + ')');
        return false;
    }
    return S_ISDIR(status.st_mode);
}

// Whether the first line of the status file, "Name:", a tab and the name, shows the rule's name.
// |logOdd|: log a file that cannot be opened or holds no such line.
bool statusNameMatches(int dirFd, const char* pidName, const TNameRule& rule, bool logOdd)
{
    const TEntryPath path(pidName, "status");
    const TFileDescriptor file(openat(dirFd, path.text, O_RDONLY | O_CLOEXEC));
    if (!file.isOpen()) {
        const int error = errno;
        if (logOdd)
            logLine("Warning: open failed, " + QByteArray(std::strerror(error)));
        return false;
    }
    // The kernel's line is at most 6 + 2 * 15 + 1 bytes; a longer one names no file.
    char buffer[128];
    const ssize_t size = std::max<ssize_t>(readSome(file.get(), buffer, sizeof buffer), 0);
    const char* lineEnd = static_cast<const char*>(std::memchr(buffer, '\n', size));
    const char* const end = lineEnd ? lineEnd : buffer + size;
    static const char key[] = "Name:";
    const ssize_t keySize = sizeof key - 1;
    if (end - buffer < keySize || std::memcmp(buffer, key, keySize) != 0) {
        if (logOdd)
            logLine("Warning: format error, '"
                + logText(QByteArray(buffer, static_cast<int>(end - buffer + (lineEnd ? 1 : 0))))
                + '\'');
        return false;
    }
    const char* name = buffer + keySize;
    if (name < end && *name == '\t')
        ++name;
    return end - name == rule.statusName.size()
        && std::memcmp(name, rule.statusName.constData(), end - name) == 0;
}

// Matches one path component by component as its bytes stream by: the last component wins.
class TLastComponent {
public:
    explicit TLastComponent(const QByteArray& name)
        : m_name(name)
    {
    }
    void add(char c)
    {
        if (c == '/') {
            m_matched = 0;
            m_differs = false;
        } else if (m_differs || m_matched == m_name.size() || m_name.at(m_matched) != c) {
            m_differs = true;
        } else {
            ++m_matched;
        }
    }
    bool matches() const { return !m_differs && m_matched == m_name.size(); }

private:
    const QByteArray& m_name;
    int m_matched = 0;
    bool m_differs = false;
};

// Whether the last component of the first word of the command line is the file name. The first
// word may be of any length and is compared as it is read, block by block.
bool commandLineNames(int dirFd, const char* pidName, const QByteArray& fileName)
{
    const TEntryPath path(pidName, "cmdline");
    const TFileDescriptor file(openat(dirFd, path.text, O_RDONLY | O_CLOEXEC));
    if (!file.isOpen())
        return false;
    TLastComponent word(fileName);
    char buffer[512];
    for (;;) {
        const ssize_t size = readSome(file.get(), buffer, sizeof buffer);
        // A process may have rewritten its command line without a terminating zero.
        if (size <= 0)
            return size == 0 && word.matches();
        for (ssize_t i = 0; i < size; ++i) {
            if (buffer[i] == '\0')
                return word.matches();
            word.add(buffer[i]);
        }
    }
}

bool runsFile(int dirFd, const char* pidName, const TNameRule& rule, bool logOdd)
{
    return statusNameMatches(dirFd, pidName, rule, logOdd)
        && (!rule.isLong || commandLineNames(dirFd, pidName, rule.fileName));
}

// readdir() that tells its end from its failure: |error| is 0 at the end of the table.
const dirent* nextEntry(DIR* dir, int& error)
{
    errno = 0;
    const dirent* entry = readdir(dir);
    error = entry ? 0 : errno;
    return entry;
}

// Calls |onMatch(tableFd, pid, pidName)| for each process, other than this one, that runs the
// file of |rule|. False when the table cannot be opened; entries that cannot be read are logged
// and skipped.
template <class OnMatch>
bool walkTable(const QByteArray& root, const TNameRule& rule, OnMatch&& onMatch)
{
    DirHandle dir(opendir(root.constData()));
    if (!dir) {
        const int error = errno;
        logLine("Warning: open " + logText(root) + " failed(" + errnoNumberText(error) + ')');
        return false;
    }
    if (rule.fileName.isEmpty())
        return true;
    const int tableFd = dirfd(dir.get());
    // The deployer may be deploying a new version of itself: never stop this run.
    const pid_t self = getpid();
    int error = 0;
    while (const dirent* entry = nextEntry(dir.get(), error)) {
        pid_t pid = 0;
        if (!parsePid(entry->d_name, pid) || pid == self
            || !isDirectoryEntry(tableFd, *entry, root))
            continue;
        if (runsFile(tableFd, entry->d_name, rule, true))
            onMatch(tableFd, pid, entry->d_name);
    }
    // The processes not yet seen stay unknown: say so rather than pass over them in silence.
    if (error != 0)
        logLine("Warning: read " + logText(root) + " failed(" + errnoNumberText(error) + ')');
    return true;
}

// Holds the process |pid| that the walk found and confirms that the process held still runs the
// file: between the walk's read and the opening of the handle it may have ended and its pid have
// gone to another process. Without a handle, |error| tells why (0: it no longer runs the file).
std::optional<TProcessHandle> holdProcess(
    int tableFd, pid_t pid, const char* pidName, const TNameRule& rule, int& error)
{
    error = 0;
    const int pidfd = openPidfd(pid);
    if (pidfd >= 0) {
        TProcessHandle handle(pid, pidfd, true);
        if (!runsFile(tableFd, pidName, rule, false))
            return std::nullopt;
        return handle;
    }
    if (errno == ESRCH) {
        error = ESRCH;
        return std::nullopt;
    }
    // No pidfds here (a kernel before 5.3, or a filter that refuses them): hold the process's
    // directory and confirm through it.
    const int dirFd = openat(tableFd, pidName, O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (dirFd < 0) {
        error = errno;
        return std::nullopt;
    }
    TProcessHandle handle(pid, dirFd, false);
    if (!runsFile(dirFd, nullptr, rule, false))
        return std::nullopt;
    return handle;
}

// Without a pidfd a process can only be signalled by its pid; it was confirmed just before.
bool sendTerm(const TProcessHandle& handle, int& error)
{
    const int result
        = handle.isPidfd() ? signalPidfd(handle.fd(), SIGTERM) : ::kill(handle.pid(), SIGTERM);
    error = result == 0 ? 0 : errno;
    return result == 0;
}

// Whether the process whose /proc directory is |processDirFd| has ended. Once reaped its directory
// answers ESRCH, even after its pid went to another process; a zombie shows the state Z (X while
// being reaped).
bool processDirShowsEnd(int processDirFd)
{
    const TFileDescriptor file(openat(processDirFd, "stat", O_RDONLY | O_CLOEXEC));
    if (!file.isOpen())
        return errno == ESRCH || errno == ENOENT;
    char buffer[512];
    const ssize_t size = readSome(file.get(), buffer, sizeof buffer);
    if (size <= 0)
        return size == 0 || errno == ESRCH;
    // "<pid> (<name>) <state> ...": the name may hold ") ", so the state follows the last ')'.
    const char* close = static_cast<const char*>(memrchr(buffer, ')', size));
    if (!close || close + 2 >= buffer + size)
        return false;
    return close[2] == 'Z' || close[2] == 'X';
}

} // namespace

TProcessHandle::TProcessHandle(pid_t pid, int fd, bool isPidfd)
    : m_pid(pid)
    , m_fd(fd)
    , m_isPidfd(isPidfd)
{
}

TProcessHandle::TProcessHandle(TProcessHandle&& other) noexcept
    : m_pid(other.m_pid)
    , m_fd(other.m_fd)
    , m_isPidfd(other.m_isPidfd)
{
    other.m_fd = -1;
}

TProcessHandle& TProcessHandle::operator=(TProcessHandle&& other) noexcept
{
    std::swap(m_pid, other.m_pid);
    std::swap(m_fd, other.m_fd);
    std::swap(m_isPidfd, other.m_isPidfd);
    return *this;
}

TProcessHandle::~TProcessHandle()
{
    if (m_fd >= 0)
        close(m_fd);
}

bool TProcessHandle::hasEnded() const
{
    if (!m_isPidfd)
        return processDirShowsEnd(m_fd);
    // A pidfd turns readable when its process has ended.
    pollfd entry { m_fd, POLLIN, 0 };
    return poll(&entry, 1, 0) > 0;
}

bool TTerminated::waitForEnd(std::chrono::milliseconds limit)
{
    using Clock = std::chrono::steady_clock;
    const Clock::time_point deadline = Clock::now() + limit;
    for (dropEnded(); !m_running.empty(); dropEnded()) {
        const auto left = std::chrono::ceil<std::chrono::milliseconds>(deadline - Clock::now());
        if (left.count() <= 0)
            return false;
        waitStep(left);
    }
    return true;
}

// Waits for a pidfd to turn readable, at most |limit|; processes held by their directory cannot be
// waited on, so then it looks again after a few milliseconds.
void TTerminated::waitStep(std::chrono::milliseconds limit) const
{
    std::vector<pollfd> pidfds;
    for (const TProcessHandle& handle : m_running)
        if (handle.isPidfd())
            pidfds.push_back({ handle.fd(), POLLIN, 0 });
    const std::chrono::milliseconds recheck(pidfds.size() == m_running.size() ? limit.count() : 5);
    // An interrupted or failed poll only ends this step early: the caller looks again.
    poll(pidfds.data(), pidfds.size(), static_cast<int>(std::min(limit, recheck).count()));
}

void TTerminated::dropEnded()
{
    m_running.erase(std::remove_if(m_running.begin(), m_running.end(),
                        [](const TProcessHandle& handle) { return handle.hasEnded(); }),
        m_running.end());
}

QList<TProcess> findProcesses(const QString& fileName, const QString& procRoot, bool& ok)
{
    QList<TProcess> found;
    ok = walkTable(
        QFile::encodeName(procRoot), TNameRule(fileName), [&](int, pid_t pid, const char*) {
            found.append({ pid, fileName });
        });
    return found;
}

TTerminated terminateProcesses(const QString& fileName, const QString& procRoot)
{
    TTerminated terminated;
    const TNameRule rule(fileName);
    const QByteArray name = logText(fileName);
    const bool ok = walkTable(
        QFile::encodeName(procRoot), rule, [&](int tableFd, pid_t pid, const char* pidName) {
            const QByteArray process
                = name + '(' + QByteArray::number(static_cast<qlonglong>(pid)) + ')';
            int error = 0;
            std::optional<TProcessHandle> handle = holdProcess(tableFd, pid, pidName, rule, error);
            if (handle && sendTerm(*handle, error)) {
                logLine("Info: kill " + process + " ok");
                terminated.m_running.push_back(std::move(*handle));
                ++terminated.m_count;
            } else if (error != 0) {
                logLine("Warning: kill " + process + " failed(" + errnoNumberText(error) + ')');
            }
        });
    if (!ok)
        terminated.m_count = -1;
    return terminated;
}
