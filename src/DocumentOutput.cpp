// SPDX-License-Identifier: MIT
#include "DocumentOutput.h"

#include <QFile>
#include <QFileInfo>

#include <cerrno>
#include <cstdlib>
#include <cstring>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

QString systemError() { return QString::fromLocal8Bit(std::strerror(errno)); }

// A descriptor that is closed on every path. close() is for the one close whose result matters: a
// file system may report a failed write only there.
class Descriptor {
public:
    explicit Descriptor(int opened = -1)
        : fd(opened)
    {
    }
    ~Descriptor()
    {
        if (fd >= 0)
            ::close(fd);
    }
    Descriptor(const Descriptor&) = delete;
    Descriptor& operator=(const Descriptor&) = delete;

    void reset(int other)
    {
        if (fd >= 0)
            ::close(fd);
        fd = other;
    }
    bool close()
    {
        const int closed = fd;
        fd = -1;
        return ::close(closed) == 0;
    }

    int fd;
};

// A uniquely named file beside the target, removed again unless it has been renamed into place.
class TemporaryFile {
public:
    ~TemporaryFile()
    {
        descriptor.reset(-1);
        if (!name.isEmpty())
            ::unlink(name.constData());
    }

    bool create(const QString& target)
    {
        const QFileInfo info(target);
        QByteArray pattern
            = QFile::encodeName(info.path() + QLatin1String("/.") + info.fileName()) + ".XXXXXX";
        descriptor.reset(::mkostemp(pattern.data(), O_CLOEXEC));
        if (descriptor.fd < 0)
            return false;
        name = pattern;
        return true;
    }
    // Called once the file has been renamed: there is nothing left to remove.
    void release() { name.clear(); }

    Descriptor descriptor;
    QByteArray name;
};

// The mode of the file being replaced, so that replacing it changes only its contents; a new file
// gets the mode that any program creating it would get (0666 less the umask).
mode_t modeFor(const QByteArray& target)
{
    struct stat st;
    if (::lstat(target.constData(), &st) == 0 && S_ISREG(st.st_mode))
        return st.st_mode & 07777;
    const mode_t mask = ::umask(0);
    ::umask(mask);
    return 0666 & ~mask;
}

// write() may take less than asked (a signal, a file-size limit reached part way); the rest is
// written again until the system reports why it cannot be.
bool writeAll(int fd, const QByteArray& data)
{
    const char* next = data.constData();
    size_t left = static_cast<size_t>(data.size());
    while (left > 0) {
        const ssize_t written = ::write(fd, next, left);
        if (written < 0 && errno == EINTR)
            continue;
        if (written == 0)
            errno = EIO; // no progress and no reason given: do not spin
        if (written <= 0)
            return false;
        next += written;
        left -= static_cast<size_t>(written);
    }
    return true;
}

// Some file systems cannot sync (EINVAL); there is nothing more to make durable on them.
bool syncFile(int fd) { return ::fsync(fd) == 0 || errno == EINVAL; }

bool syncDirectory(const QString& target, QString& error)
{
    const QString dir = QFileInfo(target).path();
    Descriptor descriptor(
        ::open(QFile::encodeName(dir).constData(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    if (descriptor.fd < 0 || !syncFile(descriptor.fd)) {
        error = QStringLiteral("sync of directory '%1' failed: %2").arg(dir, systemError());
        return false;
    }
    return true;
}

bool standardOutputOpen = true;

} // namespace

bool guardStandardDescriptors()
{
    standardOutputOpen = ::fcntl(STDOUT_FILENO, F_GETFD) != -1;
    for (int fd = STDIN_FILENO; fd <= STDERR_FILENO; ++fd) {
        if (::fcntl(fd, F_GETFD) != -1)
            continue;
        // open() returns the lowest free descriptor, which is |fd|.
        if (::open("/dev/null", fd == STDIN_FILENO ? O_RDONLY : O_WRONLY) != fd)
            return false;
    }
    return true;
}

bool saveDocument(const QString& path, const QByteArray& data, QString& error)
{
    const QByteArray target = QFile::encodeName(path);
    TemporaryFile temporary;
    if (!temporary.create(path)) {
        error = systemError();
        return false;
    }
    const int fd = temporary.descriptor.fd;
    // Until the rename, the old document (if any) is untouched at |path|; the new one grows under
    // the temporary name, and a failure from here on only removes that.
    if (::fchmod(fd, modeFor(target)) != 0 || !writeAll(fd, data) || !syncFile(fd)
        || !temporary.descriptor.close()) {
        error = systemError();
        return false;
    }
    // Now the whole document is on disk under the temporary name.
    if (::rename(temporary.name.constData(), target.constData()) != 0) {
        error = systemError();
        return false;
    }
    temporary.release();
    // Now |path| names the new document; the directory's sync makes that survive a power cut.
    return syncDirectory(path, error);
}

bool printDocument(const QByteArray& data, QString& error)
{
    // The standard output is written without stdio, whose buffer would hide a failed write until
    // the exit, when nobody looks at the result any more.
    if (!standardOutputOpen) {
        error = QString::fromLocal8Bit(std::strerror(EBADF));
        return false;
    }
    if (!writeAll(STDOUT_FILENO, data) || ::close(STDOUT_FILENO) != 0) {
        error = systemError();
        return false;
    }
    return true;
}
