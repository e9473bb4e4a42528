// SPDX-License-Identifier: MIT
#include "DocumentOutput.h"

#include "FileDescriptor.h"

#include <QFile>
#include <QFileInfo>

#include <cerrno>
#include <cstdlib>
#include <cstring>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

// The mode of the file being replaced, so that replacing it changes only its contents; a new file
// gets the mode that any program creating it would get (0666 less the umask).
mode_t modeFor(int dirFd, const QByteArray& name)
{
    struct stat st;
    if (::fstatat(dirFd, name.constData(), &st, AT_SYMLINK_NOFOLLOW) == 0 && S_ISREG(st.st_mode))
        return st.st_mode & 07777;
    const mode_t mask = ::umask(0);
    ::umask(mask);
    return 0666 & ~mask;
}

bool standardOutputOpen = true;

} // namespace

bool prepareStandardOutput()
{
    standardOutputOpen = ::fcntl(STDOUT_FILENO, F_GETFD) != -1;
    return guardStandardDescriptors();
}

bool saveDocument(const QString& path, const QByteArray& data, QString& error)
{
    const QFileInfo info(path);
    const QString dir = info.path();
    const TFileDescriptor dirFd(
        ::open(QFile::encodeName(dir).constData(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    if (!dirFd.isOpen()) {
        error = errnoText(errno);
        return false;
    }
    const QByteArray name = QFile::encodeName(info.fileName());
    int why = 0;
    const TReplaceStep step = replaceFileAt(
        dirFd.get(), name, '.' + name + ".new", data, modeFor(dirFd.get(), name), why);
    if (step == TReplaceStep::SyncDirectory)
        error = QStringLiteral("sync of directory '%1' failed: %2").arg(dir, errnoText(why));
    else if (step != TReplaceStep::Done)
        error = errnoText(why);
    return step == TReplaceStep::Done;
}

bool printDocument(const QByteArray& data, QString& error)
{
    // The standard output is written without stdio, whose buffer would hide a failed write until
    // the exit, when nobody looks at the result any more.
    if (!standardOutputOpen) {
        error = errnoText(EBADF);
        return false;
    }
    if (!writeAll(STDOUT_FILENO, data) || ::close(STDOUT_FILENO) != 0) {
        error = errnoText(errno);
        return false;
    }
    return true;
}
