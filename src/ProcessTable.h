// SPDX-License-Identifier: MIT
// The process table: finding the processes that run a file, stopping them and waiting for their
// end.
//
// A process runs a file when the name the kernel keeps for it (the first line of
// /proc/<pid>/status, at most 15 bytes) equals the file name. The kernel cuts longer names, so a
// file name longer than 15 bytes matches when the status name equals its first 15 bytes and the
// last component of the process's first command-line word (/proc/<pid>/cmdline) equals the whole
// file name: a program that merely shares the first 15 bytes is never taken for it.
#pragma once

#include <QList>
#include <QString>

#include <chrono>
#include <vector>

#include <sys/types.h>

// A process of the table that runs a given file.
struct TProcess {
    pid_t pid = 0;
    QString name; // the file name it was matched by
};

// The processes, other than this one, that run the file |fileName|, walking the process table
// under |procRoot| ("/proc" in the program, a fixture tree in tests). Entries that cannot be read
// are logged and skipped. |ok| is false when the table itself cannot be read (logged too).
QList<TProcess> findProcesses(const QString& fileName, const QString& procRoot, bool& ok);

// A process that was signalled, held by a descriptor that names that very process: a pidfd where
// the kernel has them, otherwise its /proc/<pid> directory, which stops answering once the process
// is gone even if its pid has been given to another one since.
class TProcessHandle {
public:
    TProcessHandle(pid_t pid, int fd, bool isPidfd);
    TProcessHandle(TProcessHandle&& other) noexcept;
    TProcessHandle& operator=(TProcessHandle&& other) noexcept;
    TProcessHandle(const TProcessHandle&) = delete;
    TProcessHandle& operator=(const TProcessHandle&) = delete;
    ~TProcessHandle();

    pid_t pid() const { return m_pid; }
    int fd() const { return m_fd; }
    bool isPidfd() const { return m_isPidfd; }
    // True once the process has ended; a zombie that its parent has not reaped yet has ended.
    bool hasEnded() const;

private:
    pid_t m_pid;
    int m_fd;
    bool m_isPidfd;
};

// The processes that terminateProcesses() signalled.
class TTerminated {
public:
    // The number of processes signalled, or -1 when the process table could not be read.
    int count() const { return m_count; }
    // Waits until every process signalled has ended, at most |limit|. Returns at once when they
    // have; true when all ended in time.
    bool waitForEnd(std::chrono::milliseconds limit);

private:
    friend TTerminated terminateProcesses(const QString& fileName, const QString& procRoot);
    void waitStep(std::chrono::milliseconds limit) const;
    void dropEnded();

    int m_count = 0;
    std::vector<TProcessHandle> m_running;
};

// Sends SIGTERM to every process findProcesses() finds, logging a line per process signalled or
// failed. Each process is held (TProcessHandle) and confirmed to run the file once more before it
// is signalled, so a pid that was reused since the walk read it is never signalled.
TTerminated terminateProcesses(const QString& fileName, const QString& procRoot);
