// SPDX-License-Identifier: MIT
// Descriptors and what is done through them: an owned descriptor, the errno text, complete writes,
// the directory sync, the standard-descriptor guard and the atomic replacement of a small file.
#pragma once

#include <QByteArray>
#include <QString>

#include <cerrno>

#include <sys/types.h>
#include <unistd.h>

// An owned file descriptor, closed when its owner goes.

class TFileDescriptor {
public:
    TFileDescriptor() = default;
    explicit TFileDescriptor(int fd)
        : m_fd(fd)
    {
    }
    TFileDescriptor(TFileDescriptor&& other) noexcept
        : m_fd(other.release())
    {
    }
    TFileDescriptor& operator=(TFileDescriptor&& other) noexcept
    {
        if (this != &other)
            reset(other.release());
        return *this;
    }
    TFileDescriptor(const TFileDescriptor&) = delete;
    TFileDescriptor& operator=(const TFileDescriptor&) = delete;
    ~TFileDescriptor() { reset(); }

    int get() const { return m_fd; }
    bool isOpen() const { return m_fd >= 0; }

    // Closes the descriptor without looking at the result: for descriptors nothing was written to.
    void reset(int fd = -1)
    {
        if (m_fd >= 0) {
            const int saved = errno;
            ::close(m_fd);
            errno = saved;
        }
        m_fd = fd;
    }

    // Closes the descriptor and tells whether that succeeded: a file system may report a failed
    // write only here. errno holds the reason on false.
    bool close()
    {
        const int fd = release();
        return fd < 0 || ::close(fd) == 0;
    }

    int release()
    {
        const int fd = m_fd;
        m_fd = -1;
        return fd;
    }

private:
    int m_fd = -1;
};

// The system's text for |error|.
QString errnoText(int error);

// "<number>,<text>", as warnings in the log give it.
QByteArray errnoNumberText(int error);

// "<what> '<path>' failed: <reason>", the form of every failed system call in the log.
QString failedText(const char* what, const QString& path, int error);

// Writes |size| bytes whole: write() may take less than asked (a signal, a file-size limit reached
// part way), and the rest is written again until the system says why it cannot be. A write that
// makes no progress and gives no reason counts as a full disk (ENOSPC) rather than spinning.
bool writeAll(int fd, const char* data, size_t size);
inline bool writeAll(int fd, const QByteArray& data)
{
    return writeAll(fd, data.constData(), static_cast<size_t>(data.size()));
}

// Copies what is left to read from |from| to |to|. errno holds the reason on false.
bool copyData(int from, int to);

// Flushes the directory |dirFd| names, so that a rename or a new name in it survives a power cut.
// The descriptor may be path-only, which cannot be flushed: the directory is opened again for it.
bool syncDirectory(int dirFd);

// Opens /dev/null on each of the standard descriptors 0, 1 and 2 that the caller left closed, so
// that no file opened later gets one of their numbers (a line meant for the standard error would
// go into it). Call it before anything opens a file. False when one could not be filled.
bool guardStandardDescriptors();

// For a child between fork and exec (async-signal-safe): points descriptors 0, 1 and 2 at
// /dev/null. Returns 0, or the errno of the step that failed.
int nullStandardDescriptors();

// The step of replaceFileAt() that failed.
enum class TReplaceStep { Done, Clear, Create, Write, Rename, SyncDirectory };

// Replaces |name| in the directory |dirFd| with a file holding |data| and the permission bits
// |mode|, or leaves whatever was at |name| as it was:
//   1. whatever stands at |temporary| (a leftover of a cut-off write, a planted link) is unnamed;
//   2. |temporary| is created exclusively, never through a link, written whole and synced;
//   3. one renameat() puts it at |name| (a link at |name| is replaced, not followed);
//   4. the directory is synced, so that the rename survives a power cut.
// Power cut before 3: |name| is as it was. Between 3 and 4: the old file or the new one. A failed
// step leaves no temporary file behind. |error| holds its errno.
TReplaceStep replaceFileAt(int dirFd, const QByteArray& name, const QByteArray& temporary,
    const QByteArray& data, mode_t mode, int& error);
