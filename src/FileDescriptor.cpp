// SPDX-License-Identifier: MIT
#include "FileDescriptor.h"

#include <cstring>
#include <vector>

#include <fcntl.h>
#include <sys/stat.h>

namespace {

// Some file systems cannot sync (EINVAL); there is nothing more to make durable on them.
bool syncFile(int fd) { return ::fsync(fd) == 0 || errno == EINVAL; }

// Step 2 of replaceFileAt(): the whole new file under |temporary|, on disk.
TReplaceStep writeTemporary(
    int dirFd, const QByteArray& temporary, const QByteArray& data, mode_t mode, int& error)
{
    TFileDescriptor fd(::openat(dirFd, temporary.constData(),
        O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_NOCTTY | O_CLOEXEC, 0600));
    if (!fd.isOpen()) {
        error = errno;
        return TReplaceStep::Create;
    }
    // Now a partial file stands at the temporary name; the file at the name is as it was.
    if ((mode != 0600 && ::fchmod(fd.get(), mode) != 0) || !writeAll(fd.get(), data)
        || !syncFile(fd.get()) || !fd.close()) {
        error = errno;
        ::unlinkat(dirFd, temporary.constData(), 0);
        return TReplaceStep::Write;
    }
    return TReplaceStep::Done;
}

} // namespace

QString errnoText(int error) { return QString::fromLocal8Bit(std::strerror(error)); }

QByteArray errnoNumberText(int error)
{
    return QByteArray::number(error) + ',' + QByteArray(std::strerror(error));
}

QString failedText(const char* what, const QString& path, int error)
{
    return QLatin1String(what) + QLatin1String(" '") + path + QLatin1String("' failed: ")
        + errnoText(error);
}

bool writeAll(int fd, const char* data, size_t size)
{
    while (size > 0) {
        const ssize_t written = ::write(fd, data, size);
        if (written < 0 && errno == EINTR)
            continue;
        if (written <= 0) {
            if (written == 0)
                errno = ENOSPC;
            return false;
        }
        data += written;
        size -= static_cast<size_t>(written);
    }
    return true;
}

bool copyData(int from, int to)
{
    std::vector<char> buffer(256 * 1024);
    for (;;) {
        const ssize_t got = ::read(from, buffer.data(), buffer.size());
        if (got < 0 && errno == EINTR)
            continue;
        if (got <= 0)
            return got == 0;
        if (!writeAll(to, buffer.data(), static_cast<size_t>(got)))
            return false;
    }
}

bool syncDirectory(int dirFd)
{
    const TFileDescriptor opened(::openat(dirFd, ".", O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    return opened.isOpen() && syncFile(opened.get());
}

bool guardStandardDescriptors()
{
    bool filled = true;
    for (int fd = STDIN_FILENO; fd <= STDERR_FILENO; ++fd) {
        if (::fcntl(fd, F_GETFD) != -1 || errno != EBADF)
            continue;
        // open() returns the lowest free descriptor, which is |fd| unless a lower one was free.
        const int opened = ::open("/dev/null", O_RDWR);
        if (opened != fd)
            filled = false;
        if (opened > fd)
            ::close(opened);
    }
    return filled;
}

int nullStandardDescriptors()
{
    const int null = ::open("/dev/null", O_RDWR);
    if (null < 0)
        return errno;
    for (int fd = STDIN_FILENO; fd <= STDERR_FILENO; ++fd) {
        if (::dup2(null, fd) < 0)
            return errno;
    }
    if (null > STDERR_FILENO)
        ::close(null);
    return 0;
}

TReplaceStep replaceFileAt(int dirFd, const QByteArray& name, const QByteArray& temporary,
    const QByteArray& data, mode_t mode, int& error)
{
    if (::unlinkat(dirFd, temporary.constData(), 0) != 0 && errno != ENOENT) {
        error = errno;
        return TReplaceStep::Clear;
    }
    const TReplaceStep written = writeTemporary(dirFd, temporary, data, mode, error);
    if (written != TReplaceStep::Done)
        return written;
    // Now the whole new file is on disk under the temporary name.
    if (::renameat(dirFd, temporary.constData(), dirFd, name.constData()) != 0) {
        error = errno;
        ::unlinkat(dirFd, temporary.constData(), 0);
        return TReplaceStep::Rename;
    }
    // Now |name| is the new file; it stays so across a power cut once the directory is on disk.
    if (!syncDirectory(dirFd)) {
        error = errno;
        return TReplaceStep::SyncDirectory;
    }
    return TReplaceStep::Done;
}
