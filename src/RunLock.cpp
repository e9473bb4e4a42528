// SPDX-License-Identifier: MIT
#include "RunLock.h"

#include <QFile>

#include <cerrno>
#include <cstring>
#include <utility>

#include <fcntl.h>
#include <sys/file.h>

bool TRunLock::acquire(const QString& homeDir, QString& error)
{
    m_fd.reset();
    // An empty home directory is the root, as every composed path has it. The descriptor is
    // close-on-exec: a program the run starts must not hold the lock after the run has ended.
    const QByteArray path = homeDir.isEmpty() ? QByteArray("/") : QFile::encodeName(homeDir);
    TFileDescriptor fd(::open(path.constData(), O_RDONLY | O_DIRECTORY | O_NOCTTY | O_CLOEXEC));
    // flock on a directory locks its inode: every path that leads to this home directory (a link
    // to it, a relative form) meets the same lock.
    int locked = -1;
    if (fd.isOpen()) {
        do
            locked = ::flock(fd.get(), LOCK_EX | LOCK_NB);
        while (locked != 0 && errno == EINTR);
    }
    if (locked == 0) {
        m_fd = std::move(fd);
        return true;
    }
    if (errno == EWOULDBLOCK)
        error = QLatin1String("another upgrade of '") + homeDir + QLatin1String("' is running");
    else
        error = QLatin1String("lock '") + homeDir + QLatin1String("' failed: ") + errnoText(errno);
    return false;
}
